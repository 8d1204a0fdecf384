// The matching thread: cuts CR LF lines off the front of the receive text and finds the written
// command each reply belongs to (see ReplyBook.h for how the line stays in step).
//
// Error-code lines and framing stay consistent because the receiving thread removes every
// complete error line in the same locked step that appends the chunk completing it. Lines framed
// here are complete lines, so they never hold an error line and a removal only ever touches text
// after them; the positions kept here stay valid. Only an outside clear of the receive text
// (disconnect) moves the ground, and that is caught by the receive-text generation.
#include <chrono>
#include <thread>

#include "laser/QNLaser.h"
#include "laser/Text.h"
#include "laser/Threads.h"

TBufferMonitor::TBufferMonitor(TLaser* laser, const TWorkerShared& shared,
                               const TOutputMonitor& sender)
    : TMonitorThread(laser, "TBufferMonitor"), S(shared), FSender(sender) {}

void TBufferMonitor::Execute() {
  WaitRun();
  while (!Terminated()) {
    Pass();
    WaitRun();
  }
}

bool TBufferMonitor::ExtractNextLine(bool waitAtEnd) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (std::optional<TLine> line = S.Rx.Next(FLines.back(), !waitAtEnd || attempt == 1, FEpoch)) {
      FLines.push_back(std::move(*line));
      return true;
    }
    if (S.Rx.Epoch() != FEpoch) return false;
    if (attempt == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(Laser->Timing().ContinuationGraceMs));
    }
  }
  return false;
}

void TBufferMonitor::DeleteThrough(std::size_t endPos) {
  S.Rx.DeleteThrough(endPos, FEpoch);
}

// Every hand-over checks on the UI thread that the port has not been closed since this pass began:
// nothing of a closed connection reaches the program after its OnDisconnect.
void TBufferMonitor::Answered(const TWrittenCommand& command, bool refused) {
  std::vector<TWrittenCommand> settled = S.Book.With([&](TReplyBook& b) {
    std::vector<TWrittenCommand> done = b.Settle(command.Serial);
    if (!done.empty() && b.Awaiting(command.Serial)) {
      b.NoteEnd(command.Serial, refused);
      // Signalled before the reply is handed over: the next command may go out meanwhile.
      if (!refused) S.ReplyEvent.Set();
    }
    return done;
  });
  if (settled.empty()) return;  // a close took it meanwhile
  S.LineEvent.Set();
  const TWrittenCommand me = std::move(settled.back());
  settled.pop_back();
  // Replies come in order: what was written before it will not be answered any more.
  if (!settled.empty()) {
    Synchronize([&] {
      if (Laser->Connection() == FConnection) Laser->CommandsLost(settled);
    });
  }
  if (refused) {
    // A late refusal counts nothing: the command has been reported as timed out already.
    if (!me.Late && !me.Sync) {
      Synchronize([&] {
        if (Laser->Connection() == FConnection) Laser->CommandRefused(me);
      });
    }
    S.Book.With([&](TReplyBook& b) {
      if (b.Awaiting(me.Serial)) S.ErrorReplyEvent.Set();
    });
    return;
  }
  // The command's own reply after an ERROR held back for it: that ERROR was the read's.
  if (std::optional<TUnanswered> held =
          S.Book.With([&](TReplyBook& b) { return b.TakeHeldError(me.Serial); })) {
    ReportReadRefused(*held, *Laser->CommandList().Snapshot());
  }
  // The reset phase begins before the next line is looked at: the controller may report READY
  // right after its reply.
  if (SameCommand(me.Text, FSender.ResetCmd())) {
    Synchronize([this] {
      if (Laser->Connection() == FConnection) Laser->BeginReset();
    });
  }
  // The engine's own reads only bring the line back in step; they are no reply of the
  // program's, and do not end a streak of failures.
  if (me.Sync) return;
  bool delivered = false;
  Synchronize([&] {
    if (Laser->Connection() != FConnection) return;
    delivered = true;
    Laser->CommandAnswered(me, Matches);
  });
  if (delivered) Laser->ClearCommandErrors();
}

