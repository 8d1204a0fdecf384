#include "logic/Reports.h"

std::string CommandReportText(TCommandOutcome Outcome, const std::string& CmdStr) {
  switch (Outcome) {
    case TCommandOutcome::Answered:
      return {};
    case TCommandOutcome::Refused:
      return "Refused: " + CmdStr;
    case TCommandOutcome::NoReply:
      return "No reply: " + CmdStr;
    case TCommandOutcome::NotSent:
      return "Not sent, connection closed: " + CmdStr;
    case TCommandOutcome::Cancelled:
      return "Not sent, Laser OFF given after it: " + CmdStr;
  }
  return {};
}
