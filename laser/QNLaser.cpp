#include "laser/QNLaser.h"

#include <charconv>
#include <utility>

#include "laser/Text.h"

TLaser::TLaser(TLaserTiming timing) : FTiming(timing) {
  const TWorkerShared shared{
      CommandQueue, FRx, FBook, FWriteLock, ReplyEvent, ErrorReplyEvent, InputWakeEvent, LineEvent};
  OutputMonitor = std::make_unique<TOutputMonitor>(this, shared);
  BufferMonitor = std::make_unique<TBufferMonitor>(this, shared, *OutputMonitor);
  InputMonitor = std::make_unique<TInputMonitor>(this, shared, *BufferMonitor);
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
  // Whoever asked to be told how a command ends may be gone already: nothing more is told.
  FEnding = true;
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

// Every close, whoever asks for it: the commands not yet written never will be, the ones written
// end without a failure, a running phase ends with its end event, and what the workers still
// hold of this connection is dropped (they compare Connection()). The operator hears of every
// command of theirs that this cut short.
void TLaser::PortClosed() {
  std::deque<TQueueItem> unsent;
  std::vector<TWrittenCommand> written;
  {
    std::lock_guard lock(FWriteLock);
    FConnection.fetch_add(1, std::memory_order_acq_rel);
    unsent = CommandQueue.TakeAll();
    written = FBook.With([](TReplyBook& b) { return b.Clear(); });
  }
  ErrorReplyEvent.Set();  // ends the sender's reply wait now; it finds its command gone
  LineEvent.Set();
  if (Reseting() && FPhaseEnd) (this->*FPhaseEnd)();
  CommandsLost(written);
  CommandsNotSent(unsent);
}

void TLaser::LineLost(std::uint64_t connection) {
  if (connection != Connection() || !Connected()) return;
  Disconnect();
}

void TLaser::ClearRxBuffer() {
  FRx.Clear();
}

std::string TLaser::RxText() const {
  return FRx.Text();
}

int TLaser::QueueCount() const {
  // Under the book's lock, which the sender holds while it moves a command from the queue to
  // the book: counted once, never twice.
  return FBook.With([this](const TReplyBook& b) { return CommandQueue.Count() + b.Unsettled(); });
}

bool TLaser::InStep() const {
  return FBook.With([](const TReplyBook& b) { return b.InStep(); });
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

bool TLaser::SendRaw(std::string_view Text, int Index) {
  if (!Connected()) return false;
  if (FOrigin == TOrigin::Refresh && !FRefreshOpen) return false;  // the last round is not through
  const std::string_view trimmed = text::TrimControls(Text);
  if (trimmed.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
  TQueueItem item;
  item.CommandIndex = Index;
  item.Text = std::string(Text);
  item.Origin = FOrigin;
  item.Priority = FOrigin == TOrigin::Refresh ? TPriority::Refresh : FPriority;
  item.Done = FDone;
  item.Connection = Connection();
  // The entry its reply is matched with, as the table is now: the one named, or for a typed
  // text the one whose command it is.
  int index = Index;
  if (index < 0 || index >= FCommandList.Count()) index = FCommandList.IndexOfCommand(trimmed);
  if (index >= 0) {
    item.Entry = std::make_shared<const TCommandSyntax>(FCommandList.Items(index));
  }
  if (IsLaserOff(trimmed)) {
    item.Priority = TPriority::Urgent;
    item.Bypass = true;
    // Going first, it must not let an earlier Laser ON still waiting switch the laser on after
    // it: the operator's last word was OFF.
    CommandQueue.Push(std::move(item));
    CommandsNotSent(CommandQueue.TakeIf([this](const TQueueItem& i) { return IsLaserOn(i.Text); }),
                    TCommandOutcome::Cancelled);
    return true;
  }
  return CommandQueue.Push(std::move(item));
}

namespace {

// The parameter of a status command as a number, when it is one.
std::optional<double> StatusParameter(const TCommandList& list, std::string_view text) {
  text = text::TrimControls(text);
  const int index = list.IndexOfCommand(text);
  if (index < 0 || list.Items(index).ID != lcSetStatus) return std::nullopt;
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  double value = 0;
  if (!text::ParseFloat(text::TrimControls(text.substr(space + 1)), value)) return std::nullopt;
  return value;
}

}  // namespace

bool TLaser::IsLaserOff(std::string_view Text) const {
  const std::optional<double> value = StatusParameter(FCommandList, Text);
  return value && *value == 0;
}

bool TLaser::IsLaserOn(std::string_view Text) const {
  const std::optional<double> value = StatusParameter(FCommandList, Text);
  return value && *value != 0;
}

bool TLaser::RefreshDue() const {
  return CommandQueue.Refreshes() == 0 &&
         FBook.With([](const TReplyBook& b) { return b.Refreshes() == 0; });
}

TLaser::TRequestScope::TRequestScope(TLaser& Laser, TOrigin Origin, TPriority Priority,
                                     TCommandDone Done)
    : FLaser(Laser),
      FOrigin(Laser.FOrigin),
      FPriority(Laser.FPriority),
      FDone(Laser.FDone),
      FRefreshOpen(Laser.FRefreshOpen) {
  if (Origin == TOrigin::Refresh) FLaser.FRefreshOpen = FLaser.RefreshDue();
  FLaser.FOrigin = Origin;
  FLaser.FPriority = Priority;
  FLaser.FDone = std::move(Done);
}

TLaser::TRequestScope::~TRequestScope() {
  FLaser.FOrigin = FOrigin;
  FLaser.FPriority = FPriority;
  FLaser.FDone = std::move(FDone);
  FLaser.FRefreshOpen = FRefreshOpen;
}

void TLaser::ReadErrorCode() {
  FRx.ResetReported();
  SendCommand(lcReadErrorCode, 0, "");
}

void TLaser::SetTriggerMode(std::uint8_t Mode, std::uint8_t Branch) {
  const TLaserCommand kind = Mode == 0 ? lcSetInternal : Mode == 1 ? lcSetExternal : lcSetCW;
  SendCommand(kind, Branch, "");
}

// ---------------------------------------------------------------- worker callbacks

void TLaser::QueueChanged() {
  if (OutputMonitor && Connected() && CommandQueue.Count() > 0) {
    OutputMonitor->Resume();
    LineEvent.Set();  // a Laser OFF must not wait for the end of a resynchronisation
  }
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
  FRx.ResetReported();
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
  PhaseEnded();
  if (OnClearedError) OnClearedError(this);
  Timer->Pause();
}

void TLaser::ResetDone() {
  if (!Reseting()) return;
  PhaseEnded();
  if (OnReseted) OnReseted(this);
  Timer->Pause();
}

void TLaser::ClearErrorTimeout() {
  Timer->Pause();
  if (Reseting()) {
    PhaseEnded();
    if (OnClearedError) OnClearedError(this);
  }
}

void TLaser::ResetTimeout() {
  Timer->Pause();
  if (Reseting()) {
    PhaseEnded();
    if (OnReseted) OnReseted(this);
  }
}

void TLaser::PhaseEnded() {
  FReseting = false;
  LineEvent.Set();  // the controller listens again: a line out of step can be resynchronised
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

void TLaser::CountUnknownFailure() {
  std::lock_guard lock(FFailureLock);
  FCommandErrors = Increment(FCommandErrors);
}

void TLaser::CommandTimeout(const std::string& Text) {
  RaiseFailure(Text, OnCommandTimeout);
}

void TLaser::RaiseFailure(const std::string& Text, const TNotifyCommandError& Event) {
  const int index = FCommandList.IndexOfCommand(Text);
  if (index < 0) {
    CountUnknownFailure();
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

// ---------------------------------------------------------------- how commands ended

void TLaser::Ended(const TWrittenCommand& Command, TCommandOutcome Outcome,
                   const TLaserMsg& Groups) {
  if (FEnding) return;
  if (Command.Done) Command.Done(Outcome, Groups);
  if (Command.Origin == TOrigin::Operator && Outcome != TCommandOutcome::Answered &&
      OnCommandReport) {
    OnCommandReport(this, Outcome, Command.Text);
  }
}

void TLaser::CommandAnswered(const TWrittenCommand& Command, const TLaserMsg& Groups) {
  if (Command.Entry) InterpretReply(*Command.Entry, Groups);
  Ended(Command, TCommandOutcome::Answered, Groups);
}

void TLaser::CommandRefused(const TWrittenCommand& Command) {
  if (Command.Entry) {
    const TCommandSyntax& cmd = *Command.Entry;
    CountFailure(cmd.ID, cmd.SubID);
    if (HandleCommandFailure(cmd) && OnCommandError) {
      OnCommandError(this, cmd.ID, cmd.SubID, ShortString(Command.Text));
    }
  } else {
    CountUnknownFailure();
  }
  Ended(Command, TCommandOutcome::Refused, {});
}

void TLaser::CommandTimedOut(const TWrittenCommand& Command) {
  CommandTimeout(Command.Text);
  Ended(Command, TCommandOutcome::NoReply, {});
}

void TLaser::CommandsLost(const std::vector<TWrittenCommand>& Commands) {
  for (const TWrittenCommand& c : Commands) {
    if (!c.Late && !c.Sync) Ended(c, TCommandOutcome::NoReply, {});
  }
}

void TLaser::CommandsNotSent(const std::deque<TQueueItem>& Items, TCommandOutcome Outcome) {
  for (const TQueueItem& item : Items) {
    TWrittenCommand c;
    c.Text = item.Text;
    c.Origin = item.Origin;
    c.Done = item.Done;
    Ended(c, Outcome, {});
  }
}
