// The laser device object: the serial port plus the command table, the worker threads that send,
// receive and match, the failure bookkeeping, the clear-error and reset phases, and the events
// through which the program learns what the laser reports. Every event runs on the UI thread.
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "laser/CommandQueue.h"
#include "laser/Commands.h"
#include "laser/ReceiveText.h"
#include "laser/ReplyBook.h"
#include "laser/Sync.h"
#include "laser/Threads.h"
#include "serial/ComPort.h"

class TLaser;
using TLaserNotify = std::function<void(TLaser* Sender)>;
using TNotifyStr = std::function<void(TLaser* Sender, const std::string& buf)>;
using TNotifyStrEx =
    std::function<void(TLaser* Sender, std::uint8_t SubID, const std::string& buf)>;
using TNotifyFloat = std::function<void(TLaser* Sender, double value)>;
using TNotifyFloatEx = std::function<void(TLaser* Sender, std::uint8_t Branch, double Value)>;
using TNotifyOnOff = std::function<void(TLaser* Sender, bool IsOn)>;
using TNotifySN = std::function<void(TLaser* Sender, int SN)>;
using TNotifyTriggerMode =
    std::function<void(TLaser* Sender, std::uint8_t Branch, TTriggerMode Mode)>;
using TNotifyRunningTime = std::function<void(TLaser* Sender, std::uint32_t value)>;
using TNotifyLaserError = std::function<void(TLaser* Sender, std::uint8_t ErrorCode)>;
using TNotifyCommandError = std::function<void(TLaser* Sender, TLaserCommand Command,
                                               std::uint8_t SubID, const std::string& CmdStr)>;
// An operator's command that was refused, went unanswered, or was never written.
using TNotifyCommandReport =
    std::function<void(TLaser* Sender, TCommandOutcome Outcome, const std::string& CmdStr)>;

// An event handler that a worker thread may test for being assigned while the UI thread assigns
// it; otherwise used like the std::function it holds. Calling it is for the UI thread only.
template <typename Fn>
class TWatchedHandler {
 public:
  TWatchedHandler() = default;
  TWatchedHandler(const TWatchedHandler& other) : FFn(other.FFn), FAssigned(other.Assigned()) {}
  TWatchedHandler& operator=(const TWatchedHandler& other) { return *this = other.FFn; }
  template <typename F>
  requires(!std::same_as<std::remove_cvref_t<F>, TWatchedHandler> &&
           std::is_assignable_v<Fn&, F&&>) TWatchedHandler&
  operator=(F&& fn) {
    FFn = std::forward<F>(fn);
    FAssigned.store(static_cast<bool>(FFn), std::memory_order_release);
    return *this;
  }
  explicit operator bool() const { return static_cast<bool>(FFn); }
  template <typename... Args>
  decltype(auto) operator()(Args&&... args) const {
    return FFn(std::forward<Args>(args)...);
  }
  // Any thread.
  bool Assigned() const { return FAssigned.load(std::memory_order_acquire); }

 private:
  Fn FFn;
  std::atomic<bool> FAssigned{false};
};

// Protocol timing; tests shorten the waits, the program keeps the defaults.
struct TLaserTiming {
  int ReplyTimeoutMs = 500;       // the sending thread's wait for a reply
  std::uint32_t PhaseMs = 19000;  // longest clear-error or reset phase
  int ContinuationGraceMs = 10;   // one wait for a continuation line still on its way
  // After a reply wait ran out, each of the engine's own reads that bring the line back in step
  // gets this long before the next is tried.
  int SyncWaitMs = 500;
  // Received text that ends no line and has not grown for this long is thrown away before the
  // next command is written: nothing sent later can complete it into a reply.
  int StaleInputMs = 50;
  // Out of step, a line that has said nothing for this long has nothing more on its way: a reply
  // later than this is taken as lost.
  int SilenceMs = 5000;
};

class TLaser : public TComPort {
 public:
  explicit TLaser(TLaserTiming timing = {});
  ~TLaser() override;

  // --- connection ---
  bool Open() override;
  bool Disconnect();

  // --- command table ---
  TCommandList& CommandList() { return FCommandList; }
  const TCommandList& CommandList() const { return FCommandList; }
  void LoadBaseCommands() { ::LoadBaseCommands(FCommandList); }
  void LoadQTCommands(bool Reload) { ::LoadQTCommands(FCommandList, Reload); }
  void LoadZECommands(bool Reload) { ::LoadZECommands(FCommandList, Reload); }

  // --- sending (UI thread; none waits for the reply) ---
  // Who the requests queued while a scope lives are for, and how urgent they are. Outside any
  // scope a request is the operator's. Laser OFF is always urgent, whoever asks.
  class TRequestScope {
   public:
    TRequestScope(TLaser& Laser, TOrigin Origin, TPriority Priority = TPriority::Normal,
                  TCommandDone Done = {});
    ~TRequestScope();
    TRequestScope(const TRequestScope&) = delete;
    TRequestScope& operator=(const TRequestScope&) = delete;

