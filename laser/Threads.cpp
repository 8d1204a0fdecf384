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

// The receive text is capped so that a line that never ends cannot exhaust memory.
constexpr std::size_t RxBufferLimit = 64 * 1024;

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

void TStrQueue::MarkSent(std::uint64_t serial) {
  std::lock_guard lock(FLock);
  if (!FItems.empty() && FItems.front().Serial == serial) FItems.front().Sent = true;
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
  ErrorCode = errno;
  ErrorMessage = std::strerror(ErrorCode);
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
    if (!Laser->Connected() || Queue.Count() == 0) {
      if (!Laser->Connected()) Queue.Clear();
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

void TOutputMonitor::SendItem(const TQueueItem& item, TOverlapped& overlapped) {
  Laser->ReplyEvent.Reset();
  Laser->ErrorReplyEvent.Reset();
  // Marked before the write: a fast reply must find its command pending.
  Queue.MarkSent(item.Serial);
  Laser->WriteString(item.Text + "\r", overlapped);
  Synchronize([&] {
    if (Laser->OnSend) Laser->OnSend(Laser, item.Text);
  });
  const std::string clearErrorCmd = ClearErrorCmd();
  if (SameCommand(item.Text, clearErrorCmd)) Synchronize([&] { Laser->BeginClearError(); });
  if (!SameCommand(item.Text, ReadErrorCodeCmd())) {
    const int which = TEvent::WaitForAny({&Laser->ReplyEvent, &Laser->ErrorReplyEvent},
                                         Laser->Timing().ReplyTimeoutMs);
    if (!Terminated()) {
      if (which == 0) {
        if (SameCommand(item.Text, ResetCmd())) Synchronize([&] { Laser->BeginReset(); });
      } else if (which == 1) {
        if (SameCommand(item.Text, clearErrorCmd)) {
          Synchronize([&] { Laser->ClearErrorRefused(); });
        }
      } else if (which == -1) {
        Synchronize([&] { Laser->CommandTimeout(item.Text); });
      }
    }
  }
  Queue.Pop();
}

// ---------------------------------------------------------------- TInputMonitor

TInputMonitor::TInputMonitor(TLaser* laser)
    : TMonitorThread(laser, "TInputMonitor"),
      FErrorLine("^[ \\t]*?(\\d{1,2})([ \\t]*?\\([ \\t]*?(\\d{1,2})\\))?(\\r\\n|\\n|\\r)") {}

void TInputMonitor::Resume() {
  Laser->InputWakeEvent.Reset();
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
  if (Laser->Connected() && !Laser->InputWakeEvent.IsSet()) TMonitorThread::Resume();
}

bool TInputMonitor::ScanErrorLines(std::string& buffer) {
  bool found = false;
  TRegexMatch match;
  std::size_t from = 0;
  while (!Terminated() && FErrorLine.Search(buffer, match, from)) {
    // A CR that ends the text may be the first half of a CR LF still on its way; taking the
    // line now would leave the LF in front of the next line.
    if (match.End == buffer.size() && buffer.back() == '\r') break;
    const std::string& digits = match.Groups[1];
    const int code = std::atoi(digits.c_str());  // one or two digits: always converts
    if (!Laser->ReportedErrors.test(static_cast<std::size_t>(code))) {
      FLastErrorCode = static_cast<std::uint8_t>(code);
      Laser->ReportedErrors.set(static_cast<std::size_t>(code));
      found = true;
    }
    buffer.erase(match.Start, match.End - match.Start);
    from = match.Start;  // nothing before the deleted line can match now
  }
  return found;
}

void TInputMonitor::Execute() {
  WaitRun();
  if (Terminated()) return;
  TOverlappedPtr overlapped = NewOverlapped();
  char chunk[128];
  int backOffMs = 0;
  while (!Terminated()) {
    if (!Laser->Connected()) {
      PauseAndRecheck();
    } else {
      const TWaitHandle wake = Laser->InputWakeEvent.Handle();
      const TWaitResult ready = Laser->WaitReceive(*overlapped, wake);
      if (ready == TWaitResult::Failed) {
        // The device has gone (unplugged) or reports an error: a new wait would return at once,
        // so wait for a pause or stop instead, a little longer each time.
        backOffMs = backOffMs == 0 ? 50 : std::min(backOffMs * 2, 1000);
        Laser->InputWakeEvent.Wait(backOffMs);
      } else if (ready == TWaitResult::Input) {
        backOffMs = 0;
        Laser->ReadBytes(chunk, sizeof chunk, *overlapped);
        std::uint32_t n = 0;
        if (Laser->Connected() && Laser->WaitComplete(*overlapped, wake) &&
            Laser->GetOverlappedResult(*overlapped, n) && n > 0) {
          const std::string received(chunk, n);
          bool found = false;
          {
            std::lock_guard lock(Laser->BufferLock);
            std::string& rx = Laser->RxBuffer;
            const std::size_t oldSize = rx.size();
            rx.append(received);
            for (std::size_t i = oldSize; i < rx.size(); ++i) rx[i] = UpperAscii(rx[i]);
            found = ScanErrorLines(rx);
            if (rx.size() > RxBufferLimit && rx.find("\r\n") == std::string::npos) {
              rx.erase(0, rx.size() - RxBufferLimit);
              ++Laser->RxEpoch;
            }
          }
          if (found) {
            const std::uint8_t code = FLastErrorCode;
            if (Laser->Reseting()) Synchronize([this] { Laser->ResetDone(); });
            Synchronize([this, code] {
              if (Laser->OnLaserError) Laser->OnLaserError(Laser, code);
            });
          }
          Laser->BufferMonitor->Resume();
          Synchronize([this, &received] {
            if (Laser->OnReceive) Laser->OnReceive(Laser, received);
          });
        }
      }
    }
    WaitRun();
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
