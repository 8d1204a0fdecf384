#include "laser/Threads.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "laser/QNLaser.h"

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The digit run that starts at the second character, leading zeros skipped unless it is all
// zeros.
std::string_view DigitRun(std::string_view text) {
  std::size_t end = 1;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  std::string_view run = text.substr(1, end - 1);
  const std::size_t nonZero = run.find_first_not_of('0');
  return nonZero == std::string_view::npos ? run : run.substr(nonZero);
}

}  // namespace

bool SameCommand(const std::string& first, const std::string& second) {
  if (&first == &second || (first.empty() && second.empty())) return true;
  if (first.empty() || second.empty()) return false;
  const char a = UpperAscii(first[0]);
  const char b = UpperAscii(second[0]);
  if (a < 'A' || a > 'Z' || a != b) return false;
  return DigitRun(first) == DigitRun(second);
}

// ---------------------------------------------------------------- TStrQueue

void TStrQueue::Push(std::string_view text, int commandIndex) {
  const std::string_view trimmed = TrimBlanks(text);
  if (trimmed.empty()) return;
  TQueueItem item{commandIndex, ShortString(trimmed), false, 0};
  {
    std::lock_guard lock(FLock);
    item.Serial = FNextSerial++;
    FItems.push_back(std::move(item));
    FCount.store(static_cast<int>(FItems.size()));
  }
  Changed();
}

std::optional<TQueueItem> TStrQueue::Peek() const {
  std::lock_guard lock(FLock);
  if (FItems.empty()) return std::nullopt;
  return FItems.front();
}

void TStrQueue::Pop() {
  {
    std::lock_guard lock(FLock);
    if (FItems.empty()) return;
    FItems.pop_front();
    FCount.store(static_cast<int>(FItems.size()));
  }
  Changed();
}

void TStrQueue::Clear() {
  std::deque<TQueueItem> items;
  {
    std::lock_guard lock(FLock);
    items.swap(FItems);
    FCount.store(0);
  }
  // freed here, outside the lock: a long queue must not hold up the other threads
}

void TStrQueue::PopIf(std::uint64_t serial) {
  {
    std::lock_guard lock(FLock);
    if (FItems.empty() || FItems.front().Serial != serial) return;
    FItems.pop_front();
    FCount.store(static_cast<int>(FItems.size()));
  }
  Changed();
}

bool TStrQueue::IsHead(std::uint64_t serial) const {
  std::lock_guard lock(FLock);
  return !FItems.empty() && FItems.front().Serial == serial;
}

void TStrQueue::MarkSent(std::uint64_t serial) {
  std::lock_guard lock(FLock);
  if (!FItems.empty() && FItems.front().Serial == serial) FItems.front().Sent = true;
}

void TStrQueue::MarkLate(std::uint64_t serial) {
  std::lock_guard lock(FLock);
  if (!FItems.empty() && FItems.front().Serial == serial) FItems.front().Late = true;
}

void TStrQueue::SignalIfHead(std::uint64_t serial, TEvent& event) {
  std::lock_guard lock(FLock);
  if (!FItems.empty() && FItems.front().Serial == serial) event.Set();
}

void TStrQueue::Changed() {
  if (OnChange) OnChange(this);
}

// ---------------------------------------------------------------- TMonitorThread

TMonitorThread::TMonitorThread(TLaser* laser, const char* className)
    : Laser(laser), FClassName(className) {}

TMonitorThread::~TMonitorThread() {
  if (FThread.joinable()) {
    Stop();
    Join();
  }
}

void TMonitorThread::Launch() {
  FThread = std::thread([this] {
    try {
      Execute();
    } catch (const std::exception& e) {
      ErrorCode = 0;
      ErrorMessage = e.what();
      Synchronize([this] { ReportError(); });
    }
  });
}

void TMonitorThread::Resume() {
  RunEvent.Set();
}

void TMonitorThread::Pause() {
  RunEvent.Reset();
}

void TMonitorThread::Stop() {
  FTerminated.store(true, std::memory_order_release);
  RunEvent.Set();
}

void TMonitorThread::Join() {
  if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id()) return;
  try {
    FThread.join();
  } catch (const std::system_error& e) {
    // Destructors must not throw: tell the program and leave the thread to the process.
    if (Laser && Laser->OnMointorError) {
      Laser->OnMointorError(Laser, std::string("Thread Error occured in ") + FClassName);
    }
    FThread.detach();
  }
}

