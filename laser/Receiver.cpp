// The receiving thread: waits for bytes on the port, appends them to the receive text, takes the
// error-code lines out and wakes the matching thread.
#include "laser/QNLaser.h"
#include "laser/Threads.h"

TInputMonitor::TInputMonitor(TLaser* laser, const TWorkerShared& shared, TMonitorThread& matcher)
    : TMonitorThread(laser, "TInputMonitor"), S(shared), FMatcher(matcher) {}

// The wake event is reset by the thread itself at the top of its loop, not here: a close and a
// quick reopen would otherwise withdraw the pause signal before the thread saw it, and leave it
// waiting on the old line.
void TInputMonitor::Resume() {
  TMonitorThread::Resume();
}

void TInputMonitor::Pause() {
  TMonitorThread::Pause();
  S.InputWakeEvent.Set();
}

void TInputMonitor::Stop() {
  TMonitorThread::Stop();
  S.InputWakeEvent.Set();
}

void TInputMonitor::PauseAndRecheck() {
  TMonitorThread::Pause();
  // An Open between the test and the pause resumed us already; its signal must not be lost.
  // (A Disconnect after that Open closed the port first, so the test sees it closed.)
  if (Laser->Connected()) TMonitorThread::Resume();
}

void TInputMonitor::Execute() {
  WaitRun();
  if (Terminated()) return;
  TOverlappedPtr overlapped = NewOverlapped();
  char chunk[128];
  while (!Terminated()) {
    // Consumed before the state is looked at: a pause signalled after this still ends the wait
    // below, and one signalled before it is seen here.
    S.InputWakeEvent.Reset();
    // A stop signalled between the loop's test and that reset was just consumed: its flag,
    // set before the signal, is seen now, or the wait below would never end.
    if (Terminated()) break;
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
    const TWaitHandle wake = S.InputWakeEvent.Handle();
    const TWaitResult ready = Laser->WaitReceive(*overlapped, wake);
    if (ready == TWaitResult::Failed) {
      if (Laser->Connected() && Laser->Connection() == connection) {
        if (Laser->LineFailed()) {
          // The device has gone (unplugged, or the far end closed): the laser closes the port
          // and tells the program, which then opens it afresh.
          Synchronize([this, connection] { Laser->LineLost(connection); });
        } else {
          // A close under way, or a wait the system refused: not worth a busy loop.
          S.InputWakeEvent.Wait(10);
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
    const TReceiveText::TScan scan = S.Rx.Append(
        received, [this] { S.Book.With([](TReplyBook& b) { b.SettleUnanswered(UINT64_MAX); }); },
        [this] { return Terminated(); });
    ReportErrorCodes(scan.Codes);
    FMatcher.Resume();
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
