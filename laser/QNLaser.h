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
#include <string>
#include <string_view>
#include <type_traits>

#include "laser/Commands.h"
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
  // A command that timed out keeps the line this much longer: a reply that comes meanwhile is its
  // late reply (delivered as its own when it fits its pattern, dropped otherwise), never the
  // reply of the command written next.
  int LateReplyMs = 300;
  // Received text that ends no line and has not grown for this long is thrown away before the
  // next command is written: nothing sent later can complete it into a reply.
  int StaleInputMs = 50;
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
  void SendCommand(TLaserCommand ID, std::uint8_t SubID, std::string_view Param);
  void SendValue(TLaserCommand ID, std::uint8_t SubID, double Value);
  void SendParam(TLaserCommand ID, std::string_view Param) { SendCommand(ID, 0, Param); }
  void SendRaw(std::string_view Text, int Index);

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
  int QueueCount() const { return CommandQueue.Count(); }
  std::string RxText() const;  // what was received and not yet consumed
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
  // The command sent as Text was refused; raised by the sending thread when an ERROR held back
  // for it turned out to be its own (see THeldError).
  void CommandRefused(const std::string& Text);
  bool HandleCommandFailure(const TCommandSyntax& Cmd);
  void ClearCommandErrors();  // any thread
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
  friend class TOutputMonitor;
  friend class TInputMonitor;
  friend class TBufferMonitor;

  void AddUnanswered(const TQueueItem& item);
  std::optional<TUnanswered> TakeUnanswered();
  void SettleUnanswered(std::uint64_t before);
  // An ERROR that came while both an unanswered error-code read and a later command `For` were
  // waiting: the read's refusal, or (when the read said nothing) that command's. The command's
  // own reply after it decides for the read, its silence for the command.
  struct THeldError {
    TUnanswered Read;
    std::uint64_t For = 0;
  };
  void HoldError(TUnanswered read, std::uint64_t pending);
  std::optional<TUnanswered> TakeHeldError(std::uint64_t pending);

  // Counts one failure of (kind, branch); the lock keeps the two counters and the list of
  // failed pairs consistent between the matching thread and the UI thread.
  void CountFailure(TLaserCommand ID, std::uint8_t SubID);
  // A timeout or refusal of the command Text: counted, then raised through Event.
  void RaiseFailure(const std::string& Text, const TNotifyCommandError& Event);
  void ClearRxBuffer();
  // Starts a clear-error or reset phase that `timeout` ends unless something else does first.
  void BeginPhase(void (TLaser::*timeout)());

  const TLaserTiming FTiming;
  TSynchronizer FSync;
  // Held by the sending thread while it writes, and by a close while it empties the queue: a
  // command is written on the connection it was queued for, or never.
  std::mutex FWriteLock;
  std::atomic<std::uint64_t> FConnection{0};
  std::mutex FUnansweredLock;
  std::deque<TUnanswered> FUnanswered;
  std::optional<THeldError> FHeldError;
  TEvent InputWakeEvent{true, false};
  TEvent ReplyEvent{true, false};
  TEvent ErrorReplyEvent{true, false};

  // Receive text and the error codes already reported, guarded by BufferLock.
  mutable std::mutex BufferLock;
  std::string RxBuffer;
  std::uint64_t RxEpoch = 0;  // counts the times the receive text was emptied from outside
  std::chrono::steady_clock::time_point RxLastAppend;  // when the receive text last grew
  std::bitset<104> ReportedErrors;

  std::mutex FFailureLock;
  TCommandList FailedCommands;
  std::atomic<std::uint8_t> FCommandErrors{0};
  std::atomic<std::uint8_t> FVariousCommandErrors{0};

  TStrQueue CommandQueue;
  TCommandList FCommandList;

  std::unique_ptr<TBufferMonitor> BufferMonitor;
  std::unique_ptr<TInputMonitor> InputMonitor;
  std::unique_ptr<TOutputMonitor> OutputMonitor;
  std::unique_ptr<TInnerTimer> Timer;

  std::atomic<bool> FReseting{false};
  void (TLaser::*FPhaseEnd)() = nullptr;  // how the running phase ends when the port closes
  std::uint32_t FRunningTime = 0;
  double FSeederFrequency = 1.0;
  std::uint16_t FSN = 0;
  int FQXCSN = 0;
  double FMaxCurrent[2] = {0, 0};
};
