#include "laser/QNLaser.h"

#include <charconv>
#include <utility>

TLaser::TLaser(TLaserTiming timing) : FTiming(timing) {
  BufferMonitor = std::make_unique<TBufferMonitor>(this);
  InputMonitor = std::make_unique<TInputMonitor>(this);
  OutputMonitor = std::make_unique<TOutputMonitor>(this, CommandQueue);
  CommandQueue.OnChange = [this](TStrQueue*) { QueueChanged(); };
  Timer = std::make_unique<TInnerTimer>(this);
  Timer->SetInterval(FTiming.PhaseMs);
  Timer->OnTimer = [this] { ResetTimeout(); };
  LoadInitialCommands(FCommandList);
  FCommandList.OnChange = [this](TCommandList*) { CommandListChanged(); };
  BufferMonitor->Launch();
  InputMonitor->Launch();
  OutputMonitor->Launch();
  Timer->Launch();
}

TLaser::~TLaser() {
  Timer->Stop();
  BufferMonitor->Stop();
  OutputMonitor->Stop();
  InputMonitor->Stop();
  // A worker blocked in a hand-over is released without its call running: the program that
  // handled our events may already be going away.
  FSync.Shutdown();
  Timer->Join();
  BufferMonitor->Join();
  OutputMonitor->Join();
  InputMonitor->Join();
  CommandQueue.OnChange = nullptr;
  FCommandList.OnChange = nullptr;
  Close();  // here, while the whole object still exists for an OnDisconnect handler
}

// ---------------------------------------------------------------- connection

bool TLaser::Open() {
  // A device that has gone away is given up first and opened afresh: an open port on a dead
  // handle would take every command and answer none.
  if (Connected() && LineFailed()) Disconnect();
  TNotifyEvent connect = std::exchange(OnConnect, nullptr);
  TComPort::Open();
  OnConnect = std::move(connect);
  if (Connected()) {
    InputMonitor->Resume();
    if (OnConnect) OnConnect(this);
    return true;
  }
  if (OnConnectFail) OnConnectFail(this);
  return false;
}

bool TLaser::Disconnect() {
  const bool closed = Close();
  if (closed) {
    InputMonitor->Pause();
    ClearCommandErrors();
    ClearRxBuffer();
  }
  return closed;
}

// Every close, whoever asks for it: the commands not yet written never will be, the one written
// ends without a failure, a running phase ends with its end event, and what the workers still
// hold of this connection is dropped (they compare Connection()).
void TLaser::PortClosed() {
  {
    std::lock_guard lock(FWriteLock);
    FConnection.fetch_add(1, std::memory_order_acq_rel);
    CommandQueue.Clear();
  }
  {
    std::lock_guard lock(FUnansweredLock);
    FUnanswered.clear();
    FHeldError.reset();
  }
  ErrorReplyEvent.Set();  // ends the sender's reply wait now; it finds its command gone
  if (Reseting() && FPhaseEnd) (this->*FPhaseEnd)();
}

void TLaser::LineLost(std::uint64_t connection) {
  if (connection != Connection() || !Connected()) return;
  Disconnect();
}

void TLaser::AddUnanswered(const TQueueItem& item) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(FTiming.ReplyTimeoutMs + FTiming.LateReplyMs);
  std::lock_guard lock(FUnansweredLock);
  FUnanswered.push_back({item.Serial, item.Text, item.CommandIndex, until});
}

std::optional<TUnanswered> TLaser::TakeUnanswered() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(FUnansweredLock);
  while (!FUnanswered.empty() && FUnanswered.front().Until < now) FUnanswered.pop_front();
  if (FUnanswered.empty()) return std::nullopt;
  TUnanswered first = std::move(FUnanswered.front());
  FUnanswered.pop_front();
  return first;
}

void TLaser::SettleUnanswered(std::uint64_t before) {
  std::lock_guard lock(FUnansweredLock);
  while (!FUnanswered.empty() && FUnanswered.front().Serial < before) FUnanswered.pop_front();
}

void TLaser::HoldError(TUnanswered read, std::uint64_t pending) {
  std::lock_guard lock(FUnansweredLock);
  FHeldError = THeldError{std::move(read), pending};
}

std::optional<TUnanswered> TLaser::TakeHeldError(std::uint64_t pending) {
  std::lock_guard lock(FUnansweredLock);
  if (!FHeldError || FHeldError->For != pending) return std::nullopt;
  TUnanswered read = std::move(FHeldError->Read);
  FHeldError.reset();
  return read;
}

void TLaser::ClearRxBuffer() {
  std::lock_guard lock(BufferLock);
  RxBuffer.clear();
  ++RxEpoch;
}

std::string TLaser::RxText() const {
  std::lock_guard lock(BufferLock);
  return RxBuffer;
}

double TLaser::MaxCurrent(int Branch) const {
  return (Branch == 1 || Branch == 2) ? FMaxCurrent[Branch - 1] : 0.0;
}

// ---------------------------------------------------------------- sending

