// The options dialog's port field as text: parsing what the operator typed, and the items its
// drop-down list offers. Qt-free so that both are tested without a display.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortNames.h"

// "COMn" with n in 1..256, blank space around it and letter case ignored ("com7", " COM7 ",
// "COM07" give 7), also as a drop-down item shows it ("COM7 \u2014 /dev/ttyS6"); anything else
// gives nothing.
std::optional<int> ParsePortText(std::string_view text);

// Between a port's name and what stands behind it in a drop-down item.
inline constexpr std::string_view kPortItemSeparator = " \u2014 ";

// A drop-down item: the text shown, and the port name the field takes when it is chosen.
struct TPortItem {
  std::string Text;
  std::string Name;
  bool operator==(const TPortItem&) const = default;
};

// "COM33 — /dev/ttyUSB0, FT232R USB UART": the name, then the device and a USB adapter's
// product name where the serial layer knows them (on Linux); the name alone otherwise.
std::string PortItemText(const TPortInfo& Port);

// The drop-down items for the ports the serial layer reports: COM1 to COM256 when the list could
// not be read, the single item "No serial port present" when it holds no COM entry.
std::vector<TPortItem> PortListItems(const std::optional<std::vector<TPortInfo>>& present);

inline constexpr const char* kNoSerialPort = "No serial port present";
