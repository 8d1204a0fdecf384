#include "ui/PortText.h"

#include <cctype>

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithCom(std::string_view text) {
  if (text.size() < 3) return false;
  return std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
         std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
         std::toupper(static_cast<unsigned char>(text[2])) == 'M';
}

}  // namespace

std::optional<int> ParsePortText(std::string_view text) {
  text = Trim(text);
  if (!StartsWithCom(text)) return std::nullopt;
  std::string_view number = text.substr(3);
  // An integer conversion takes blanks before the number and an optional sign ("COM 7").
  while (!number.empty() && IsBlank(number.front())) number.remove_prefix(1);
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

std::vector<std::string> PortListItems(const std::optional<std::vector<std::string>>& present) {
  std::vector<std::string> items;
  if (!present) {
    items.reserve(256);
    for (int port = 1; port <= 256; ++port) items.push_back("COM" + std::to_string(port));
    return items;
  }
  for (const std::string& name : *present) {
    if (StartsWithCom(name)) items.push_back(name);
  }
  if (items.empty()) items.emplace_back(kNoSerialPort);
  return items;
}
