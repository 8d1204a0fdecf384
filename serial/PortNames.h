// COM port numbers and the devices behind them.
#pragma once

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
