// The matching thread: cuts CR LF lines off the front of the receive text and finds the command
// each reply belongs to, the pending command's pattern first.
//
// Error-code lines and framing stay consistent because the receiving thread removes every
// complete error line in the same locked step that appends the chunk completing it. Lines framed
// here are complete lines, so they never hold an error line and a removal only ever touches text
// after them; the positions kept here stay valid. Only an outside clear of the receive text
// (disconnect) moves the ground, and that is caught by the receive-text generation.
#include <chrono>
#include <thread>

#include "laser/QNLaser.h"
#include "laser/Threads.h"

namespace {

// A table index taken when the command was queued still names its entry only if the table has
// not changed under it since.
bool IndexNamesText(const TCommandList::TEntries& list, int index, const std::string& text) {
  if (index < 0 || index >= static_cast<int>(list.size())) return false;
  const std::string& command = list[static_cast<std::size_t>(index)].Command;
  return text == command ||
         (text.size() > command.size() && text.compare(0, command.size(), command) == 0 &&
          text[command.size()] == ' ');
}

}  // namespace

TBufferMonitor::TBufferMonitor(TLaser* laser) : TMonitorThread(laser, "TBufferMonitor") {}

void TBufferMonitor::Execute() {
  WaitRun();
  while (!Terminated()) {
    Pass();
    WaitRun();
  }
}

std::optional<TLine> TBufferMonitor::ExtractLine(std::size_t start) {
  std::lock_guard lock(Laser->BufferLock);
  if (Laser->RxEpoch != FEpoch) return std::nullopt;
  return FrameLine(Laser->RxBuffer, start);
}

bool TBufferMonitor::ExtractNextLine(bool waitAtEnd) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      std::lock_guard lock(Laser->BufferLock);
      if (Laser->RxEpoch != FEpoch) return false;
      if (std::optional<TLine> line =
              NextLine(Laser->RxBuffer, FLines.back(), !waitAtEnd || attempt == 1)) {
        FLines.push_back(std::move(*line));
        return true;
      }
    }
    if (attempt == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(Laser->Timing().ContinuationGraceMs));
    }
  }
  return false;
}

void TBufferMonitor::DeleteThrough(std::size_t endPos) {
  std::lock_guard lock(Laser->BufferLock);
  std::string& rx = Laser->RxBuffer;
  if (Laser->RxEpoch != FEpoch) return;  // emptied from outside meanwhile
  rx.erase(0, std::min(endPos + 1, rx.size()));
}

// Every hand-over checks on the UI thread that the port has not been closed since this pass began:
// nothing of a closed connection reaches the program after its OnDisconnect.
void TBufferMonitor::Deliver(const TCommandSyntax& cmd, bool pending, std::uint64_t pendingSerial) {
  if (pending) Laser->CommandQueue.SignalIfHead(pendingSerial, Laser->ReplyEvent);
  bool delivered = false;
  Synchronize([&] {
    if (Laser->Connection() != FConnection) return;
    delivered = true;
    Laser->InterpretReply(cmd, Matches);
  });
  if (delivered) Laser->ClearCommandErrors();
}

void TBufferMonitor::ReportCommandError(const TCommandSyntax& cmd, const std::string& text,
                                        std::uint64_t pendingSerial) {
  Synchronize([&] {
    if (Laser->Connection() != FConnection) return;
    Laser->CountFailure(cmd.ID, cmd.SubID);
    if (Laser->HandleCommandFailure(cmd) && Laser->OnCommandError) {
      Laser->OnCommandError(Laser, cmd.ID, cmd.SubID, text);
    }
  });
  if (pendingSerial != 0) Laser->CommandQueue.SignalIfHead(pendingSerial, Laser->ErrorReplyEvent);
}

