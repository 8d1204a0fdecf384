// What the operator is told of a command of theirs that the laser did not carry out.
#pragma once

#include <string>

#include "laser/CommandQueue.h"

// "Refused: w61 33.30", "No reply: w60 1", "Not sent, connection closed: w61 15.50"; empty for a
// command that was answered.
std::string CommandReportText(TCommandOutcome Outcome, const std::string& CmdStr);
