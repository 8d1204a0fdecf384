// Runs file-system checks of the calling thread as the user "nobody" when the tests run as root,
// whose own access checks would let every open through: the thread's file-system ids change
// (and with them root's file capabilities go), the process's ids stay. Nothing to do otherwise.
#pragma once

#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

class TUnprivileged {
 public:
  TUnprivileged() {
    if (::geteuid() != 0) return;
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    ::setfsgid(gid);
    ::setfsuid(uid);
    // Called with an id that is no id, setfsuid changes nothing and tells the one in force.
    FDropped = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid;
    FOk = FDropped;
  }
  ~TUnprivileged() {
    if (!FDropped) return;
    ::setfsuid(0);
    ::setfsgid(0);
  }
  TUnprivileged(const TUnprivileged&) = delete;
  TUnprivileged& operator=(const TUnprivileged&) = delete;

  // False when the tests run as root and the ids could not be changed.
  bool Ok() const { return FOk; }

 private:
  bool FDropped = false;
  bool FOk = true;
};
