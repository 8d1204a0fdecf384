// The matching thread: cuts CR LF lines off the front of the receive text and finds the command
// each reply belongs to, the pending command's pattern first.
//
// Error-code lines and framing stay consistent because the receiving thread removes every
// complete error line in the same locked step that appends the chunk completing it. Lines framed
// here are complete lines, so they never hold an error line and a removal only ever touches text
// after them; the positions kept here stay valid. Only an outside clear of the receive text
// (disconnect) moves the ground, and that is caught by the receive-text generation.
#include <charconv>
#include <chrono>
#include <thread>

#include "laser/QNLaser.h"
#include "laser/Threads.h"

namespace {

bool ParseInt(std::string_view text, int& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  return first != last && ec == std::errc() && end == last;
}

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

TBufferMonitor::TBufferMonitor(TLaser* laser)
    : TMonitorThread(laser, "TBufferMonitor"), FErrorReply("\\AERROR\\Z") {}

void TBufferMonitor::Execute() {
  WaitRun();
  while (!Terminated()) {
    Pass();
    WaitRun();
  }
}

std::optional<TLine> TBufferMonitor::ExtractLine(std::size_t start) {
  std::lock_guard lock(Laser->BufferLock);
  const std::string& rx = Laser->RxBuffer;
  if (Laser->RxEpoch != FEpoch || start > rx.size()) return std::nullopt;
  const std::size_t at = rx.find("\r\n", start);
  if (at == std::string::npos) return std::nullopt;
  return TLine{rx.substr(start, at + 2 - start), at + 1};
}

bool TBufferMonitor::ExtractNextLine(bool waitAtEnd) {
  const std::size_t endPos = FLines.back().EndPos;
  const std::size_t from = endPos + 1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      std::lock_guard lock(Laser->BufferLock);
      const std::string& rx = Laser->RxBuffer;
      if (Laser->RxEpoch != FEpoch) return false;
      const bool atEnd = from >= rx.size();
      if (atEnd && (!waitAtEnd || attempt == 1)) {
        FLines.push_back(TLine{"", endPos});
        return true;
      }
      if (!atEnd) {
        const std::size_t at = rx.find("\r\n", from);
        if (at != std::string::npos) {
          FLines.push_back(TLine{rx.substr(from, at + 2 - from), at + 1});
          return true;
        }
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

std::string TBufferMonitor::JoinLines(std::size_t count) const {
  std::string text;
  for (std::size_t i = 0; i < count && i < FLines.size(); ++i) text += FLines[i].Text;
  return std::string(TrimBlanks(text));
}

TBufferMonitor::TMatchResult TBufferMonitor::MatchCommand(const TCommandSyntax& cmd, bool pending,
                                                          const std::string& text) {
  const TRegex pattern(cmd.Mask);
  TRegexMatch match;
  if (pattern.Search(text, match)) {
    const int highest = match.Highest;
    const int branchGroup = cmd.Indexes.empty() ? -1 : cmd.Indexes[0];
    bool refused = false;
    if (branchGroup > 0) {
      if (highest < 2 || branchGroup > highest) {
        refused = true;
      } else {
        const std::string& named = match.Groups[static_cast<std::size_t>(branchGroup)];
        int branch = 0;
        if (!named.empty() && (!ParseInt(named, branch) || branch != cmd.SubID)) refused = true;
      }
    }
    if (!refused) {
      Matches = std::move(match.Groups);
      return TMatchResult::Reply;
    }
  }
  if (pending && !Terminated() && FErrorReply.Search(text)) return TMatchResult::Error;
  return TMatchResult::None;
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
  if (FErrorReply.Search(TrimBlanks(FLines[0].Text))) {
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
  bool matched = false;
  bool linesMissing = false;  // a continuation that did not come is not waited for twice
  if (pendingSerial != 0) {
    PendingText = head->Text;
    pendingLate = head->Late;
    pendingIndex = IndexNamesText(list, head->CommandIndex, PendingText)
                       ? head->CommandIndex
                       : TCommandList::IndexOfCommand(list, PendingText);
    if (pendingIndex >= 0) {
      const TCommandSyntax& cmd = list[static_cast<std::size_t>(pendingIndex)];
      bool complete = true;
      while (FLines.size() < cmd.Lines) {
        // The rest of a reply we wait for gets its grace also when nothing of it is here yet.
        if (!ExtractNextLine(true)) {
          complete = false;
          linesMissing = true;
          break;
        }
      }
      if (complete) {
        const TMatchResult result = MatchCommand(cmd, true, JoinLines(cmd.Lines));
        if (result != TMatchResult::None) {
          matched = true;
          MatchedIndex = pendingIndex;
          DeleteThrough(FLines[cmd.Lines - 1].EndPos);
          if (result == TMatchResult::Reply) {
            // The command's own reply after an ERROR held back for it: that ERROR was the read's.
            if (std::optional<TUnanswered> held = Laser->TakeHeldError(head->Serial)) {
              ReportReadRefused(*held, list);
            }
            // The reset phase begins before the next line is looked at: the controller may
            // report READY right after its reply.
            if (SameCommand(PendingText, Laser->OutputMonitor->ResetCmd())) {
              Synchronize([this] {
                if (Laser->Connection() == FConnection) Laser->BeginReset();
              });
            }
            Deliver(cmd, true, head->Serial);
          } else if (pendingLate) {
            // A late refusal: the command has been reported as timed out already.
            Laser->CommandQueue.SignalIfHead(head->Serial, Laser->ErrorReplyEvent);
          } else {
            ReportCommandError(cmd, PendingText, head->Serial);
          }
        }
      }
    }
  }
  if (matched) return;
  // Past its reply wait the command still owns the line: what does not fit it is dropped, not
  // taken for the reply of another command.
  if (pendingLate) {
    DeleteThrough(FLines[0].EndPos);
    return;
  }

  // Any other entry whose pattern fits. A line that fits entries naming different commands (the
  // currents of both branches, say) is not delivered: nothing tells which it answers, and a value
  // shown under the wrong branch is worse than none.
  int chosen = -1;
  TLaserMsg chosenMatches;
  bool ambiguous = false;
  for (std::size_t i = 0; i < list.size() && !ambiguous; ++i) {
    if (static_cast<int>(i) == pendingIndex) continue;
    const TCommandSyntax& cmd = list[i];
    if (cmd.Lines == 0) continue;
    while (FLines.size() < cmd.Lines && !linesMissing) {
      if (!ExtractNextLine(false)) linesMissing = true;
    }
    if (FLines.size() < cmd.Lines) continue;
    if (MatchCommand(cmd, false, JoinLines(cmd.Lines)) != TMatchResult::Reply) continue;
    if (chosen < 0) {
      chosen = static_cast<int>(i);
      chosenMatches = std::move(Matches);
    } else {
      const TCommandSyntax& first = list[static_cast<std::size_t>(chosen)];
      ambiguous = first.ID != cmd.ID || first.SubID != cmd.SubID;
    }
  }
  if (chosen >= 0 && !ambiguous) {
    const TCommandSyntax& cmd = list[static_cast<std::size_t>(chosen)];
    MatchedIndex = chosen;
    Matches = std::move(chosenMatches);
    DeleteThrough(FLines[cmd.Lines - 1].EndPos);
    Deliver(cmd, false, 0);
    return;
  }
  DeleteThrough(FLines[0].EndPos);
}
