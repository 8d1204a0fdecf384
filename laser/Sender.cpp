// The sending thread: writes the queued commands one at a time, each followed by the wait for its
// reply, and brings the line back in step after a reply wait ran out (see ReplyBook.h).
#include <chrono>

#include "laser/QNLaser.h"
#include "laser/Threads.h"

TOutputMonitor::TOutputMonitor(TLaser* laser, const TWorkerShared& shared)
    : TMonitorThread(laser, "TOutputMonitor"), S(shared) {}

void TOutputMonitor::Stop() {
  TMonitorThread::Stop();
  S.ErrorReplyEvent.Set();  // ends a reply wait at once
  S.LineEvent.Set();
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
  const auto inStep = [this] {
    return S.Book.With([](const TReplyBook& b) { return b.InStep(); });
  };
  while (!Terminated()) {
    // A close empties the queue itself (TLaser::PortClosed); emptying it here could also take
    // what was queued after a reopen.
    const bool connected = Laser->Connected();
    const bool steady = inStep();
    if (!connected || (steady && S.Queue.Count() == 0)) {
      Pause();
      // A command pushed between the test and the pause must not wait for the next one.
      if (Laser->Connected() && (S.Queue.Count() > 0 || !inStep())) Resume();
    } else if (!steady) {
      Resync(*overlapped);
    } else if (std::optional<TQueueItem> item = S.Queue.Take(false, true)) {
      SendItem(std::move(*item), *overlapped);
    }
    WaitRun();
  }
  FreeOverlapped(overlapped);
}

void TOutputMonitor::DropStaleInput() {
  const TReceiveText::TScan scan = S.Rx.DropStaleTail(
      std::chrono::milliseconds(Laser->Timing().StaleInputMs),
      [this] { return Laser->InputWaiting(); },
      [this] { S.Book.With([](TReplyBook& b) { b.SettleUnanswered(UINT64_MAX); }); });
  ReportErrorCodes(scan.Codes);
}

TWrittenCommand TOutputMonitor::Record(const TQueueItem& item, bool waited) const {
  TWrittenCommand record;
  record.Text = item.Text;
  record.Entry = item.Entry;
  record.Origin = item.Origin;
  record.Waited = waited;
  record.Done = item.Done;
  return record;
}

bool TOutputMonitor::Write(TWrittenCommand& record, std::uint64_t connection, bool unanswered,
                           bool fromQueue, TOverlapped& overlapped) {
  const auto release = [&] {
    if (fromQueue) S.Queue.Release(record.Origin);
    fromQueue = false;
  };
  {
    std::lock_guard lock(S.WriteLock);
    if (!Laser->Connected() || Laser->Connection() != connection) {
      release();
      return false;
    }
    // Serials follow the order of writing, which priorities make differ from the order queued.
    record.Serial = ++FWriteSerial;
    record.At = TClock::now();
    // Entered before the write: a fast reply must find its command in flight.
    S.Book.With([&](TReplyBook& b) {
      if (unanswered) {
        // Its answer is error lines or an ERROR, which the book tells apart by order alone.
        const auto wait = std::chrono::milliseconds(Laser->Timing().ReplyTimeoutMs);
        b.AddUnanswered({record, record.At + 2 * wait});
        release();
        return;
      }
      b.Written(record);
      if (record.Waited && !record.Sync) b.Await(record.Serial);
      // Moved from the queue to the book under the book's lock: a reader that counts both
      // there (QueueCount) sees it in exactly one place, and RefreshDue in at least one.
      release();
    });
    Laser->WriteString(record.Text + "\r", overlapped);
  }
  std::uint32_t written = 0;
  if (!Laser->GetOverlappedResult(overlapped, written) && Laser->LineFailed()) {
    // The close that follows ends what was written on this line.
    Synchronize([&] { Laser->LineLost(connection); });
    return true;
  }
  if (Laser->OnSend.Assigned()) {
    Synchronize([&] {
      if (Laser->OnSend) Laser->OnSend(Laser, record.Text);
    });
  }
  return true;
}

