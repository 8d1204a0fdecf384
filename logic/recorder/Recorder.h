// The recorder: every row the value feed makes goes into the CSV file of the running recording.
// Rows wait in a buffer that the caller's timer flushes (FlushPeriodMs after the first row went
// into an empty buffer; nothing waits when nothing comes) and that is flushed at once when it
// grows past FlushBytes and at stop. A write error ends the recording and says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "logic/recorder/RecordFile.h"
#include "logic/recorder/RecordRow.h"

struct TRecorderSettings {
  std::filesystem::path Folder;  // where recordings go
  bool AutoRecord = false;       // record each ready connection until it closes
  bool operator==(const TRecorderSettings&) const = default;
};

class TRecorder {
 public:
  static constexpr int FlushPeriodMs = 1000;
  static constexpr std::size_t FlushBytes = 64 * 1024;

  TRecorder() = default;
  ~TRecorder();  // flushes and closes a running recording, reporting nothing
  TRecorder(const TRecorder&) = delete;
  TRecorder& operator=(const TRecorder&) = delete;

  TRecorderSettings& Settings() { return FSettings; }
  const TRecorderSettings& Settings() const { return FSettings; }

  // Starts a recording in a new file "laser-<SN>-<yyyyMMdd-HHmmss>.csv" ("unknown" for no SN;
  // "-2", "-3", ... added when the name is taken) in the settings' folder, made when missing. A
  // recording that runs is stopped first. Earlier recordings in the folder that a kill left
  // with part of a row at their end are cut back to whole rows. False, with Error, when no file
  // could be made.
  bool Start(std::optional<int> SN, const TStamp& Now, std::string& Error);
  // Writes what waits and closes the file; a failing last write is reported through OnFailed.
  void Stop();

  // AutoRecord: a laser became ready (starts a recording unless one runs), or its connection
  // closed (stops the recording that LaserReady started; one the operator started goes on).
  // LaserReady is false, with Error, when it tried to start and could not.
  bool LaserReady(std::optional<int> SN, const TStamp& Now, std::string& Error);
  void LaserGone();

  bool Recording() const { return FFile.IsOpen(); }
  bool AutoStarted() const { return Recording() && FAuto; }
  // The file of the running recording, or of the last one.
  const std::filesystem::path& FileName() const { return FFile.Path(); }
  std::uint64_t RowsWritten() const { return FRowsWritten; }
  bool Pending() const { return !FBuffer.empty(); }

  // Buffers a row of the running recording (none runs: ignored). True when it went into an
  // empty buffer: the caller arms its one-shot flush timer for FlushPeriodMs, whose tick calls
  // Flush.
  bool Add(const TRecordRow& Row);
  void Flush();

  // The recording ended because its file could not be written; Message names the file and the
  // reason. Runs inside Add, Flush or Stop, with the recording already stopped.
  std::function<void(const std::string& Message)> OnFailed;

 private:
  bool Write();
  void Fail(const std::string& Error);

  TRecorderSettings FSettings;
  TRecordFile FFile;
  std::string FBuffer;
  std::chrono::steady_clock::time_point FBegan;
  std::uint64_t FRowsBuffered = 0;
  std::uint64_t FRowsWritten = 0;
  bool FAuto = false;
};
