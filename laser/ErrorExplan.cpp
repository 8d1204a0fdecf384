#include "laser/ErrorExplan.h"

#include <stdexcept>

int TExplanationList::Add(std::uint8_t code, const std::string& text) {
  const int index = IndexOfCode(code);
  if (index >= 0) {
    FItems[static_cast<std::size_t>(index)].Text = text;
    return index;
  }
  FItems.push_back({code, text});
  return Count() - 1;
}

int TExplanationList::IndexOfCode(std::uint8_t code) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i].Code == code) return static_cast<int>(i);
  }
  return -1;
}

const TErrorCodeExplanation* TExplanationList::Find(std::uint8_t code) const {
  const int index = IndexOfCode(code);
  return index < 0 ? nullptr : &FItems[static_cast<std::size_t>(index)];
}

const TErrorCodeExplanation& TExplanationList::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return FItems[static_cast<std::size_t>(index)];
}

void TExplanationList::LoadQTExplanations() {
  Clear();
  Add(73, "Flow rate of cooling water is out of working range");
  Add(80, "LD Temperature of Laser 1 is out of working range.");
  Add(81, "LD Temperature of Laser 2 is out of working range.");
  Add(86, "Oven temperature is unstable");
  Add(91, "Shutter hangs or is blocked.");
  Add(92, "Door is open.");
  Add(93, "General protection (interlock is open).");
  Add(94, "Chiller error, sum error signal (low flow rate, water temperature.");
  Add(95, "LD current exceed the maximum value allowed.");
  Add(97, "Temperature sensor is defective.");
  Add(98, "Humidity in LD house of Laser 1 is too high.");
  Add(99, "Humidity in LD house of Laser 2 is too high.");
}

void TExplanationList::LoadZEExplanations() {
  Clear();
  Add(80, "LD Temperature is too high.");
  Add(81, "LD Temperature is too low.");
  Add(82, "Resonator temperature is too high.");
  Add(83, "Resonator temperature is too low.");
  Add(84, "Oven1 temperature is too high.");
  Add(85, "Oven2 temperature is too high.");
  Add(86, "Warm up and/or temperature is unstable.");
  Add(87, "(R7)Optical pump power is too high.");
  Add(88, "(R7)Solid state laser power is too high.");
  Add(89, "(R7)Optical output power is too high.");
  Add(90, "(R7)Shutter hangs.");
  Add(91, "(M4)Shutter hangs. (R7)Door is open.");
  Add(92, "(M4)Door is open. (R7)Interlock activated");
  Add(93, "(M4)Interlock (safety loops) is open. (R7)LD current is too high.");
  Add(94, "(M4)Cooling device (chiller). (R7)LD voltage is too high.");
  Add(95, "(M4)LD current is too high. (R7)Temperature sensor error.");
  Add(96, "(M4)LD voltage is too high.");
  Add(97, "(M4)Temperature sensor error.");
}

std::string TExplanationList::DisplayLine(std::uint8_t code) const {
  std::string line = "[" + std::to_string(code) + "]";
  if (const TErrorCodeExplanation* found = Find(code)) line += "  " + found->Text;
  return line;
}