void TMonitorThread::WaitRun() {
  // A thread may pause itself just after Stop signalled it; the flag, set before that signal,
  // still ends the wait.
  if (Terminated()) return;
  if (TEvent::WaitForAny({&RunEvent}, -1) == 0) return;
  ErrorCode = LastSystemError();
  ErrorMessage = SystemErrorText(ErrorCode);
  Synchronize([this] { ReportError(); });
  // A wait that keeps failing must not turn into a busy loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void TMonitorThread::ReportError() {
  if (!Laser || !Laser->OnMointorError) return;
  char text[512];
  std::snprintf(text, sizeof text, "%s failed with error %d: %s", FClassName, ErrorCode,
                ErrorMessage.c_str());
  Laser->OnMointorError(Laser, text);
}

void TMonitorThread::Synchronize(const std::function<void()>& fn) {
  Laser->Synchronizer().Synchronize(fn);
}

void TMonitorThread::ReportErrorCode(std::uint8_t code) {
  if (Laser->Reseting()) Synchronize([this] { Laser->ResetDone(); });
  Synchronize([this, code] {
    if (Laser->OnLaserError) Laser->OnLaserError(Laser, code);
  });
}

// ---------------------------------------------------------------- TOutputMonitor

TOutputMonitor::TOutputMonitor(TLaser* laser, TStrQueue& queue)
    : TMonitorThread(laser, "TOutputMonitor"), Queue(queue) {}

void TOutputMonitor::Stop() {
  TMonitorThread::Stop();
  Laser->ErrorReplyEvent.Set();  // ends a reply wait at once
}

void TOutputMonitor::SetSpecialCommands(const std::string* clearError,
                                        const std::string* readErrorCode,
                                        const std::string* reset) {
  std::lock_guard lock(FSlotLock);
  if (clearError) FClearErrorCmd = *clearError;
  if (readErrorCode) FReadErrorCodeCmd = *readErrorCode;
  if (reset) FResetCmd = *reset;
}

std::string TOutputMonitor::ClearErrorCmd() const {
  std::lock_guard lock(FSlotLock);
  return FClearErrorCmd;
}

std::string TOutputMonitor::ReadErrorCodeCmd() const {
  std::lock_guard lock(FSlotLock);
  return FReadErrorCodeCmd;
}

std::string TOutputMonitor::ResetCmd() const {
  std::lock_guard lock(FSlotLock);
  return FResetCmd;
}

void TOutputMonitor::Execute() {
  WaitRun();
  if (Terminated()) return;
  TOverlappedPtr overlapped = NewOverlapped();
  while (!Terminated()) {
    // A close empties the queue itself (TLaser::PortClosed); emptying it here could also take
    // what was queued after a reopen.
    if (!Laser->Connected() || Queue.Count() == 0) {
      Pause();
      // A command pushed between the test and the pause must not wait for the next one.
      if (Laser->Connected() && Queue.Count() > 0) Resume();
    } else if (std::optional<TQueueItem> item = Queue.Peek()) {
      SendItem(*item, *overlapped);
    }
    WaitRun();
  }
  FreeOverlapped(overlapped);
}

void TOutputMonitor::DropStaleInput() {
  const auto staleAfter = std::chrono::milliseconds(Laser->Timing().StaleInputMs);
  bool found = false;
  {
    std::lock_guard lock(Laser->BufferLock);
    std::string& rx = Laser->RxBuffer;
    const std::size_t lastLine = rx.rfind("\r\n");
    const std::size_t tail = lastLine == std::string::npos ? 0 : lastLine + 2;
    // Text still growing, or with bytes still in the driver, may be a line on its way (an error
    // line most likely) and stays.
    if (tail >= rx.size() || std::chrono::steady_clock::now() - Laser->RxLastAppend < staleAfter ||
        Laser->InputWaiting() > 0) {
      return;
    }
    // An error line ended by a lone CR was only waiting for an LF that will not come now.
    found = Laser->InputMonitor->ScanErrorLines(rx, true);
    const std::size_t end = rx.rfind("\r\n");
    rx.erase(end == std::string::npos ? 0 : end + 2);
  }
  if (found) ReportErrorCode(Laser->InputMonitor->LastErrorCode());
}