void TLaser::SendCommand(TLaserCommand ID, std::uint8_t SubID, std::string_view Param) {
  const int index = FCommandList.IndexOf(ID, SubID);
  if (index < 0) return;
  std::string text = FCommandList.Items(index).Command;
  if (!Param.empty()) {
    text += ' ';
    text += Param;
    text = ShortString(text);
  }
  SendRaw(text, index);
}

void TLaser::SendValue(TLaserCommand ID, std::uint8_t SubID, double Value) {
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, 2);
  if (ec != std::errc()) return;  // no finite value this large is ever sent
  SendCommand(ID, SubID, std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
}

void TLaser::SendRaw(std::string_view Text, int Index) {
  if (Connected()) CommandQueue.Push(Text, Index);
}

void TLaser::ReadErrorCode() {
  {
    std::lock_guard lock(BufferLock);
    ReportedErrors.reset();
  }
  SendCommand(lcReadErrorCode, 0, "");
}

void TLaser::SetTriggerMode(std::uint8_t Mode, std::uint8_t Branch) {
  const TLaserCommand kind = Mode == 0 ? lcSetInternal : Mode == 1 ? lcSetExternal : lcSetCW;
  SendCommand(kind, Branch, "");
}

// ---------------------------------------------------------------- worker callbacks

void TLaser::QueueChanged() {
  if (OutputMonitor && Connected() && CommandQueue.Count() > 0) OutputMonitor->Resume();
}

void TLaser::CommandListChanged() {
  if (!OutputMonitor) return;
  const std::string* clearError = nullptr;
  const std::string* readErrorCode = nullptr;
  const std::string* reset = nullptr;
  const TCommandList::TSnapshot snapshot = FCommandList.Snapshot();
  for (const TCommandSyntax& entry : *snapshot) {
    if (entry.ID == lcClearError) clearError = &entry.Command;
    if (entry.ID == lcReadErrorCode) readErrorCode = &entry.Command;
    if (entry.ID == lcReset) reset = &entry.Command;
  }
  OutputMonitor->SetSpecialCommands(clearError, readErrorCode, reset);
}

void TLaser::BeginPhase(void (TLaser::*timeout)()) {
  FReseting = true;
  FPhaseEnd = timeout;
  {
    std::lock_guard lock(BufferLock);
    ReportedErrors.reset();
  }
  Timer->OnTimer = [this, timeout] { (this->*timeout)(); };
  Timer->Start(0);
}

void TLaser::BeginClearError() {
  BeginPhase(&TLaser::ClearErrorTimeout);
  if (OnClearError) OnClearError(this);
}

void TLaser::BeginReset() {
  BeginPhase(&TLaser::ResetTimeout);
  if (OnReset) OnReset(this);
}

// The ends of a phase raise their event only while the phase runs: the same end may be reported
// by several threads, or come after a close has ended the phase.
void TLaser::ClearErrorRefused() {
  if (!Reseting()) return;
  FReseting = false;
  if (OnClearedError) OnClearedError(this);
  Timer->Pause();
}

void TLaser::ResetDone() {
  if (!Reseting()) return;
  FReseting = false;
  if (OnReseted) OnReseted(this);
  Timer->Pause();
}

void TLaser::ClearErrorTimeout() {
  Timer->Pause();
  if (Reseting()) {
    FReseting = false;
    if (OnClearedError) OnClearedError(this);
  }
}

void TLaser::ResetTimeout() {
  Timer->Pause();
  if (Reseting()) {
    FReseting = false;
    if (OnReseted) OnReseted(this);
  }
}

namespace {
std::uint8_t Increment(std::uint8_t value) {
  return value == 255 ? 255 : value + 1;
}
}  // namespace

void TLaser::CountFailure(TLaserCommand ID, std::uint8_t SubID) {
  std::lock_guard lock(FFailureLock);
  FCommandErrors = Increment(FCommandErrors);
  if (FailedCommands.IndexOf(ID, SubID) < 0) {
    FailedCommands.Add(ID, SubID, "", "", {-1, 0}, "");
    FVariousCommandErrors = Increment(FVariousCommandErrors);
  }
}

void TLaser::CommandTimeout(const std::string& Text) {
  RaiseFailure(Text, OnCommandTimeout);
}

void TLaser::CommandRefused(const std::string& Text) {
  RaiseFailure(Text, OnCommandError);
}

void TLaser::RaiseFailure(const std::string& Text, const TNotifyCommandError& Event) {
  const int index = FCommandList.IndexOfCommand(Text);
  if (index < 0) {
    std::lock_guard lock(FFailureLock);
    FCommandErrors = Increment(FCommandErrors);
    return;
  }
  const TCommandSyntax cmd = FCommandList.Items(index);
  CountFailure(cmd.ID, cmd.SubID);
  if (HandleCommandFailure(cmd) && Event) Event(this, cmd.ID, cmd.SubID, ShortString(Text));
}

bool TLaser::HandleCommandFailure(const TCommandSyntax&) {
  return true;
}

void TLaser::ClearCommandErrors() {
  std::lock_guard lock(FFailureLock);
  FailedCommands.Clear();
  FCommandErrors = 0;
  FVariousCommandErrors = 0;
}
