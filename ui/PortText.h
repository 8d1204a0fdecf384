// The options dialog's port field as text: parsing what the operator typed, and the items its
// drop-down list offers. Qt-free so that both are tested without a display.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// "COMn" with n in 1..256, blank space around it and letter case ignored ("com7", " COM7 ",
// "COM07" give 7); anything else gives nothing.
std::optional<int> ParsePortText(std::string_view text);

// The drop-down items for the ports the serial layer reports: COM1 to COM256 when the list could
// not be read, the single item "No serial port present" when it holds no COM entry.
std::vector<std::string> PortListItems(const std::optional<std::vector<std::string>>& present);

inline constexpr const char* kNoSerialPort = "No serial port present";
