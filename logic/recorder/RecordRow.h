// One row of the record: one value the laser reported (or a connection change, an error code, a
// command that failed), in the long form "time,elapsed_s,sn,branch,quantity,value,unit,text".
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "logic/recorder/Clock.h"

enum class TQuantity : std::uint8_t {
  Connection,        // 1 connected, 0 disconnected
  SerialNumber,      // the laser's serial number
  Emission,          // 1 the laser reports that it is on, 0 off
  Current,           // nominal current, A
  CurrentActual,     // actual current, A
  CurrentMax,        // maximum current, A
  Frequency,         // trigger frequency, Hz
  TriggerMode,       // 0 internal, 1 external, 2 CW; text: the mode's name
  RunningTime,       // minutes
  ErrorCode,         // text: the code's explanation
  CommandRefused,    // text: the operator's command the laser answered with ERROR
  CommandTimeout,    // text: the operator's command that went unanswered
  CommandNotSent,    // text: the operator's command dropped when the connection closed
  CommandCancelled,  // text: the operator's command that a Laser OFF given after it went ahead of
};
inline constexpr int QuantityCount = static_cast<int>(TQuantity::CommandCancelled) + 1;

// "current_actual", as the quantity column writes it.
std::string_view QuantityName(TQuantity Quantity);
// "A", "Hz", "min" or empty.
std::string_view QuantityUnit(TQuantity Quantity);

struct TRecordRow {
  TStamp Time;
  std::optional<int> SN;    // the laser's serial number, once read on this connection
  std::uint8_t Branch = 0;  // 1 Laser 1, 2 Laser 2, 0 none
  TQuantity Quantity = TQuantity::Connection;
  double Value = std::numeric_limits<double>::quiet_NaN();  // NaN: no value (an empty field)
  std::string Text;
};

inline constexpr std::string_view RecordHeader =
    "time,elapsed_s,sn,branch,quantity,value,unit,text\r\n";

// Appends the row as one CSV line (CR LF at its end, as RFC 4180 has it); elapsed_s counts from
// Began.
void AppendRecordRow(std::string& Out, const TRecordRow& Row,
                     std::chrono::steady_clock::time_point Began);
