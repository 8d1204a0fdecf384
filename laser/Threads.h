// The laser's worker threads and its command queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "laser/Commands.h"
#include "laser/Regex.h"
#include "laser/RxPath.h"
#include "laser/Sync.h"

class TLaser;

// Two command texts name the same command when their first letters agree (case ignored) and the
// digit runs after them agree with leading zeros ignored; parameters do not count.
bool SameCommand(const std::string& first, const std::string& second);

struct TQueueItem {
  int CommandIndex = -1;  // index in the laser's command table, -1 for a typed command
  std::string Text;
  bool Sent = false;
  std::uint64_t Serial = 0;  // tells one queued command from another with the same text
  bool Late = false;         // its reply wait has passed: only its own late reply may still come
};

// A command written without a reply wait (the error-code read) whose answer may still come.
struct TUnanswered {
  std::uint64_t Serial = 0;
  std::string Text;
  int CommandIndex = -1;
  std::chrono::steady_clock::time_point Until;  // no answer of it can come later than this
};

// First-in first-out command texts with their table index; all operations are thread-safe, and
// Push, Peek and Pop take constant time however many commands wait.
class TStrQueue {
 public:
  // Trims the text (codes 0 to 32 at both ends); a blank text is not queued.
  void Push(std::string_view text, int commandIndex);
  std::optional<TQueueItem> Peek() const;  // a copy of the head item
  void Pop();
  // Pops the head only while it is the item `serial`: a close may have emptied the queue, and a
  // reopen filled it again, while the sending thread waited for that item's reply.
  void PopIf(std::uint64_t serial);
  bool IsHead(std::uint64_t serial) const;
  void Clear();  // no OnChange
  // Without the lock: the workers ask on every turn. Written under the lock before OnChange runs,
  // so a thread that pauses and then finds 0 here cannot miss a push's resume.
  int Count() const { return FCount.load(); }
  // Marks the head as written, when it is still the item `serial`.
  void MarkSent(std::uint64_t serial);
  // Marks the head as past its reply wait, when it is still the item `serial`.
  void MarkLate(std::uint64_t serial);
  // Signals `event` only while the item `serial` is still the head, so a reply that comes late
  // can never release the command written after it.
  void SignalIfHead(std::uint64_t serial, TEvent& event);

  // Runs on the thread that pushed or popped, after the queue's lock is released.
  std::function<void(TStrQueue* Sender)> OnChange;

 private:
  void Changed();
  mutable std::mutex FLock;
  std::deque<TQueueItem> FItems;  // head first
  std::atomic<int> FCount{0};     // FItems.size()
  std::uint64_t FNextSerial = 1;
};

// A pausable worker thread. Launch() starts it; it then runs to its first WaitRun and blocks
// there until Resume. Its owner stops and joins it.
class TMonitorThread {
 public:
  TMonitorThread(TLaser* laser, const char* className);
  virtual ~TMonitorThread();
  TMonitorThread(const TMonitorThread&) = delete;
  TMonitorThread& operator=(const TMonitorThread&) = delete;

  void Launch();
  virtual void Resume();
  virtual void Pause();
  virtual void Stop();
  void Join();

  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Running() const { return RunEvent.IsSet(); }
  const char* ClassName() const { return FClassName; }

 protected:
  virtual void Execute() = 0;
  virtual void ReportError();
  void WaitRun();
  void Synchronize(const std::function<void()>& fn);
  // New error codes were taken out of the input, `code` the last: ends a running phase, then
  // OnLaserError.
  void ReportErrorCode(std::uint8_t code);

  TLaser* Laser;
  TEvent RunEvent{true, false};
  int ErrorCode = 0;
  std::string ErrorMessage;

 private:
  const char* FClassName;
  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};

class TOutputMonitor : public TMonitorThread {
 public:
  TOutputMonitor(TLaser* laser, TStrQueue& queue);
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
  void SendItem(const TQueueItem& item, TOverlapped& overlapped);
  // Throws away received text that ends no line and has stopped growing: it cannot be the start
  // of the reply to the command about to be written, and would spoil that reply.
  void DropStaleInput();
  TStrQueue& Queue;
  mutable std::mutex FSlotLock;
  std::string FClearErrorCmd, FReadErrorCodeCmd, FResetCmd;
};

class TInputMonitor : public TMonitorThread {
 public:
  explicit TInputMonitor(TLaser* laser);
  void Resume() override;
  void Pause() override;
  void Stop() override;
  std::uint8_t LastErrorCode() const { return FLastErrorCode; }
  // Takes the error-code lines out of the receive text (BufferLock held); returns true when a
  // new code was found. A CR at the very end ends a line only when `finalCr` says that no LF
  // can follow it any more.
  bool ScanErrorLines(std::string& buffer, bool finalCr = false);

 protected:
  void Execute() override;

 private:
  void PauseAndRecheck();
  TErrorLineScanner FErrorLines;
  std::atomic<std::uint8_t> FLastErrorCode{0};
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
  explicit TBufferMonitor(TLaser* laser);

 protected:
  void Execute() override;

 private:
  void Pass();
  std::optional<TLine> ExtractLine(std::size_t start);
  bool ExtractNextLine(bool waitAtEnd);
  void DeleteThrough(std::size_t endPos);
  void Deliver(const TCommandSyntax& cmd, bool pending, std::uint64_t pendingSerial);
  void ReportCommandError(const TCommandSyntax& cmd, const std::string& text,
                          std::uint64_t pendingSerial);
  // The refusal of a command written without a reply wait (the error-code read).
  void ReportReadRefused(const TUnanswered& read, const TCommandList::TEntries& list);

  int MatchedIndex = -1;
  TLaserMsg Matches;
  std::string PendingText;
  std::vector<TLine> FLines;
  std::uint64_t FEpoch = 0;       // receive-text generation at the start of the pass
  std::uint64_t FConnection = 0;  // the laser's connection at the start of the pass
};
