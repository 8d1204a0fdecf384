// The text side of remote control: the bytes of a client cut into lines, a line parsed into the
// commands of the remote command table (SCPI-style headers, long and short forms, branch
// suffixes, queries, parameters), and the errors with SCPI's numbers and texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"

// One entry of a client's error queue.
struct TScpiError {
  int Code = 0;
  std::string Text;  // SCPI's text, after "; " what went wrong here
  // As SYSTem:ERRor? answers it: -113,"Undefined header".
  std::string Format() const;
  bool operator==(const TScpiError&) const = default;
};

namespace scpi {
// Syntax and parameter errors: the command is not carried out.
inline const TScpiError SyntaxError{-102, "Syntax error"};
inline const TScpiError DataTypeError{-104, "Data type error"};
inline const TScpiError ParameterNotAllowed{-108, "Parameter not allowed"};
inline const TScpiError MissingParameter{-109, "Missing parameter"};
inline const TScpiError UndefinedHeader{-113, "Undefined header"};
inline const TScpiError SuffixOutOfRange{-114, "Header suffix out of range"};
inline const TScpiError InvalidSuffix{-131, "Invalid suffix"};
inline const TScpiError InvalidString{-151, "Invalid string data"};
inline const TScpiError LineTooLong{-223, "Too much data; line longer than 4096 bytes"};
inline const TScpiError TextTooLong{-223, "Too much data; command text longer than 255"};
inline const TScpiError IllegalValue{-224, "Illegal parameter value"};
inline const TScpiError UnknownText{-224, "Illegal parameter value; not in the laser's table"};
// Execution errors.
inline const TScpiError OutOfRange{-222, "Data out of range"};
inline const TScpiError NotAllowed{-221, "Settings conflict; remote control not allowed"};
inline const TScpiError Refused{-200, "Execution error; laser refused"};
inline const TScpiError Cancelled{-200, "Execution error; cancelled by Laser OFF"};
inline const TScpiError NoReply{-240, "Hardware error; laser did not reply"};
inline const TScpiError NotANumber{-230, "Data corrupt or stale; reply not a number"};
inline const TScpiError NoLaser{-241, "Hardware missing; no laser ready"};
inline const TScpiError NotOnThisLaser{-241, "Hardware missing; not on this laser"};
inline const TScpiError NoDefaults{-241, "Hardware missing; *RST not supported"};
inline const TScpiError QueueOverflow{-350, "Queue overflow"};
}  // namespace scpi

// Cuts a client's bytes into lines ended by LF (a CR before it is dropped). A line longer than
// MaxLine bytes is refused as soon as it is that long, once, and the rest of it up to its LF is
// skipped without being kept.
class TScpiLineSplitter {
 public:
  static constexpr std::size_t MaxLine = 4096;
  // A complete line, or nothing for a refused one.
  using TOnLine = std::function<void(std::optional<std::string_view> Line)>;
  void Feed(std::string_view Bytes, const TOnLine& OnLine);
  // Bytes of an unfinished line held.
  std::size_t Held() const { return FPartial.size(); }

 private:
  std::string FPartial;
  bool FSkipping = false;
};

enum class TScpiCommand : std::uint8_t {
  Identify,           // *IDN?
  ResetDefaults,      // *RST
  SelfTest,           // *TST?
  ClearStatus,        // *CLS
  OperationComplete,  // *OPC?
  SystemError,        // SYSTem:ERRor[:NEXT]?
  SystemState,        // SYSTem:STATe?
  Current,            // SOURce[1|2]:CURRent? and <A>
  ActualCurrent,      // SOURce[1|2]:CURRent:ACTual?
  MaxCurrent,         // SOURce[1|2]:CURRent:MAXimum?
  Frequency,          // SOURce[1|2]:FREQuency? and <Hz>
  TriggerSource,      // TRIGger[1|2]:SOURce? and INTernal|EXTernal|CW
  Output,             // OUTPut[:STATe]? and ON|OFF|1|0
  LaserError,         // LASer:ERRor?
  Save,               // SYSTem:SAVE
  Reset,              // SYSTem:RESet
  ClearError,         // SYSTem:CLEar
  Raw,                // SYSTem:COMMunicate:RAW? "<text>"
};

// One parsed command.
struct TScpiUnit {
  TScpiCommand Command = TScpiCommand::Identify;
  bool Query = false;
  std::uint8_t Branch = 1;  // the header's suffix, 1 when omitted
  double Number = 0;        // CURRent in A, FREQuency in Hz (a KHZ suffix already applied)
  bool On = false;          // OUTPut
  TTriggerMode Mode = tmInternal;
  std::string Text;  // RAW?'s command text, quotes taken off
};

// Whether a command changes the laser, and so needs remote control allowed. Laser OFF does not:
// it is always allowed.
bool ChangesLaser(const TScpiUnit& Unit);
// A command in short form, e.g. "SOUR2:CURR 12.50", "OUTP OFF", "SYST:COMM:RAW? \"r61\"".
std::string ScpiText(const TScpiUnit& Unit);

struct TScpiLine {
  std::vector<TScpiUnit> Units;     // to be run in this order
  std::optional<TScpiError> Error;  // the command after Units did not parse: the rest is skipped
};

// Commands are separated by ";" (outside quotes); every one starts from the root, a leading ":"
// allowed; empty ones are ignored.
TScpiLine ParseScpiLine(std::string_view Line);

// Formats text as SCPI string data: in double quotes, a quote inside doubled.
std::string ScpiQuoted(std::string_view Text);
