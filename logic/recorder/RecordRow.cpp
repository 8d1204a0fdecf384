#include "logic/recorder/RecordRow.h"

#include "logic/recorder/Csv.h"

std::string_view QuantityName(TQuantity Quantity) {
  switch (Quantity) {
    case TQuantity::Connection:
      return "connection";
    case TQuantity::SerialNumber:
      return "serial_number";
    case TQuantity::Emission:
      return "emission";
    case TQuantity::Current:
      return "current";
    case TQuantity::CurrentActual:
      return "current_actual";
    case TQuantity::CurrentMax:
      return "current_max";
    case TQuantity::Frequency:
      return "frequency";
    case TQuantity::TriggerMode:
      return "trigger_mode";
    case TQuantity::RunningTime:
      return "running_time";
    case TQuantity::ErrorCode:
      return "error_code";
    case TQuantity::CommandRefused:
      return "command_refused";
    case TQuantity::CommandTimeout:
      return "command_timeout";
    case TQuantity::CommandNotSent:
      return "command_not_sent";
    case TQuantity::CommandCancelled:
      return "command_cancelled";
  }
  return "";
}

std::string_view QuantityUnit(TQuantity Quantity) {
  switch (Quantity) {
    case TQuantity::Current:
    case TQuantity::CurrentActual:
    case TQuantity::CurrentMax:
      return "A";
    case TQuantity::Frequency:
      return "Hz";
    case TQuantity::RunningTime:
      return "min";
    default:
      return "";
  }
}

void AppendRecordRow(std::string& Out, const TRecordRow& Row,
                     std::chrono::steady_clock::time_point Began) {
  AppendIsoTime(Out, Row.Time.UnixMs(), Row.Time.UtcOffsetMinutes);
  Out += ',';
  AppendSeconds3(
      Out, std::chrono::duration_cast<std::chrono::milliseconds>(Row.Time.Mono - Began).count());
  Out += ',';
  if (Row.SN) Out += std::to_string(*Row.SN);
  Out += ',';
  Out += std::to_string(Row.Branch);
  Out += ',';
  Out += QuantityName(Row.Quantity);
  Out += ',';
  AppendCsvNumber(Out, Row.Value);
  Out += ',';
  Out += QuantityUnit(Row.Quantity);
  Out += ',';
  AppendCsvField(Out, Row.Text);
  Out += "\r\n";
}