   private:
    TLaser& FLaser;
    TOrigin FOrigin;
    TPriority FPriority;
    TCommandDone FDone;
    bool FRefreshOpen;
  };
  // Whether a refresh round may be queued now: no read of the last round is still queued or
  // unanswered. A scope of origin Refresh is one round: opened while the last is not through,
  // it queues nothing, so the queue never holds more than one round however short the period.
  bool RefreshDue() const;
  // Whether a text is Laser OFF ("w60" with 0), or switches the laser on ("w60" with anything
  // else), by the current command table.
  bool IsLaserOff(std::string_view Text) const;
  bool IsLaserOn(std::string_view Text) const;

  void SendCommand(TLaserCommand ID, std::uint8_t SubID, std::string_view Param);
  void SendValue(TLaserCommand ID, std::uint8_t SubID, double Value);
  void SendParam(TLaserCommand ID, std::string_view Param) { SendCommand(ID, 0, Param); }
  // False when nothing was queued: the port is closed, the text is blank, or it holds a line
  // break or NUL inside (which would make it two commands, or cut it, on the line).
  bool SendRaw(std::string_view Text, int Index);

  void ReadStatus() { SendCommand(lcReadStatus, 0, ""); }
  void ReadSN() { SendCommand(lcReadSN, 0, ""); }
  void ReadCurrent(std::uint8_t Branch) { SendCommand(lcReadCurrent, Branch, ""); }
  void ReadMaxCurrent(std::uint8_t Branch) { SendCommand(lcReadMaxCurrent, Branch, ""); }
  void ReadFrequency(std::uint8_t Branch) { SendCommand(lcReadFrequency, Branch, ""); }
  void ReadTriggerMode(std::uint8_t Branch) { SendCommand(lcReadTriggerMode, Branch, ""); }
  void ReadErrorCode();
  void ClearError() { SendCommand(lcClearError, 0, ""); }
  void SaveSettings() { SendCommand(lcSaveSettings, 0, ""); }
  void Reset() { SendCommand(lcReset, 0, ""); }
  void SetLaserOn(bool On) { SendParam(lcSetStatus, On ? "1" : "0"); }
  void SetTriggerMode(std::uint8_t Mode, std::uint8_t Branch);
  void SetCurrent(std::uint8_t Branch, double Value) { SendValue(lcSetCurrent, Branch, Value); }
  void SetFrequency(std::uint8_t Branch, double Value) { SendValue(lcSetFrequency, Branch, Value); }

  // --- state ---
  bool Reseting() const { return FReseting.load(std::memory_order_acquire); }
  std::uint8_t CommandErrors() const { return FCommandErrors.load(); }
  std::uint8_t VariousCommandErrors() const { return FVariousCommandErrors.load(); }
  std::uint32_t RunningTime() const { return FRunningTime; }
  double SeederFrequency() const { return FSeederFrequency; }
  std::uint16_t SN() const { return FSN; }
  int QXCSN() const { return FQXCSN; }
  double MaxCurrent(int Branch) const;
  const TLaserTiming& Timing() const { return FTiming; }
  // Commands not yet finished: waiting to be written, or written and not yet answered.
  int QueueCount() const;
  // Whether the line is in step: every command written was answered or is within its wait.
  bool InStep() const;
  std::string RxText() const;  // what was received and not yet consumed
  // Error lines taken out of the input so far, and the ones after a count: once the reply to a
  // command written after an error-code read has come, they hold that read's answer. Any thread.
  std::uint64_t ErrorLineCount() const { return FRx.ErrorLineCount(); }
  std::vector<TErrorLine> ErrorLinesSince(std::uint64_t Count) const {
    return FRx.ErrorLinesSince(Count);
  }
  // The hand-over queue that the UI thread drains (CheckSynchronize).
  TSynchronizer& Synchronizer() { return FSync; }

  // Counts the times the port was closed; what a worker took in before a close belongs to the
  // closed connection. Any thread.
  std::uint64_t Connection() const { return FConnection.load(std::memory_order_acquire); }

  // --- called by the worker threads (through Synchronize unless said otherwise) ---
  void QueueChanged();        // any thread
  void CommandListChanged();  // UI thread, from the table's OnChange
  void InterpretReply(int Index, const TLaserMsg& Msg);
  void InterpretReply(const TCommandSyntax& Cmd, const TLaserMsg& Msg);
  void BeginClearError();
  void BeginReset();
  void ClearErrorRefused();
  void ResetDone();
  void ClearErrorTimeout();
  void ResetTimeout();
  void CommandTimeout(const std::string& Text);
  bool HandleCommandFailure(const TCommandSyntax& Cmd);
  void ClearCommandErrors();  // any thread
  // How written commands ended (UI thread): the events of the failure bookkeeping, the
  // operator's reports and the callbacks of whoever asked.
  void CommandAnswered(const TWrittenCommand& Command, const TLaserMsg& Groups);
  void CommandRefused(const TWrittenCommand& Command);
  void CommandTimedOut(const TWrittenCommand& Command);
  // Written, but no reply of theirs can come any more (those reported as timed out already
  // report nothing more).
  void CommandsLost(const std::vector<TWrittenCommand>& Commands);
  void CommandsNotSent(const std::deque<TQueueItem>& Items,
                       TCommandOutcome Outcome = TCommandOutcome::NotSent);
  // The device of `connection` reported a hang-up or an I/O error: closed like Disconnect, with
  // one OnDisconnect, unless that connection has been closed already.
  void LineLost(std::uint64_t connection);

