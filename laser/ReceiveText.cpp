#include "laser/ReceiveText.h"

#include <algorithm>

#include "laser/Text.h"

namespace {
constexpr std::size_t RecentErrorLinesKept = 64;
}  // namespace

TReceiveText::TScan TReceiveText::ScanErrorLines(bool finalCr, const TAnswered& answered,
                                                 const std::function<bool()>& stop) {
  TScan scan;
  if (stop && stop()) return scan;
  FErrorLines.Scan(FText, finalCr, [&](std::string_view line, int code, bool errorBefore) {
    ++FErrorLineCount;
    FRecentErrorLines.push_back(
        {static_cast<std::uint8_t>(code), ShortString(text::TrimControls(line))});
    if (FRecentErrorLines.size() > RecentErrorLinesKept) FRecentErrorLines.pop_front();
    const auto bit = static_cast<std::size_t>(code);
    if (!FReported.test(bit)) {
      scan.Codes.push_back(static_cast<std::uint8_t>(code));
      FReported.set(bit);
    }
    // Error lines answer an error-code read written before them, which is then refused no more:
    // an ERROR after them is another command's. Not so an ERROR still ahead of them in the text,
    // which came first and may be that read's.
    if (!errorBefore && answered) answered();
    return !(stop && stop());
  });
  return scan;
}

TReceiveText::TScan TReceiveText::Append(std::string_view chunk, const TAnswered& answered,
                                         const std::function<bool()>& stop) {
  std::lock_guard lock(FLock);
  AppendUpper(FText, chunk);
  FLastAppend = TClock::now();
  const TScan scan = ScanErrorLines(false, answered, stop);
  if (CapReceiveText(FText)) ++FEpoch;
  return scan;
}

TReceiveText::TScan TReceiveText::DropStaleTail(std::chrono::milliseconds staleAfter,
                                                const std::function<std::uint32_t()>& inputWaiting,
                                                const TAnswered& answered) {
  std::lock_guard lock(FLock);
  const std::size_t lastLine = FText.rfind("\r\n");
  const std::size_t tail = lastLine == std::string::npos ? 0 : lastLine + 2;
  // Text still growing, or with bytes still in the driver, may be a line on its way (an error
  // line most likely) and stays.
  if (tail >= FText.size() || TClock::now() - FLastAppend < staleAfter ||
      (inputWaiting && inputWaiting() > 0)) {
    return {};
  }
  // An error line ended by a lone CR was only waiting for an LF that will not come now.
  const TScan scan = ScanErrorLines(true, answered, {});
  const std::size_t end = FText.rfind("\r\n");
  FText.erase(end == std::string::npos ? 0 : end + 2);
  return scan;
}

std::uint64_t TReceiveText::Epoch() const {
  std::lock_guard lock(FLock);
  return FEpoch;
}

std::optional<TLine> TReceiveText::Frame(std::size_t start, std::uint64_t epoch) const {
  std::lock_guard lock(FLock);
  if (FEpoch != epoch) return std::nullopt;
  return FrameLine(FText, start);
}

std::optional<TLine> TReceiveText::Next(const TLine& last, bool atEndIsLine,
                                        std::uint64_t epoch) const {
  std::lock_guard lock(FLock);
  if (FEpoch != epoch) return std::nullopt;
  return NextLine(FText, last, atEndIsLine);
}

void TReceiveText::DeleteThrough(std::size_t endPos, std::uint64_t epoch) {
  std::lock_guard lock(FLock);
  if (FEpoch != epoch) return;  // emptied from outside meanwhile
  FText.erase(0, std::min(endPos + 1, FText.size()));
}

bool TReceiveText::PauseIfNoLine(const std::function<void()>& pause) const {
  std::lock_guard lock(FLock);
  if (FText.find("\r\n") != std::string::npos) return false;
  pause();
  return true;
}

void TReceiveText::Clear() {
  std::lock_guard lock(FLock);
  FText.clear();
  ++FEpoch;
}

std::string TReceiveText::Text() const {
  std::lock_guard lock(FLock);
  return FText;
}

void TReceiveText::ResetReported() {
  std::lock_guard lock(FLock);
  FReported.reset();
}

TReceiveText::TClock::time_point TReceiveText::LastAppend() const {
  std::lock_guard lock(FLock);
  return FLastAppend;
}

std::uint64_t TReceiveText::ErrorLineCount() const {
  std::lock_guard lock(FLock);
  return FErrorLineCount;
}

std::vector<TErrorLine> TReceiveText::ErrorLinesSince(std::uint64_t count) const {
  std::lock_guard lock(FLock);
  if (count >= FErrorLineCount) return {};
  const std::uint64_t wanted =
      std::min<std::uint64_t>(FErrorLineCount - count, FRecentErrorLines.size());
  return std::vector<TErrorLine>(FRecentErrorLines.end() - static_cast<std::ptrdiff_t>(wanted),
                                 FRecentErrorLines.end());
}
