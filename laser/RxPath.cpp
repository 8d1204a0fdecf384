#include "laser/RxPath.h"

#include <charconv>
#include <cstdlib>

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr std::size_t RxBufferLimit = 64 * 1024;

bool ParseInt(std::string_view text, int& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  return first != last && ec == std::errc() && end == last;
}

// Whether one of the complete lines before `end` is an "ERROR" that the matching thread has yet
// to take.
bool ErrorLineBefore(std::string_view buffer, std::size_t end) {
  std::size_t start = 0;
  for (std::size_t at = buffer.find("\r\n"); at != std::string_view::npos && at < end;
       at = buffer.find("\r\n", start)) {
    if (TrimBlanks(buffer.substr(start, at - start)) == "ERROR") return true;
    start = at + 2;
  }
  return false;
}

std::string JoinLines(const std::vector<TLine>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i].Text;
  return std::string(TrimBlanks(text));
}

}  // namespace

void AppendUpper(std::string& rx, std::string_view chunk) {
  const std::size_t oldSize = rx.size();
  rx.append(chunk);
  for (std::size_t i = oldSize; i < rx.size(); ++i) rx[i] = UpperAscii(rx[i]);
}

bool CapReceiveText(std::string& rx) {
  if (rx.size() <= RxBufferLimit || rx.find("\r\n") != std::string::npos) return false;
  rx.erase(0, rx.size() - RxBufferLimit);
  return true;
}

TErrorLineScanner::TErrorLineScanner()
    : FPattern("^[ \\t]*?(\\d{1,2})([ \\t]*?\\([ \\t]*?(\\d{1,2})\\))?(\\r\\n|\\n|\\r)") {}

void TErrorLineScanner::Scan(std::string& rx, bool finalCr, const TOnLine& onLine) const {
  TRegexMatch match;
  std::size_t from = 0;
  while (FPattern.Search(rx, match, from)) {
    // A CR that ends the text may be the first half of a CR LF still on its way; taking the
    // line now would leave the LF in front of the next line.
    if (!finalCr && match.End == rx.size() && rx.back() == '\r') break;
    const int code = std::atoi(match.Groups[1].c_str());  // one or two digits: always converts
    const std::string_view line = std::string_view(rx).substr(match.Start, match.End - match.Start);
    const bool goOn = onLine(line, code, ErrorLineBefore(rx, match.Start));
    rx.erase(match.Start, match.End - match.Start);
    if (!goOn) break;
    from = match.Start;  // nothing before the deleted line can match now
  }
}

std::optional<TLine> FrameLine(std::string_view rx, std::size_t start) {
  if (start > rx.size()) return std::nullopt;
  const std::size_t at = rx.find("\r\n", start);
  if (at == std::string_view::npos) return std::nullopt;
  return TLine{std::string(rx.substr(start, at + 2 - start)), at + 1};
}

std::optional<TLine> NextLine(std::string_view rx, const TLine& last, bool atEndIsLine) {
  const std::size_t from = last.EndPos + 1;
  if (from >= rx.size()) {
    if (atEndIsLine) return TLine{"", last.EndPos};
    return std::nullopt;
  }
  return FrameLine(rx, from);
}

bool IsErrorReply(std::string_view text) {
  static const TRegex errorReply("\\AERROR\\Z");
  return errorReply.Search(text);
}

TReplyKind MatchReply(const TCommandSyntax& cmd, bool errorCounts, const std::string& text,
                      TLaserMsg& groups) {
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
      groups = std::move(match.Groups);
      return TReplyKind::Reply;
    }
  }
  if (errorCounts && IsErrorReply(text)) return TReplyKind::Error;
  return TReplyKind::None;
}

TPassResult MatchPass(const TCommandList::TEntries& list, int pendingIndex, bool pendingLate,
                      bool errorCounts, std::vector<TLine>& lines,
                      const std::function<bool(bool waitAtEnd)>& next) {
  TPassResult result;
  result.Through = lines[0].EndPos;
  bool linesMissing = false;  // a continuation that did not come is not waited for twice
  if (pendingIndex >= 0) {
    const TCommandSyntax& cmd = list[static_cast<std::size_t>(pendingIndex)];
    bool complete = true;
    while (lines.size() < cmd.Lines) {
      if (!next(true)) {
        complete = false;
        linesMissing = true;
        break;
      }
    }
    if (complete) {
      const TReplyKind kind =
          MatchReply(cmd, errorCounts, JoinLines(lines, cmd.Lines), result.Groups);
      if (kind != TReplyKind::None) {
        result.Kind =
            kind == TReplyKind::Reply ? TPassResult::PendingReply : TPassResult::PendingError;
        result.Index = pendingIndex;
        result.Through = lines[cmd.Lines - 1].EndPos;
        return result;
      }
    }
  }
  // Past its reply wait the command still owns the line: what does not fit it is dropped, not
  // taken for the reply of another command.
  if (pendingLate) {
    result.Kind = TPassResult::LateDropped;
    return result;
  }

  // Any other entry whose pattern fits. A line that fits entries naming different commands (the
  // currents of both branches, say) is not delivered: nothing tells which it answers, and a value
  // shown under the wrong branch is worse than none.
  int chosen = -1;
  bool ambiguous = false;
  for (std::size_t i = 0; i < list.size() && !ambiguous; ++i) {
    if (static_cast<int>(i) == pendingIndex) continue;
    const TCommandSyntax& cmd = list[i];
    if (cmd.Lines == 0) continue;
    while (lines.size() < cmd.Lines && !linesMissing) {
      if (!next(false)) linesMissing = true;
    }
    if (lines.size() < cmd.Lines) continue;
    TLaserMsg groups;
    if (MatchReply(cmd, false, JoinLines(lines, cmd.Lines), groups) != TReplyKind::Reply) continue;
    if (chosen < 0) {
      chosen = static_cast<int>(i);
      result.Groups = std::move(groups);
    } else {
      const TCommandSyntax& first = list[static_cast<std::size_t>(chosen)];
      ambiguous = first.ID != cmd.ID || first.SubID != cmd.SubID;
    }
  }
  if (chosen >= 0 && !ambiguous) {
    result.Kind = TPassResult::OtherReply;
    result.Index = chosen;
    result.Through = lines[list[static_cast<std::size_t>(chosen)].Lines - 1].EndPos;
    return result;
  }
  result.Groups.clear();
  return result;
}