void TBufferMonitor::ReportReadRefused(const TUnanswered& read, const TCommandList::TEntries&) {
  Synchronize([&] {
    if (Laser->Connection() == FConnection) Laser->CommandRefused(read.Command);
  });
}

void TBufferMonitor::Pass() {
  FLines.clear();
  FEpoch = S.Rx.Epoch();
  FConnection = Laser->Connection();
  std::optional<TLine> first = S.Rx.Frame(0, FEpoch);
  if (!first) {
    // Tested and paused in one step, so a chunk appended meanwhile still gets its pass.
    S.Rx.PauseIfNoLine([this] { Pause(); });
    return;
  }
  FLines.push_back(std::move(*first));

  if (Laser->Reseting() && FLines[0].Text == "READY\r\n") {
    DeleteThrough(FLines[0].EndPos);
    Synchronize([this] {
      if (Laser->Connection() == FConnection) Laser->ResetDone();
    });
    return;
  }

  // The table as it is now; held for the whole pass, whatever the UI thread loads meanwhile.
  const TCommandList::TSnapshot snapshot = Laser->CommandList().Snapshot();
  const TCommandList::TEntries& list = *snapshot;

  struct TView {
    std::deque<TWrittenCommand> InFlight;
    bool InStep = true;
    std::uint64_t Pending = 0;
  };
  TView view = S.Book.With([](const TReplyBook& b) {
    return TView{b.InFlight(), b.InStep(), b.PendingSerial()};
  });

  // Replies come back in the order of the commands: an ERROR while the error-code read (written
  // without a reply wait) is still unanswered is that read's refusal, not the next command's -
  // unless the read said nothing at all, which only what follows can tell.
  if (IsErrorReply(text::TrimControls(FLines[0].Text))) {
    // A second ERROR: the one held back was the read's.
    if (std::optional<TUnanswered> held =
            S.Book.With([&](TReplyBook& b) { return b.TakeHeldError(view.Pending); })) {
      ReportReadRefused(*held, list);
    }
    std::optional<TUnanswered> read =
        S.Book.With([](TReplyBook& b) { return b.TakeUnanswered(TClock::now()); });
    if (read) {
      DeleteThrough(FLines[0].EndPos);
      if (view.Pending != 0 && view.Pending != read->Command.Serial) {
        S.Book.With([&](TReplyBook& b) { b.HoldError(std::move(*read), view.Pending); });
      } else {
        ReportReadRefused(*read, list);
      }
      return;
    }
  }

  std::vector<TAwaited> awaited;
  awaited.reserve(view.InFlight.size());
  for (const TWrittenCommand& c : view.InFlight) awaited.push_back({c.Entry.get()});
  TPassResult pass = MatchPass(list, awaited, view.InStep, !Terminated(), FLines,
                               [this](bool waitAtEnd) { return ExtractNextLine(waitAtEnd); });
  DeleteThrough(pass.Through);
  switch (pass.Kind) {
    case TPassResult::Reply:
    case TPassResult::Refusal: {
      const TWrittenCommand& command = view.InFlight[pass.Awaited];
      PendingText = command.Text;
      Matches = std::move(pass.Groups);
      Answered(command, pass.Kind == TPassResult::Refusal);
      break;
    }
    case TPassResult::Ambiguous: {
      // It answers that command or a later one: the ones before it are done.
      std::vector<TWrittenCommand> lost = S.Book.With(
          [&](TReplyBook& b) { return b.SettleBefore(view.InFlight[pass.Awaited].Serial); });
      if (!lost.empty()) {
        S.LineEvent.Set();
        Synchronize([&] {
          if (Laser->Connection() == FConnection) Laser->CommandsLost(lost);
        });
      }
      break;
    }
    case TPassResult::OtherReply: {
      MatchedIndex = pass.Index;
      Matches = std::move(pass.Groups);
      const TCommandSyntax& entry = list[static_cast<std::size_t>(pass.Index)];
      bool delivered = false;
      Synchronize([&] {
        if (Laser->Connection() != FConnection) return;
        delivered = true;
        Laser->InterpretReply(entry, Matches);
      });
      if (delivered) Laser->ClearCommandErrors();
      break;
    }
    case TPassResult::Dropped:
      break;
  }
}