  // --- events ---
  TLaserNotify OnConnectFail;
  // Watched like OnReceive: with no handler a command costs no hand-over to the UI thread.
  TWatchedHandler<TNotifyStr> OnSend;
  // The receiving thread hands a chunk over only while a handler is assigned.
  TWatchedHandler<TNotifyStr> OnReceive;
  TNotifyStr OnMointorError;
  TNotifyLaserError OnLaserError;
  TNotifyCommandError OnCommandError;
  TNotifyCommandError OnCommandTimeout;
  TNotifyCommandReport OnCommandReport;
  // The line is out of step (a reply wait ran out): the engine writes one of its own reads, buf,
  // whose reply tells when the line is in step again. Watched: no hand-over without a handler.
  TWatchedHandler<TNotifyStr> OnResync;
  TLaserNotify OnClearError;
  TLaserNotify OnClearedError;
  TLaserNotify OnReset;
  TLaserNotify OnReseted;
  TNotifyOnOff OnLaserON;
  TNotifySN OnSN;
  TNotifySN OnQXCSN;
  TLaserNotify OnSNMismatch;
  TNotifyFloatEx OnCurrent;
  TNotifyFloatEx OnMaxCurrent;
  TNotifyFloatEx OnFrequency;
  TNotifyFloatEx OnTemperature;
  TNotifyFloatEx OnHumidity;
  TNotifyTriggerMode OnTriggerMode;
  TNotifyRunningTime OnRunningTime;
  TNotifyFloat OnFlowRate;
  TNotifyFloat OnSeederFrequency;
  TNotifyFloat OnPulsePickerCount;
  TNotifyFloat OnPulsePickerNumber;
  TNotifyFloat OnNominalRegulatorLevel;
  TNotifyFloat OnActualRegulatorLevel;
  TNotifyOnOff OnRegualtorState;
  TNotifyStrEx OnCustomizedCmd;

 protected:
  void PortClosed() override;

 private:
  // Counts one failure of (kind, branch); the lock keeps the two counters and the list of
  // failed pairs consistent between the matching thread and the UI thread.
  void CountFailure(TLaserCommand ID, std::uint8_t SubID);
  void CountUnknownFailure();
  // A timeout or refusal of the command Text: counted, then raised through Event.
  void RaiseFailure(const std::string& Text, const TNotifyCommandError& Event);
  void Ended(const TWrittenCommand& Command, TCommandOutcome Outcome, const TLaserMsg& Groups);
  void ClearRxBuffer();
  // Starts a clear-error or reset phase that `timeout` ends unless something else does first.
  void BeginPhase(void (TLaser::*timeout)());
  void PhaseEnded();

  const TLaserTiming FTiming;
  TSynchronizer FSync;
  std::mutex FWriteLock;
  std::atomic<std::uint64_t> FConnection{0};
  TEvent InputWakeEvent{true, false};
  TEvent ReplyEvent{true, false};
  TEvent ErrorReplyEvent{true, false};
  TEvent LineEvent{false, false};
  TReceiveText FRx;
  TSharedReplyBook FBook;

  std::mutex FFailureLock;
  TCommandList FailedCommands;
  std::atomic<std::uint8_t> FCommandErrors{0};
  std::atomic<std::uint8_t> FVariousCommandErrors{0};

  TStrQueue CommandQueue;
  TCommandList FCommandList;
  // What the requests queued now are for (TRequestScope); UI thread.
  TOrigin FOrigin = TOrigin::Operator;
  TPriority FPriority = TPriority::Normal;
  TCommandDone FDone;
  bool FRefreshOpen = false;  // the refresh round of the open scope may queue its reads
  bool FEnding = false;       // being destroyed: commands cut short are told to nobody

  std::unique_ptr<TOutputMonitor> OutputMonitor;
  std::unique_ptr<TBufferMonitor> BufferMonitor;
  std::unique_ptr<TInputMonitor> InputMonitor;
  std::unique_ptr<TInnerTimer> Timer;

  std::atomic<bool> FReseting{false};
  void (TLaser::*FPhaseEnd)() = nullptr;  // how the running phase ends when the port closes
  std::uint32_t FRunningTime = 0;
  double FSeederFrequency = 1.0;
  std::uint16_t FSN = 0;
  int FQXCSN = 0;
  double FMaxCurrent[2] = {0, 0};
};
