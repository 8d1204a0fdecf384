// The permission line of the "Cannot open port" message: its text for the cases a user meets,
// and against a real pseudo-terminal that the user may not open.
#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "logic/PortAccess.h"
#include "serial/ComPort.h"
#include "tests/serial/PtyFixture.h"
#include "tests/serial/Unprivileged.h"

namespace {

TEST(PortAccess, PermissionLine) {
  struct {
    TPortAccess Access;
    std::string Line;
  } cases[] = {
      {{EACCES, "/dev/ttyUSB0", "alice", "dialout", true},
       "\r\n3) if you may use it: user alice may not open /dev/ttyUSB0; add the user to the group "
       "\"dialout\" (sudo usermod -aG dialout alice) and log in again."},
      {{EACCES, "/dev/ttyACM0", "bob", "uucp", true},
       "\r\n3) if you may use it: user bob may not open /dev/ttyACM0; add the user to the group "
       "\"uucp\" (sudo usermod -aG uucp bob) and log in again."},
      // A group that may not open the device, root's group, or none known: membership would not
      // help.
      {{EACCES, "/dev/ttyS0", "alice", "dialout", false},
       "\r\n3) if you may use it: user alice may not open /dev/ttyS0; ask the administrator for "
       "access to it."},
      {{EACCES, "/dev/ttyS0", "alice", "root", true},
       "\r\n3) if you may use it: user alice may not open /dev/ttyS0; ask the administrator for "
       "access to it."},
      {{EACCES, "/dev/ttyS0", "1000", "", false},
       "\r\n3) if you may use it: user 1000 may not open /dev/ttyS0; ask the administrator for "
       "access to it."},
      // Any other reason keeps the message as it is.
      {{ENOENT, "/dev/ttyUSB0", "alice", "dialout", true}, ""},
      {{EBUSY, "/dev/ttyUSB0", "alice", "dialout", true}, ""},
      {{EPERM, "/dev/ttyUSB0", "alice", "dialout", true}, ""},
      {{0, "/dev/ttyUSB0", "alice", "dialout", true}, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortPermissionLine(c.Access), c.Line) << c.Access.Error << " " << c.Access.Group;
  }
}

class PortAccessPty : public PtyTest {};

// A pseudo-terminal that the user may not open: the port reports EACCES, and the line names the
// device and the group the device itself gives. Mode 000 leaves no group to join; mode 060 is a
// serial device as Debian sets one up (crw-rw---- root:dialout) seen by a user outside its group.
TEST_F(PortAccessPty, RefusedDeviceNamesItsGroup) {
  struct {
    mode_t Mode;
    bool GroupHelps;
  } cases[] = {{0000, false}, {0060, true}};
  // The user the test turns into must find the links.
  std::filesystem::permissions(
      Dir, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
      std::filesystem::perm_options::add);
  for (const auto& c : cases) {
    TPty& pty = Link(4);
    // Root gives the terminal the serial devices' group, which it is not in itself.
    if (::geteuid() == 0) {
      const group* dialout = ::getgrnam("dialout");
      ASSERT_EQ(::chown(pty.SlavePath.c_str(), -1, dialout != nullptr ? dialout->gr_gid : 20), 0);
    }
    ASSERT_EQ(::chmod(pty.SlavePath.c_str(), c.Mode), 0);
    struct stat st {};
    ASSERT_EQ(::stat(pty.SlavePath.c_str(), &st), 0);
    const group* owner = ::getgrgid(st.st_gid);
    const std::string groupName = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);

    TComPort port;
    port.SetPort(4);
    {
      TUnprivileged nobody;
      if (!nobody.Ok()) GTEST_SKIP() << "cannot drop root's file-system ids here";
      if (c.GroupHelps && ::getgid() == st.st_gid) {
        GTEST_SKIP() << "the tests run in the terminal's own group " << groupName;
      }
      EXPECT_FALSE(port.Open());
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.OpenError(), EACCES) << "mode " << c.Mode;
    const std::string line = PortPermissionLine(port.OpenError(), port.DeviceName());
    EXPECT_NE(line.find("may not open " + port.DeviceName() + ";"), std::string::npos) << line;
    const bool toGroup =
        line.find("add the user to the group \"" + groupName + "\"") != std::string::npos;
    EXPECT_EQ(toGroup, c.GroupHelps && groupName != "root") << line;

    // The same device opens once the user may: the error goes back to 0.
    ASSERT_EQ(::chmod(pty.SlavePath.c_str(), 0620), 0);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.OpenError(), 0);
    port.Close();
    std::filesystem::remove(Dir / "COM4");
  }
}

}  // namespace