void TOutputMonitor::SendItem(const TQueueItem& item, TOverlapped& overlapped) {
  Laser->ReplyEvent.Reset();
  Laser->ErrorReplyEvent.Reset();
  const std::string clearErrorCmd = ClearErrorCmd();
  const bool clearError = SameCommand(item.Text, clearErrorCmd);
  // The error-code read is not waited for: its answer is the laser's error-code lines, which the
  // receiving thread takes out of the input, and the next command follows at once.
  const bool waited = !SameCommand(item.Text, ReadErrorCodeCmd());
  // The clear-error phase begins before its command goes out, so that a READY sent at once finds
  // it running. (A close before the write ends it again.)
  if (clearError) {
    Synchronize([&] {
      if (Laser->Connected() && Queue.IsHead(item.Serial)) Laser->BeginClearError();
    });
  }
  DropStaleInput();
  std::uint64_t connection = 0;
  {
    std::lock_guard lock(Laser->FWriteLock);
    // A close since the command was queued emptied the queue: it is never written.
    if (!Laser->Connected() || !Queue.IsHead(item.Serial)) return;
    connection = Laser->Connection();
    // Marked before the write: a fast reply must find its command pending.
    Queue.MarkSent(item.Serial);
    if (!waited) Laser->AddUnanswered(item);
    Laser->WriteString(item.Text + "\r", overlapped);
  }
  std::uint32_t written = 0;
  if (!Laser->GetOverlappedResult(overlapped, written) && Laser->LineFailed()) {
    Synchronize([&] { Laser->LineLost(connection); });
    return;
  }
  if (Laser->OnSend.Assigned()) {
    Synchronize([&] {
      if (Laser->OnSend) Laser->OnSend(Laser, item.Text);
    });
  }
  if (!waited) {
    Queue.PopIf(item.Serial);
    return;
  }
  const std::initializer_list<TEvent*> answers = {&Laser->ReplyEvent, &Laser->ErrorReplyEvent};
  int which = TEvent::WaitForAny(answers, Laser->Timing().ReplyTimeoutMs);
  if (Terminated()) return;
  // Each failure is raised only if the command is still the head, looked at on the UI thread,
  // where a close runs: a command that a close forgot raises nothing, and leaves no failure
  // behind for the next connection.
  if (which == -1 && Laser->TakeHeldError(item.Serial)) {
    // No reply followed the ERROR held back for this command: its error-code read said nothing,
    // and the ERROR was this command's refusal.
    Synchronize([&] {
      if (Queue.IsHead(item.Serial)) Laser->CommandRefused(item.Text);
    });
    which = 1;
  } else if (which == -1) {
    // Replies come in the order of the commands, so a reply that comes now is this command's,
    // however well it would fit the next one. The line is kept for it a little longer.
    Queue.MarkLate(item.Serial);
    Synchronize([&] {
      if (Queue.IsHead(item.Serial)) Laser->CommandTimeout(item.Text);
    });
    which = TEvent::WaitForAny(answers, Laser->Timing().LateReplyMs);
    if (Terminated()) return;
    // A late refusal held back for it is dropped: the timeout has been counted.
    if (which == -1) Laser->TakeHeldError(item.Serial);
  }
  if (which == 1 && clearError) {
    Synchronize([&] {
      if (Queue.IsHead(item.Serial)) Laser->ClearErrorRefused();
    });
  }
  // An error-code read written before this command cannot be answered after it.
  Laser->SettleUnanswered(item.Serial);
  Queue.PopIf(item.Serial);
}

// ---------------------------------------------------------------- TInputMonitor

TInputMonitor::TInputMonitor(TLaser* laser) : TMonitorThread(laser, "TInputMonitor") {}

// The wake event is reset by the thread itself at the top of its loop, not here: a close and a
// quick reopen would otherwise withdraw the pause signal before the thread saw it, and leave it
// waiting on the old line.
void TInputMonitor::Resume() {
  TMonitorThread::Resume();
}

void TInputMonitor::Pause() {
  TMonitorThread::Pause();
  Laser->InputWakeEvent.Set();
}

void TInputMonitor::Stop() {
  TMonitorThread::Stop();
  Laser->InputWakeEvent.Set();
}

void TInputMonitor::PauseAndRecheck() {
  TMonitorThread::Pause();
  // An Open between the test and the pause resumed us already; its signal must not be lost.
  // (A Disconnect after that Open closed the port first, so the test sees it closed.)
  if (Laser->Connected()) TMonitorThread::Resume();
}

