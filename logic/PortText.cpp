#include "logic/PortText.h"

#include "laser/Text.h"

std::optional<int> ParsePortText(std::string_view text) {
  text = text.substr(0, text.find(kPortItemSeparator));
  text = text::TrimControls(text);
  if (!text::StartsWithText(text, "COM")) return std::nullopt;
  std::string_view number = text.substr(3);
  // An integer conversion takes blanks before the number and an optional sign ("COM 7").
  number = text::TrimControls(number);
  bool negative = false;
  if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  if (number.empty()) return std::nullopt;
  long value = 0;
  for (const char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 100000) return std::nullopt;  // far out of range; stops any overflow
  }
  if (negative) value = -value;
  if (value < 1 || value > 256) return std::nullopt;
  return static_cast<int>(value);
}

std::string PortItemText(const TPortInfo& Port) {
  std::string text = Port.Name;
  if (Port.Device.empty()) return text;
  text += kPortItemSeparator;
  text += Port.Device;
  if (!Port.Product.empty()) text += ", " + Port.Product;
  return text;
}

std::vector<TPortItem> PortListItems(const std::optional<std::vector<TPortInfo>>& present) {
  std::vector<TPortItem> items;
  if (!present) {
    items.reserve(256);
    for (int port = 1; port <= 256; ++port) {
      const std::string name = "COM" + std::to_string(port);
      items.push_back({name, name});
    }
    return items;
  }
  for (const TPortInfo& port : *present) {
    if (text::StartsWithText(port.Name, "COM")) items.push_back({PortItemText(port), port.Name});
  }
  if (items.empty()) items.push_back({kNoSerialPort, kNoSerialPort});
  return items;
}
