// Laser error codes and their explanations, one table per laser family.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TErrorCodeExplanation {
  std::uint8_t Code = 0;
  std::string Text;
};

class TExplanationList {
 public:
  // Replaces the text of a code already present, else appends; returns the element's index.
  int Add(std::uint8_t code, const std::string& text);
  int IndexOfCode(std::uint8_t code) const;
  const TErrorCodeExplanation* Find(std::uint8_t code) const;
  void LoadQTExplanations();
  void LoadZEExplanations();
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  const TErrorCodeExplanation& Items(int index) const;  // throws std::out_of_range

  // The line the error display shows: "[93]  text", or "[93]" for a code without text.
  std::string DisplayLine(std::uint8_t code) const;

 private:
  std::vector<TErrorCodeExplanation> FItems;
};
