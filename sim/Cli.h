// The laser-sim command line and the lines of its control FIFO, parsed apart from main() so
// that they are tested without starting the program.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/Device.h"

namespace sim {

struct CliConfig {
  Options options;
  std::string link;     // required unless help
  std::string log;      // one line per command received
  std::string control;  // FIFO of control lines
  bool help = false;
};

// The arguments after the program name; a message naming the fault when they are bad.
std::variant<CliConfig, std::string> ParseCommandLine(const std::vector<std::string>& args);
std::string HelpText();

// One line of the control FIFO: "error CODE [DETAIL]", "clear CODE", "unplug", "replug",
// "sn N". A blank line is Kind::None.
struct ControlCommand {
  enum class Kind { None, Error, Clear, Unplug, Replug, SN } kind = Kind::None;
  int value = 0;
  int detail = -1;
};
std::variant<ControlCommand, std::string> ParseControlLine(std::string_view line);

// "model qt2, S/N 1234, faults: drop 0.1, pace" for the start-up line.
std::string Summary(const Options& options);

}  // namespace sim
