// The diagnostic console of the engine: a line of input becomes a laser request by name or a raw
// command text; every laser event comes back as one line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TLaser;

struct TConsoleOptions {
  int Port = 0;
  std::string Set = "base";  // base, qt, ze
  int WaitMs = 100;          // after the queue has drained, how long to keep reporting
  bool Help = false;
};

// Parses the command line; an error text on bad input.
std::optional<std::string> ParseConsoleArgs(const std::vector<std::string>& args,
                                            TConsoleOptions& options);
std::string ConsoleUsage();

// Carries out one input line on the laser. Returns an error text when a request's arguments are
// wrong; a line that names no request is sent as typed. "Wait N" sets waitMs to N and returns.
std::optional<std::string> ExecuteLine(TLaser& laser, std::string_view line, int& waitMs);