bool TInputMonitor::ScanErrorLines(std::string& buffer, bool finalCr) {
  if (Terminated()) return false;
  bool found = false;
  FErrorLines.Scan(buffer, finalCr, [&](std::string_view, int code, bool errorBefore) {
    if (!Laser->ReportedErrors.test(static_cast<std::size_t>(code))) {
      FLastErrorCode = static_cast<std::uint8_t>(code);
      Laser->ReportedErrors.set(static_cast<std::size_t>(code));
      found = true;
    }
    // Error lines answer an error-code read written before them, which is then refused no more:
    // an ERROR after them is another command's. Not so an ERROR still ahead of them in the text,
    // which came first and may be that read's.
    if (!errorBefore) Laser->SettleUnanswered(UINT64_MAX);
    return !Terminated();
  });
  return found;
}

void TInputMonitor::Execute() {
  WaitRun();
  if (Terminated()) return;
  TOverlappedPtr overlapped = NewOverlapped();
  char chunk[128];
  while (!Terminated()) {
    // Consumed before the state is looked at: a pause signalled after this still ends the wait
    // below, and one signalled before it is seen here.
    Laser->InputWakeEvent.Reset();
    if (!Running()) {
      WaitRun();
      continue;
    }
    if (!Laser->Connected()) {
      PauseAndRecheck();
      WaitRun();
      continue;
    }
    const std::uint64_t connection = Laser->Connection();
    const TWaitHandle wake = Laser->InputWakeEvent.Handle();
    const TWaitResult ready = Laser->WaitReceive(*overlapped, wake);
    if (ready == TWaitResult::Failed) {
      if (Laser->Connected() && Laser->Connection() == connection) {
        if (Laser->LineFailed()) {
          // The device has gone (unplugged, or the far end closed): the laser closes the port
          // and tells the program, which then opens it afresh.
          Synchronize([this, connection] { Laser->LineLost(connection); });
        } else {
          // A close under way, or a wait the system refused: not worth a busy loop.
          Laser->InputWakeEvent.Wait(10);
        }
      }
      continue;
    }
    if (ready != TWaitResult::Input) continue;
    Laser->ReadBytes(chunk, sizeof chunk, *overlapped);
    std::uint32_t n = 0;
    if (!Laser->Connected() || !Laser->WaitComplete(*overlapped, wake) ||
        !Laser->GetOverlappedResult(*overlapped, n) || n == 0) {
      continue;  // a read that found the end of the line: the next wait reports it
    }
    const std::string received(chunk, n);
    bool found = false;
    {
      std::lock_guard lock(Laser->BufferLock);
      std::string& rx = Laser->RxBuffer;
      AppendUpper(rx, received);
      Laser->RxLastAppend = std::chrono::steady_clock::now();
      found = ScanErrorLines(rx);
      if (CapReceiveText(rx)) ++Laser->RxEpoch;
    }
    if (found) ReportErrorCode(FLastErrorCode);
    Laser->BufferMonitor->Resume();
    // Only with a handler: a hand-over to a busy UI thread holds up the reading of the rest of a
    // reply, and the program has no handler while its console is hidden.
    if (Laser->OnReceive.Assigned()) {
      Synchronize([this, &received] {
        if (Laser->OnReceive) Laser->OnReceive(Laser, received);
      });
    }
  }
  FreeOverlapped(overlapped);
}

// ---------------------------------------------------------------- TInnerTimer

TInnerTimer::TInnerTimer(TLaser* laser) : TMonitorThread(laser, "TInnerTimer") {}

void TInnerTimer::Pause() {
  TMonitorThread::Pause();
  WakeEvent.Set();
}

void TInnerTimer::Stop() {
  TMonitorThread::Stop();
  WakeEvent.Set();
}

void TInnerTimer::Start(std::uint32_t ms) {
  SetInterval(ms);
  WakeEvent.Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TMonitorThread::Resume();
}

void TInnerTimer::Execute() {
  while (!Terminated()) {
    WaitRun();
    if (Terminated()) break;
    const int woken = TEvent::WaitForAny({&WakeEvent}, static_cast<int>(FInterval.load()));
    if (woken == -1 && !Terminated()) {
      Synchronize([this] {
        if (OnTimer) OnTimer();
      });
      Pause();
    }
  }
}
