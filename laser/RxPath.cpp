#include "laser/RxPath.h"

#include <cstdlib>

#include "laser/Text.h"

namespace {

constexpr std::size_t RxBufferLimit = 64 * 1024;

// Whether one of the complete lines before `end` is an "ERROR" that the matching thread has yet
// to take.
bool ErrorLineBefore(std::string_view buffer, std::size_t end) {
  std::size_t start = 0;
  for (std::size_t at = buffer.find("\r\n"); at != std::string_view::npos && at < end;
       at = buffer.find("\r\n", start)) {
    if (text::TrimControls(buffer.substr(start, at - start)) == "ERROR") return true;
    start = at + 2;
  }
  return false;
}

std::string JoinLines(const std::vector<TLine>& lines, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count && i < lines.size(); ++i) text += lines[i].Text;
  return std::string(text::TrimControls(text));
}

}  // namespace

void AppendUpper(std::string& rx, std::string_view chunk) {
  const std::size_t oldSize = rx.size();
  rx.append(chunk);
  for (std::size_t i = oldSize; i < rx.size(); ++i) rx[i] = text::UpperAscii(rx[i]);
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
        if (!named.empty() && (!text::ParseInt(named, branch) || branch != cmd.SubID))
          refused = true;
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

TPassResult MatchPass(const TCommandList::TEntries& list, const std::vector<TAwaited>& awaited,
                      bool inStep, bool errorCounts, std::vector<TLine>& lines,
                      const std::function<bool(bool waitAtEnd)>& next) {
  TPassResult result;
  result.Through = lines[0].EndPos;
  bool linesMissing = false;  // a continuation that did not come is not waited for twice
  auto haveLines = [&](std::size_t count, bool grace) {
    while (lines.size() < count && !linesMissing) {
      if (!next(grace)) linesMissing = true;
    }
    return lines.size() >= count;
  };

  // Every awaited command whose pattern fits. Replies come in order, so the line belongs to one
  // of them; which one is known only when it fits one alone.
  std::size_t fits = 0;
  for (std::size_t i = 0; i < awaited.size(); ++i) {
    const TCommandSyntax* cmd = awaited[i].Entry;
    if (cmd == nullptr || cmd->Lines == 0 || !haveLines(cmd->Lines, true)) continue;
    TLaserMsg groups;
    if (MatchReply(*cmd, false, JoinLines(lines, cmd->Lines), groups) != TReplyKind::Reply) {
      continue;
    }
    if (fits++ == 0) {
      result.Kind = TPassResult::Reply;
      result.Awaited = i;
      result.Groups = std::move(groups);
      result.Through = lines[cmd->Lines - 1].EndPos;
    }
  }
  if (fits > 1) {
    result.Kind = TPassResult::Ambiguous;
    result.Through = lines[0].EndPos;
    result.Groups.clear();
  }
  if (fits > 0) return result;

  if (errorCounts && !awaited.empty() && IsErrorReply(text::TrimControls(lines[0].Text))) {
    result.Kind = awaited.size() == 1 ? TPassResult::Refusal : TPassResult::Ambiguous;
    result.Awaited = 0;
    return result;
  }
  // Out of step a line that fits no awaited command is a reply to something given up on.
  if (!inStep) return result;

  // Any other entry whose pattern fits. A line that fits entries naming different commands (the
  // currents of both branches, say) is not delivered: nothing tells which it answers, and a value
  // shown under the wrong branch is worse than none.
  int chosen = -1;
  bool ambiguous = false;
  for (std::size_t i = 0; i < list.size() && !ambiguous; ++i) {
    const TCommandSyntax& cmd = list[i];
    if (cmd.Lines == 0 || !haveLines(cmd.Lines, false)) continue;
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