void TOutputMonitor::SendItem(TQueueItem item, TOverlapped& overlapped) {
  S.ReplyEvent.Reset();
  S.ErrorReplyEvent.Reset();
  const bool clearError = SameCommand(item.Text, ClearErrorCmd());
  // The error-code read is not waited for: its answer is the laser's error-code lines, which the
  // receiving thread takes out of the input, and the next command follows at once.
  const bool waited = !SameCommand(item.Text, ReadErrorCodeCmd());
  const std::uint64_t connection = item.Connection;
  const auto onThisConnection = [this, connection] {
    return Laser->Connected() && Laser->Connection() == connection;
  };
  // The clear-error phase begins before its command goes out, so that a READY sent at once finds
  // it running. (A close before the write ends it again.)
  if (clearError) {
    Synchronize([&] {
      if (onThisConnection()) Laser->BeginClearError();
    });
  }
  DropStaleInput();
  TWrittenCommand record = Record(item, waited);
  if (!Write(record, connection, !waited, true, overlapped)) {
    // A close came between taking the command and writing it: it joins the ones the close found.
    Synchronize([&] { Laser->CommandsNotSent({item}); });
    return;
  }
  if (!waited) return;
  TEvent::WaitForAny({&S.ReplyEvent, &S.ErrorReplyEvent}, Laser->Timing().ReplyTimeoutMs);
  if (Terminated()) return;
  TWrittenCommand late;
  TReplyBook::TWaitEnd end =
      S.Book.With([&](TReplyBook& b) { return b.EndWait(record.Serial, late); });
  if (end == TReplyBook::TWaitEnd::TimedOut) {
    // No reply followed the ERROR held back for this command: its error-code read said nothing,
    // and the ERROR was this command's refusal.
    const bool refused = S.Book.With([&](TReplyBook& b) {
      if (!b.TakeHeldError(record.Serial)) return false;
      b.Settle(record.Serial);
      return true;
    });
    if (refused) {
      end = TReplyBook::TWaitEnd::Refused;
      Synchronize([&] {
        if (onThisConnection()) Laser->CommandRefused(late);
      });
    } else {
      // From now on the line is out of step: the next pass of the loop resynchronises it.
      Synchronize([&] {
        if (onThisConnection()) Laser->CommandTimedOut(late);
      });
    }
  }
  if (end == TReplyBook::TWaitEnd::Refused && clearError) {
    Synchronize([&] {
      if (onThisConnection()) Laser->ClearErrorRefused();
    });
  }
  // An error-code read written before this command cannot be answered after it.
  S.Book.With([&](TReplyBook& b) { b.SettleUnanswered(record.Serial); });
}

void TOutputMonitor::Resync(TOverlapped& overlapped) {
  // Laser OFF goes out at once, whatever the line: its reply cannot be told apart now, but the
  // status read queued after it is answered once the line is in step again.
  if (std::optional<TQueueItem> off = S.Queue.TakeBypass(true)) {
    TWrittenCommand record = Record(*off, false);
    if (!Write(record, off->Connection, false, true, overlapped)) {
      Synchronize([&] { Laser->CommandsNotSent({*off}); });
    }
    return;
  }
  const TLaserTiming& timing = Laser->Timing();
  const TClock::time_point lastHeard = S.Rx.LastAppend();  // not under the book's lock
  const TReplyBook::TResync plan = S.Book.With([&](const TReplyBook& b) {
    return b.PlanResync(TClock::now(), lastHeard, Laser->Reseting(),
                        std::chrono::milliseconds(timing.ReplyTimeoutMs),
                        std::chrono::milliseconds(timing.SyncWaitMs),
                        std::chrono::milliseconds(timing.SilenceMs));
  });
  if (plan.Silent || plan.GiveUpUnwaited) {
    // Nothing has come for so long that nothing more will (or only a Laser OFF was left, whose
    // reply wait has passed): the line is in step again.
    std::vector<TWrittenCommand> lost = S.Book.With([](TReplyBook& b) { return b.SettleAll(); });
    const std::uint64_t connection = Laser->Connection();
    Synchronize([&] {
      if (Laser->Connection() == connection) Laser->CommandsLost(lost);
    });
    return;
  }
  if (plan.SyncKind >= 0) {
    TWrittenCommand record;
    record.Entry = TReplyBook::SyncEntry(plan.SyncKind);
    record.Text = record.Entry->Command;
    record.Origin = TOrigin::Program;
    record.Waited = false;
    record.Sync = true;
    DropStaleInput();
    if (Laser->OnResync.Assigned()) {
      Synchronize([&] {
        if (Laser->OnResync) Laser->OnResync(Laser, record.Text);
      });
    }
    Write(record, Laser->Connection(), false, false, overlapped);
    return;
  }
  if (!plan.WakeAt) return;  // in step again meanwhile
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*plan.WakeAt - TClock::now());
  S.LineEvent.Wait(static_cast<int>(std::max<long long>(1, left.count() + 1)));
}
