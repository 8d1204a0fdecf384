// The laser's four worker threads: the sender (Sender.cpp), the receiver (Receiver.cpp), the
// matcher (Matcher.cpp) and the phase timer (PhaseTimer.cpp). Each is given what it shares with
// the others; the laser owns all of it and outlives its threads.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "laser/CommandQueue.h"
#include "laser/ReceiveText.h"
#include "laser/ReplyBook.h"
#include "laser/RxPath.h"
#include "laser/Sync.h"
#include "laser/WorkerThread.h"
#include "serial/ComPort.h"

// What the workers share.
struct TWorkerShared {
  TStrQueue& Queue;        // commands not yet written
  TReceiveText& Rx;        // received text not yet consumed
  TSharedReplyBook& Book;  // commands written whose replies may still come
  // Held by the sender while it writes, and by a close while it empties the queue: a command is
  // written on the connection it was queued for, or never.
  std::mutex& WriteLock;
  TEvent& ReplyEvent;       // the pending command was answered
  TEvent& ErrorReplyEvent;  // the pending command was refused (or the sender is stopped)
  TEvent& InputWakeEvent;   // the receiver is paused or stopped
  TEvent& LineEvent;        // for the sender: a reply settled something, a command was queued
};

class TOutputMonitor : public TMonitorThread {
 public:
  TOutputMonitor(TLaser* laser, const TWorkerShared& shared);
  void Stop() override;
  // The command texts the sending thread treats specially; set from the command table.
  void SetSpecialCommands(const std::string* clearError, const std::string* readErrorCode,
                          const std::string* reset);
  std::string ClearErrorCmd() const;
  std::string ReadErrorCodeCmd() const;
  std::string ResetCmd() const;

 protected:
  void Execute() override;

 private:
  // In step: the next command, written, and its reply waited for.
  void SendItem(TQueueItem item, TOverlapped& overlapped);
  // Out of step: Laser OFF at once, otherwise the engine's own reads until the line is in step.
  void Resync(TOverlapped& overlapped);
  // Writes a command and enters it in the book (an unanswered one, the error-code read, among the
  // reads whose answer comes as error lines); false when it was not written because the
  // connection it was queued for has closed. A record taken from the queue (`fromQueue`) has its
  // hold there released once it is on record here.
  bool Write(TWrittenCommand& record, std::uint64_t connection, bool unanswered, bool fromQueue,
             TOverlapped& overlapped);
  // Throws away received text that ends no line and has stopped growing: it cannot be the start
  // of the reply to the command about to be written, and would spoil that reply.
  void DropStaleInput();
  TWrittenCommand Record(const TQueueItem& item, bool waited) const;

  TWorkerShared S;
  std::uint64_t FWriteSerial = 0;  // only this thread writes
  mutable std::mutex FSlotLock;
  std::string FClearErrorCmd, FReadErrorCodeCmd, FResetCmd;
};

class TInputMonitor : public TMonitorThread {
 public:
  TInputMonitor(TLaser* laser, const TWorkerShared& shared, TMonitorThread& matcher);
  void Resume() override;
  void Pause() override;
  void Stop() override;

 protected:
  void Execute() override;

 private:
  void PauseAndRecheck();
  TWorkerShared S;
  TMonitorThread& FMatcher;
};

class TInnerTimer : public TMonitorThread {
 public:
  explicit TInnerTimer(TLaser* laser);
  void Pause() override;
  void Stop() override;
  void SetInterval(std::uint32_t ms) {
    if (ms != 0) FInterval = ms;
  }
  std::uint32_t Interval() const { return FInterval; }
  // Restarts the one-shot count: fires once, Interval ms after the last Start.
  void Start(std::uint32_t ms);
  // Called on the UI thread when the interval has passed. Set on the UI thread only.
  std::function<void()> OnTimer;

 protected:
  void Execute() override;

 private:
  std::atomic<std::uint32_t> FInterval{1000};
  TEvent WakeEvent{false, false};
};

class TBufferMonitor : public TMonitorThread {
 public:
  TBufferMonitor(TLaser* laser, const TWorkerShared& shared, const TOutputMonitor& sender);

 protected:
  void Execute() override;

 private:
  void Pass();
  bool ExtractNextLine(bool waitAtEnd);
  void DeleteThrough(std::size_t endPos);
  // A reply or refusal of a written command: everything written before it is done, and the
  // sender moves on.
  void Answered(const TWrittenCommand& command, bool refused);
  // The refusal of a command written without a reply wait (the error-code read).
  void ReportReadRefused(const TUnanswered& read, const TCommandList::TEntries& list);

  TWorkerShared S;
  const TOutputMonitor& FSender;
  int MatchedIndex = -1;
  TLaserMsg Matches;
  std::string PendingText;
  std::vector<TLine> FLines;
  std::uint64_t FEpoch = 0;       // receive-text generation at the start of the pass
  std::uint64_t FConnection = 0;  // the laser's connection at the start of the pass
};
