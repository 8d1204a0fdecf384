#include "logic/PortAccess.h"

#include <cerrno>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string PortPermissionLine(const TPortAccess& Access) {
#ifdef _WIN32
  (void)Access;
  return {};
#else
  if (Access.Error != EACCES) return {};
  std::string line =
      "\r\n3) if you may use it: user " + Access.User + " may not open " + Access.Device + "; ";
  // Membership in root's group, or in one that may not open the device, would not help.
  if (Access.Group.empty() || Access.Group == "root" || !Access.GroupMayOpen) {
    return line + "ask the administrator for access to it.";
  }
  return line + "add the user to the group \"" + Access.Group + "\" (sudo usermod -aG " +
         Access.Group + " " + Access.User + ") and log in again.";
#endif
}

std::string PortPermissionLine(int Error, const std::string& Device) {
#ifdef _WIN32
  (void)Error;
  (void)Device;
  return {};
#else
  if (Error != EACCES) return {};
  TPortAccess access;
  access.Error = Error;
  access.Device = Device;
  const uid_t uid = ::geteuid();
  const passwd* user = ::getpwuid(uid);
  access.User = user != nullptr ? user->pw_name : std::to_string(uid);
  struct stat st {};
  if (::stat(Device.c_str(), &st) == 0) {
    const group* owner = ::getgrgid(st.st_gid);
    access.Group = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
    access.GroupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  }
  return PortPermissionLine(access);
#endif
}
