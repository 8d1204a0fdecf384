// The text received from the laser and not yet consumed, shared by the receiving thread (which
// appends to it and takes the error-code lines out), the matching thread (which frames and
// deletes lines at its front) and the sending thread (which throws away a stale tail). One lock
// guards it, held only for short stretches; the callbacks below run under it and must not wait.
#pragma once

#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/RxPath.h"

// One error-code line as the laser sent it (upper-cased, without blanks and line break).
struct TErrorLine {
  std::uint8_t Code = 0;
  std::string Text;
  bool operator==(const TErrorLine&) const = default;
};

class TReceiveText {
 public:
  using TClock = std::chrono::steady_clock;
  // Called under the lock when error-code lines came that no earlier ERROR line precedes: they
  // answer an error-code read written before them.
  using TAnswered = std::function<void()>;

  struct TScan {
    // The codes not reported before, in the order their lines came: two lines in one chunk
    // are two faults (an open interlock and a temperature fault), and neither may hide the other.
    std::vector<std::uint8_t> Codes;
  };

  // Appends a chunk as received (upper-cased), takes the error lines out and keeps the text to
  // its cap. `stop` ends the scan early (the thread is being stopped).
  TScan Append(std::string_view chunk, const TAnswered& answered,
               const std::function<bool()>& stop);
  // Throws away a tail that ends no line when it has not grown for `staleAfter` and nothing more
  // waits in the driver (`inputWaiting`, asked under the lock); an error line that ended in a
  // lone CR is taken first.
  TScan DropStaleTail(std::chrono::milliseconds staleAfter,
                      const std::function<std::uint32_t()>& inputWaiting,
                      const TAnswered& answered);

  // The matching thread's view: framing and deleting work only while the text has not been
  // emptied from outside since `epoch` (a disconnect, or the cap).
  std::uint64_t Epoch() const;
  std::optional<TLine> Frame(std::size_t start, std::uint64_t epoch) const;
  std::optional<TLine> Next(const TLine& last, bool atEndIsLine, std::uint64_t epoch) const;
  void DeleteThrough(std::size_t endPos, std::uint64_t epoch);
  // Runs `pause` when no complete line is in the text, as one step with the test, so that a
  // chunk appended meanwhile still gets its pass. True when it paused.
  bool PauseIfNoLine(const std::function<void()>& pause) const;

  void Clear();  // a disconnect: emptied, and the epoch moves on
  std::string Text() const;
  // Forgets which codes were reported, so that codes still present are reported again.
  void ResetReported();
  // Every error line taken out is counted, reported or not, and the last ones are kept. A reader
  // that wants the laser's answer to an error-code read notes the count before it and asks for
  // the lines after that count once the reply to a later command has come: replies come in
  // order, and an error line is taken out in the same locked step that appends what follows it.
  std::uint64_t ErrorLineCount() const;
  // The error lines counted after `count`, oldest first (at most the last 64).
  std::vector<TErrorLine> ErrorLinesSince(std::uint64_t count) const;
  TClock::time_point LastAppend() const;

 private:
  TScan ScanErrorLines(bool finalCr, const TAnswered& answered, const std::function<bool()>& stop);

  mutable std::mutex FLock;
  std::string FText;
  std::uint64_t FEpoch = 0;
  TClock::time_point FLastAppend{};
  std::bitset<104> FReported;
  std::uint64_t FErrorLineCount = 0;
  std::deque<TErrorLine> FRecentErrorLines;  // the last ones up to FErrorLineCount
  TErrorLineScanner FErrorLines;
};
