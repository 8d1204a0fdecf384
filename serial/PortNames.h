// COM port numbers and the devices behind them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPort.h"

// The device a COM number opens. POSIX: $LASER_COM_DIR/COMn when that variable is set and the
// entry exists; otherwise COM1-32 -> /dev/ttyS0-31, COM33-64 -> /dev/ttyUSB0-31,
// COM65-96 -> /dev/ttyACM0-31; other numbers map to no device (empty text).
// Win32: "\\.\COMn".
std::string PortDevicePath(TPort port);

// The ports present, as "COMn" texts; nothing when the list cannot be read. POSIX: in ascending
// order of n. Win32: the registry's list of serial ports, in the registry's order.
std::optional<std::vector<std::string>> PresentPorts();

// A port present, with what stands behind it.
struct TPortInfo {
  std::string Name;     // "COM33"
  std::string Device;   // POSIX: the device it opens ("/dev/ttyUSB0"; for a LASER_COM_DIR entry
                        // the device the link leads to); empty on Win32
  std::string Product;  // a USB adapter's product name ("FT232R USB UART"); else empty

  bool operator==(const TPortInfo&) const = default;
};

// PresentPorts() with the device and, for USB adapters, the product name of each port.
// Win32: the registry's list with Device and Product empty.
std::optional<std::vector<TPortInfo>> PresentPortInfo();
#ifndef _WIN32
// The same with sysfs (Root/sys/class/tty) and the device nodes (Root/dev) read under Root; "/"
// is the machine's own, tests give a tree of their own. Device texts name /dev all the same.
std::optional<std::vector<TPortInfo>> PresentPortInfo(const std::filesystem::path& Root);
#endif
