// The window's half of the recorder: the File menu's "Start recording..." and "Stop recording",
// the rows made from the laser's events (through the window's fan-out), the timer that flushes
// them, AutoRecord at each ready connection, and what the status bar shows of it.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <optional>

#include "logic/LaserEvents.h"
#include "logic/recorder/Recorder.h"
#include "logic/recorder/TrendModel.h"
#include "logic/recorder/ValueFeed.h"

class QAction;
class QWidget;
class TExplanationList;
class TIniFile;

class TRecording : public QObject {
 public:
  TRecording(TLaser& Laser, const TExplanationList& Explanations, QWidget* Owner);
  ~TRecording() override;

  // The value events, the connection's and the operator's failed commands, from the fan-out.
  void Subscribe(TLaserEvents& Events);
  // [Recorder] Folder (default: the user's documents folder) and AutoRecord.
  void ReadSettings(const TIniFile& File);
  // Into File what changed since ReadSettings; true when anything did.
  bool StoreSettings(TIniFile& File) const;

  QAction* StartRecording = nullptr;  // "Start recording...": the folder asked, then a new file
  QAction* StopRecording = nullptr;
  void StartRecordingExecute();
  void StopRecordingExecute();

  // The detection's ready connection, and its end: AutoRecord starts and stops with them.
  void LaserReady();
  void LaserGone();

  bool Recording() const { return FRecorder.Recording(); }
  // The status bar's field: "REC <file>" while recording, "Not recording: <why>" after a file
  // could not be made or written, empty otherwise.
  QString StatusText() const;
  const TRecorder& Recorder() const { return FRecorder; }
  // The session's history for the trend plot, kept whether or not a file is written.
  const TTrendModel& Trend() const { return FTrend; }
  TStampClock& Clock() { return FClock; }
  // A reported value went into the history.
  std::function<void()> OnData;
  TRecorder& Recorder() { return FRecorder; }

  // The folder dialog; tests answer it. Empty: cancelled.
  std::function<std::optional<std::filesystem::path>(const std::filesystem::path& Current)>
      ChooseFolder;
  // A box with a problem (a file that could not be made or written); tests catch it.
  std::function<void(const QString& Message)> ShowProblem;
  // Recording began or ended: the window updates its status bar and actions.
  std::function<void()> OnChanged;

 private:
  bool Start(bool Auto);
  void Failed(const std::string& Message);
  void Changed();

  TLaser& FLaser;
  const TExplanationList& FExplanations;
  QWidget* FOwner;
  TSystemStampClock FClock;
  TRecorder FRecorder;
  TTrendModel FTrend;
  TValueFeed FFeed;
  QTimer FFlushTimer;
  TRecorderSettings FRead;
  QString FLastProblem;
  TSubscriptions FSubscriptions;  // last: ended first
};
