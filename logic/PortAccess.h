// The line added to the "Cannot open port" message when the system refused the user the device
// (EACCES): on Linux a serial device belongs to a group (Debian's "dialout") whose members may
// open it, and a new user is seldom one of them. Qt-free.
#pragma once

#include <string>

// What the line is made of: the refusal, the device, the user, and the group that owns the
// device with whether that group may read and write it.
struct TPortAccess {
  int Error = 0;
  std::string Device;
  std::string User;
  std::string Group;  // empty when unknown
  bool GroupMayOpen = false;
};

// "\r\n3) ..." to append to the message, or "" when Error is not EACCES (and always on Windows).
std::string PortPermissionLine(const TPortAccess& Access);

// The same for Device as the system sees it: the user running the program, the device's group.
std::string PortPermissionLine(int Error, const std::string& Device);
