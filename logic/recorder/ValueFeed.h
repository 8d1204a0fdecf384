// Turns the laser's events into rows for the recorder and the trend plot. The window's fan-out of
// the laser's events calls these on the UI thread as the laser raises them; each row is stamped
// with the clock's time of the call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "laser/CommandQueue.h"
#include "laser/Commands.h"
#include "laser/PackedCurrent.h"
#include "logic/recorder/Clock.h"
#include "logic/recorder/RecordRow.h"

class TRecorder;
class TTrendModel;

class TValueFeed {
 public:
  // Either may be null. Both must outlive the feed.
  TValueFeed(TStampClock& Clock, TRecorder* Recorder, TTrendModel* Trend);

  // The laser's command table. A current read whose entry has a second value group reports the
  // actual current packed into the value (nominal + actual * 0.00001); such a value becomes a
  // "current" row and a "current_actual" row. Without a table (or with an entry of one value
  // group) the value is the nominal current as reported.
  void SetCommandList(const TCommandList* List) { FCommands = List; }

  void OnConnect();
  void OnDisconnect();
  void OnSN(int SN);
  void OnCurrent(std::uint8_t Branch, double Value);
  void OnMaxCurrent(std::uint8_t Branch, double Value);
  void OnFrequency(std::uint8_t Branch, double Value);
  void OnTriggerMode(std::uint8_t Branch, TTriggerMode Mode);
  void OnLaserON(bool IsOn);
  void OnRunningTime(std::uint32_t Minutes);
  // Explanation: the code's text from the error table in force (may be empty).
  void OnLaserError(std::uint8_t Code, std::string_view Explanation);
  // The operator's commands that ended without their answer (answered ones make no row).
  void OnCommandReport(TCommandOutcome Outcome, std::string_view Command);

  // The serial number of the laser on this connection, once read.
  std::optional<int> SN() const { return FSN; }
  bool Connected() const { return FConnected; }
  // A row to the recorder's file and the trend model, stamped now. The recorder's Add result
  // (arm the flush timer) is handed to OnArmFlush.
  void Emit(TQuantity Quantity, std::uint8_t Branch, double Value, std::string_view Text = {});

  // The recorder asks for its flush timer (TRecorder::FlushPeriodMs).
  std::function<void()> OnArmFlush;

 private:
  bool Packed(std::uint8_t Branch) const;

  TStampClock& FClock;
  TRecorder* FRecorder;
  TTrendModel* FTrend;
  const TCommandList* FCommands = nullptr;
  std::optional<int> FSN;
  bool FConnected = false;
};
