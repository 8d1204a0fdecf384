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

// A written command whose reply may come now, as one pass sees it: its pattern, or none for a
// typed text that the table does not know (such a command can only be refused).
struct TAwaited {
  const TCommandSyntax* Entry = nullptr;
};

// What one pass over the front of the receive text decided.
struct TPassResult {
  enum TKind {
    Reply,       // the reply of one awaited command, the only one it fits
    Refusal,     // "ERROR" while exactly one command is awaited: that command's refusal
    Ambiguous,   // fits several awaited commands: dropped; it is at least the reply of Awaited
    OtherReply,  // in step, the reply of an entry no awaited command has, which fits it alone
    Dropped,     // the first line, which nothing recognises or which fits several commands
  };
  TKind Kind = Dropped;
  std::size_t Awaited = 0;  // Reply, Refusal: that command; Ambiguous: the oldest it fits
  int Index = -1;           // OtherReply: the table entry
  std::size_t Through = 0;  // the position of the last LF consumed
  TLaserMsg Groups;         // of a reply
};

// Decides one pass. `lines` holds at least the first line; `next(waitAtEnd)` appends the next
// line to it and returns false when there is none (waitAtEnd: the rest of a reply that is awaited
// deserves a grace also when nothing of it is here yet). `awaited` are the commands whose replies
// may come, oldest first. `inStep`: nothing is unanswered past its reply wait, so a line that fits
// no awaited command may still be delivered as a stray reply; out of step it is dropped.
// `errorCounts`: an "ERROR" may be taken as a refusal.
TPassResult MatchPass(const TCommandList::TEntries& list, const std::vector<TAwaited>& awaited,
                      bool inStep, bool errorCounts, std::vector<TLine>& lines,
                      const std::function<bool(bool waitAtEnd)>& next);
