#include "logic/recorder/ValueFeed.h"

#include <cmath>
#include <limits>

#include "logic/recorder/Recorder.h"
#include "logic/recorder/TrendModel.h"

namespace {
constexpr double NoValue = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TValueFeed::TValueFeed(TStampClock& Clock, TRecorder* Recorder, TTrendModel* Trend)
    : FClock(Clock), FRecorder(Recorder), FTrend(Trend) {}

void TValueFeed::Emit(TQuantity Quantity, std::uint8_t Branch, double Value,
                      std::string_view Text) {
  TRecordRow row;
  row.Time = FClock.Now();
  row.SN = FSN;
  row.Branch = Branch;
  row.Quantity = Quantity;
  row.Value = Value;
  row.Text = Text;
  if (FTrend) FTrend->Add(row);
  if (FRecorder && FRecorder->Add(row) && OnArmFlush) OnArmFlush();
}

bool TValueFeed::Packed(std::uint8_t Branch) const {
  if (!FCommands) return false;
  const int i = FCommands->IndexOf(lcReadCurrent, Branch);
  return i >= 0 && FCommands->Items(i).Indexes.size() > 2;
}

void TValueFeed::OnConnect() {
  FConnected = true;
  FSN.reset();  // another laser may have been plugged in
  Emit(TQuantity::Connection, 0, 1);
}

void TValueFeed::OnDisconnect() {
  if (!FConnected) return;
  Emit(TQuantity::Connection, 0, 0);
  FConnected = false;
  FSN.reset();
}

void TValueFeed::OnSN(int SN) {
  FSN = SN;
  Emit(TQuantity::SerialNumber, 0, SN);
}

void TValueFeed::OnCurrent(std::uint8_t Branch, double Value) {
  if (!Packed(Branch)) {
    Emit(TQuantity::Current, Branch, Value);
    return;
  }
  const TPackedCurrent c = UnpackCurrent(Value);
  Emit(TQuantity::Current, Branch, c.Nominal);
  Emit(TQuantity::CurrentActual, Branch, c.Actual);
}

void TValueFeed::OnMaxCurrent(std::uint8_t Branch, double Value) {
  Emit(TQuantity::CurrentMax, Branch, Value);
}

void TValueFeed::OnFrequency(std::uint8_t Branch, double Value) {
  Emit(TQuantity::Frequency, Branch, Value);
}

void TValueFeed::OnTriggerMode(std::uint8_t Branch, TTriggerMode Mode) {
  const int mode = Mode <= tmError ? Mode : tmError;
  Emit(TQuantity::TriggerMode, Branch, mode, TriggerModeNames[mode]);
}

void TValueFeed::OnLaserON(bool IsOn) {
  Emit(TQuantity::Emission, 0, IsOn ? 1 : 0);
}

void TValueFeed::OnRunningTime(std::uint32_t Minutes) {
  Emit(TQuantity::RunningTime, 0, Minutes);
}

void TValueFeed::OnLaserError(std::uint8_t Code, std::string_view Explanation) {
  Emit(TQuantity::ErrorCode, 0, Code, Explanation);
}

void TValueFeed::OnCommandReport(TCommandOutcome Outcome, std::string_view Command) {
  switch (Outcome) {
    case TCommandOutcome::Answered:
      return;
    case TCommandOutcome::Refused:
      Emit(TQuantity::CommandRefused, 0, NoValue, Command);
      return;
    case TCommandOutcome::NoReply:
      Emit(TQuantity::CommandTimeout, 0, NoValue, Command);
      return;
    case TCommandOutcome::NotSent:
      Emit(TQuantity::CommandNotSent, 0, NoValue, Command);
      return;
    case TCommandOutcome::Cancelled:
      Emit(TQuantity::CommandCancelled, 0, NoValue, Command);
      return;
  }
}