void TBufferMonitor::ReportReadRefused(const TUnanswered& read,
                                       const TCommandList::TEntries& list) {
  const int index = IndexNamesText(list, read.CommandIndex, read.Text)
                        ? read.CommandIndex
                        : TCommandList::IndexOfCommand(list, read.Text);
  if (index < 0) return;
  MatchedIndex = index;
  ReportCommandError(list[static_cast<std::size_t>(index)], read.Text, 0);
}

void TBufferMonitor::Pass() {
  FLines.clear();
  {
    std::lock_guard lock(Laser->BufferLock);
    FEpoch = Laser->RxEpoch;
  }
  FConnection = Laser->Connection();
  std::optional<TLine> first = ExtractLine(0);
  if (!first) {
    // Tested and paused in one step, so a chunk appended meanwhile still gets its pass.
    std::lock_guard lock(Laser->BufferLock);
    if (Laser->RxBuffer.find("\r\n") == std::string::npos) Pause();
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

  // Replies come back in the order of the commands: an ERROR while the error-code read (written
  // without a reply wait) is still unanswered is that read's refusal, not the next command's -
  // unless the read said nothing at all, which only what follows can tell.
  const std::optional<TQueueItem> head = Laser->CommandQueue.Peek();
  const std::uint64_t pendingSerial = head && head->Sent ? head->Serial : 0;
  if (IsErrorReply(TrimBlanks(FLines[0].Text))) {
    // A second ERROR: the one held back was the read's.
    if (std::optional<TUnanswered> held = Laser->TakeHeldError(pendingSerial)) {
      ReportReadRefused(*held, list);
    }
    if (std::optional<TUnanswered> read = Laser->TakeUnanswered()) {
      DeleteThrough(FLines[0].EndPos);
      if (pendingSerial != 0 && pendingSerial != read->Serial) {
        Laser->HoldError(std::move(*read), pendingSerial);
      } else {
        ReportReadRefused(*read, list);
      }
      return;
    }
  }

  int pendingIndex = -1;
  bool pendingLate = false;
  if (pendingSerial != 0) {
    PendingText = head->Text;
    pendingLate = head->Late;
    pendingIndex = IndexNamesText(list, head->CommandIndex, PendingText)
                       ? head->CommandIndex
                       : TCommandList::IndexOfCommand(list, PendingText);
  }
  TPassResult pass = MatchPass(list, pendingIndex, pendingLate, !Terminated(), FLines,
                               [this](bool waitAtEnd) { return ExtractNextLine(waitAtEnd); });
  if (pass.Kind != TPassResult::LateDropped && pass.Kind != TPassResult::Dropped) {
    MatchedIndex = pass.Index;
  }
  if (pass.Kind == TPassResult::PendingReply || pass.Kind == TPassResult::OtherReply) {
    Matches = std::move(pass.Groups);
  }
  DeleteThrough(pass.Through);
  switch (pass.Kind) {
    case TPassResult::PendingReply:
      // The command's own reply after an ERROR held back for it: that ERROR was the read's.
      if (std::optional<TUnanswered> held = Laser->TakeHeldError(head->Serial)) {
        ReportReadRefused(*held, list);
      }
      // The reset phase begins before the next line is looked at: the controller may report
      // READY right after its reply.
      if (SameCommand(PendingText, Laser->OutputMonitor->ResetCmd())) {
        Synchronize([this] {
          if (Laser->Connection() == FConnection) Laser->BeginReset();
        });
      }
      Deliver(list[static_cast<std::size_t>(pass.Index)], true, head->Serial);
      break;
    case TPassResult::PendingError:
      if (pendingLate) {
        // A late refusal: the command has been reported as timed out already.
        Laser->CommandQueue.SignalIfHead(head->Serial, Laser->ErrorReplyEvent);
      } else {
        ReportCommandError(list[static_cast<std::size_t>(pass.Index)], PendingText, head->Serial);
      }
      break;
    case TPassResult::OtherReply:
      Deliver(list[static_cast<std::size_t>(pass.Index)], false, 0);
      break;
    case TPassResult::LateDropped:
    case TPassResult::Dropped:
      break;
  }
}
