// The receive path without threads or a port: received chunks appended to the receive text, error
// lines taken out of it, CR LF lines framed at its front and matched against the command table.
// The receiving and matching threads add the locking, waiting and hand-overs around these.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"
#include "laser/Regex.h"

// Appends a chunk as received, upper-cased (only "a" to "z" change).
void AppendUpper(std::string& rx, std::string_view chunk);

// Keeps the receive text to its cap, so that a line that never ends cannot exhaust memory: only
// text without a complete line is cut. True when it cut (positions in the text have moved).
bool CapReceiveText(std::string& rx);

// Takes the laser's error-code lines (one- or two-digit code, optionally a second one in
// parentheses, then a line break) out of the receive text.
class TErrorLineScanner {
 public:
  TErrorLineScanner();
  // Called for each error line before it is erased: the line (a view into the text, line break
  // included), its code, and whether a complete "ERROR" line comes before it. Returns false to
  // stop the scan.
  using TOnLine = std::function<bool(std::string_view line, int code, bool errorBefore)>;
  // A CR at the very end ends a line only when `finalCr` says that no LF can follow it any more.
  void Scan(std::string& rx, bool finalCr, const TOnLine& onLine) const;

 private:
  TRegex FPattern;
};

// One received line: its text including CR LF, and the position of its LF in the receive text.
struct TLine {
  std::string Text;
  std::size_t EndPos = 0;
};

// The CR LF line that begins at `start`, if complete.
std::optional<TLine> FrameLine(std::string_view rx, std::size_t start);
// The line after `last`. At the end of the text it is an empty line ending where `last` ends,
// when `atEndIsLine`; otherwise, or when no CR LF follows, there is none.
std::optional<TLine> NextLine(std::string_view rx, const TLine& last, bool atEndIsLine);

// Whether a reply text (lines joined and trimmed) is the laser's refusal, "ERROR".
bool IsErrorReply(std::string_view text);

enum class TReplyKind { None, Reply, Error };

// Matches one command's pattern against `text` (its lines joined and trimmed), with the branch
// test. Groups go to `groups` on a Reply. Error: the text is "ERROR" and `errorCounts` (the
// command is pending).
TReplyKind MatchReply(const TCommandSyntax& cmd, bool errorCounts, const std::string& text,
                      TLaserMsg& groups);

// What one pass over the front of the receive text decided.
struct TPassResult {
  enum TKind {
    PendingReply,  // the pending command's reply
    PendingError,  // the pending command's refusal
    OtherReply,    // the reply of another entry, which fits that entry alone
    LateDropped,   // the first line, dropped: a command past its reply wait still owns the line
    Dropped,       // the first line, which nothing recognises or which fits several commands
  };
  TKind Kind = Dropped;
  int Index = -1;           // the entry of a reply or refusal
  std::size_t Through = 0;  // the position of the last LF consumed
  TLaserMsg Groups;         // of a reply
};

// Decides one pass. `lines` holds at least the first line; `next(waitAtEnd)` appends the next
// line to it and returns false when there is none (waitAtEnd: the rest of a reply that is waited
// for deserves a grace also when nothing of it is here yet). `pendingIndex` is the pending
// command's entry (-1: none, or a typed command without one); `pendingLate` that a command, with
// or without an entry, is past its reply wait; `errorCounts` that an "ERROR" may be taken as the
// pending command's refusal.
TPassResult MatchPass(const TCommandList::TEntries& list, int pendingIndex, bool pendingLate,
                      bool errorCounts, std::vector<TLine>& lines,
                      const std::function<bool(bool waitAtEnd)>& next);
