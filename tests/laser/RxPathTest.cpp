// The receive path without threads: whatever the chunking of a reply, the same error codes are
// taken out and the same lines are delivered, refused or dropped.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"
#include "laser/ReceiveText.h"
#include "laser/RxPath.h"

namespace {

// Appends, takes error lines out and runs passes as the receiving and matching threads do. The
// awaited commands are settled as the matching thread settles them: a reply or refusal ends its
// command and every one written before it.
struct TDriver {
  const TCommandList::TEntries& List;
  std::vector<std::string> Awaited;  // command texts, oldest first
  bool InStep;
  std::string Rx;
  std::vector<int> Codes;
  std::vector<std::string> Events;

  const TCommandSyntax* EntryOf(const std::string& text) const {
    const int index = TCommandList::IndexOfCommand(List, text);
    return index >= 0 ? &List[static_cast<std::size_t>(index)] : nullptr;
  }

  void Feed(std::string_view chunk) {
    static const TErrorLineScanner scanner;
    AppendUpper(Rx, chunk);
    scanner.Scan(Rx, false, [&](std::string_view, int code, bool) {
      Codes.push_back(code);
      return true;
    });
    while (std::optional<TLine> first = FrameLine(Rx, 0)) {
      std::vector<TLine> lines{std::move(*first)};
      std::vector<TAwaited> awaited;
      for (const std::string& a : Awaited) awaited.push_back({EntryOf(a)});
      const TPassResult pass = MatchPass(List, awaited, InStep, true, lines, [&](bool) {
        std::optional<TLine> next = NextLine(Rx, lines.back(), true);
        if (next) lines.push_back(std::move(*next));
        return next.has_value();
      });
      const std::string which = pass.Awaited < Awaited.size() ? Awaited[pass.Awaited] : "";
      switch (pass.Kind) {
        case TPassResult::Reply:
          Events.push_back(which + " " + pass.Groups.back());
          break;
        case TPassResult::OtherReply:
          Events.push_back("other " + List[static_cast<std::size_t>(pass.Index)].Command + " " +
                           pass.Groups.back());
          break;
        case TPassResult::Refusal:
          Events.push_back("refused " + which);
          break;
        case TPassResult::Ambiguous:
          Events.push_back("ambiguous, at least " + which);
          break;
        case TPassResult::Dropped:
          Events.push_back("dropped");
          break;
      }
      if (pass.Kind == TPassResult::Reply || pass.Kind == TPassResult::Refusal) {
        Awaited.erase(Awaited.begin(), Awaited.begin() + static_cast<long>(pass.Awaited) + 1);
        if (Awaited.empty()) InStep = true;
      } else if (pass.Kind == TPassResult::Ambiguous) {
        Awaited.erase(Awaited.begin(), Awaited.begin() + static_cast<long>(pass.Awaited));
      }
      Rx.erase(0, pass.Through + 1);
    }
  }
};

TCommandList::TEntries QtCommands() {
  TCommandList list;
  LoadQTCommands(list, true);
  return *list.Snapshot();
}

struct TCase {
  const char* Name;
  std::vector<std::string> Awaited;  // oldest first
  bool InStep;
  std::string Input;
  std::vector<std::string> Events;
  std::vector<int> Codes;
  std::string Left;  // what stays in the receive text
};

TEST(RxPath, EveryChunkingGivesTheSameResult) {
  const TCommandList::TEntries list = QtCommands();
  const TCase cases[] = {
      {"a current", {"r61"}, true, " 12.50 a\r\n", {"r61 12.50"}, {}, ""},
      {"an acknowledgement", {"w61"}, true, "OK\r\n", {"w61 OK"}, {}, ""},
      {"a refusal in lower case", {"w61"}, true, "error\r\n", {"refused w61"}, {}, ""},
      {"a typed text the table does not know can be refused",
       {"x99"},
       true,
       "ERROR\r\n",
       {"refused x99"},
       {},
       ""},
      {"error lines, one with a second code", {}, true, "93\r\n07 (03)\r\n", {}, {93, 7}, ""},
      {"an error line between replies",
       {"w61"},
       true,
       "OK\r\n12\r\nLASER_ON\r\n",
       {"w61 OK", "other r60 LASER_ON"},
       {12},
       ""},
      {"noise before the reply",
       {"r61"},
       true,
       "XYZ\r\n 12.50 A\r\n",
       {"dropped", "r61 12.50"},
       {},
       ""},
      {"a current that fits both branches, nothing awaited",
       {},
       true,
       " 10.00 A\r\n",
       {"dropped"},
       {},
       ""},
      // Out of step: the late command and the engine's sync read are awaited.
      {"the late reply, then the sync read's: the line is in step again",
       {"r61", "r01"},
       false,
       " 12.50 A\r\nS/N: 1234\r\n",
       {"r61 12.50", "r01 1234"},
       {},
       ""},
      {"the late command lost: the sync read's reply settles it too",
       {"r61", "r01"},
       false,
       "S/N: 1234\r\n 12.50 A\r\n",
       {"r01 1234", "dropped"},
       {},
       ""},
      {"a reply of something given up on is dropped, not taken for another command",
       {"r61", "r01"},
       false,
       "LASER_ON\r\nFREQUENCY = 20000.00 HZ\r\n",
       {"dropped", "dropped"},
       {},
       ""},
      {"an ERROR could be anyone's",
       {"r61", "r01"},
       false,
       "ERROR\r\n",
       {"ambiguous, at least r61"},
       {},
       ""},
      {"an OK that fits two set commands settles nothing it could belong to",
       {"w62 1.00", "w60 0", "r01"},
       false,
       "OK\r\nS/N: 7\r\n",
       {"ambiguous, at least w62 1.00", "r01 7"},
       {},
       ""},
      {"a reply without its line end stays", {"r61"}, true, " 12.50 A", {}, {}, " 12.50 A"},
      {"an error line whose LF may still come stays", {}, true, "12\r", {}, {}, "12\r"},
      {"a lone CR ends an error line before other text",
       {"w61"},
       true,
       "12\rOK\r\n",
       {"w61 OK"},
       {12},
       ""},
      {"digits inside a line are no error code",
       {"r61"},
       true,
       "X 12\r\n 123\r\n",
       {"dropped", "dropped"},
       {},
       ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // One chunk, chunks of 1 to 4 bytes, and every cut into two.
    std::vector<std::vector<std::string>> chunkings;
    chunkings.push_back({c.Input});
    for (std::size_t n = 1; n <= 4; ++n) {
      std::vector<std::string> chunks;
      for (std::size_t at = 0; at < c.Input.size(); at += n)
        chunks.push_back(c.Input.substr(at, n));
      chunkings.push_back(chunks);
    }
    for (std::size_t cut = 1; cut < c.Input.size(); ++cut) {
      chunkings.push_back({c.Input.substr(0, cut), c.Input.substr(cut)});
    }
    for (const std::vector<std::string>& chunks : chunkings) {
      SCOPED_TRACE(testing::PrintToString(chunks));
      TDriver driver{list, c.Awaited, c.InStep, {}, {}, {}};
      for (const std::string& chunk : chunks) driver.Feed(chunk);
      EXPECT_EQ(driver.Events, c.Events);
      EXPECT_EQ(driver.Codes, c.Codes);
      EXPECT_EQ(driver.Rx, c.Left);
    }
  }
}

// The lines of one reply are matched together when they are all there; a first line alone is
// tried with empty lines after it, matches nothing and is dropped.
TEST(RxPath, ReplyOfSeveralLines) {
  const TCommandList::TEntries list = QtCommands();
  const struct {
    const char* Name;
    std::vector<std::string> Chunks;
    std::vector<std::string> Events;
  } cases[] = {
      {"in one chunk", {"RUNNING TIME:\r\n 123 H\r\n 45 M\r\n"}, {"r51 45"}},
      {"first line alone",
       {"RUNNING TIME:\r\n", " 123 H\r\n 45 M\r\n"},
       {"dropped", "dropped", "dropped"}},
      {"refused", {"ERROR\r\n"}, {"refused r51"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TDriver driver{list, {"r51"}, true, {}, {}, {}};
    for (const std::string& chunk : c.Chunks) driver.Feed(chunk);
    EXPECT_EQ(driver.Events, c.Events);
  }
}

// Once no LF can follow any more, a final CR ends an error line.
TEST(RxPath, FinalCrEndsAnErrorLineOnlyWhenSaidSo) {
  const TErrorLineScanner scanner;
  for (const bool finalCr : {false, true}) {
    std::string rx = "OK\r\n12\r";
    std::vector<int> codes;
    scanner.Scan(rx, finalCr, [&](std::string_view, int code, bool) {
      codes.push_back(code);
      return true;
    });
    EXPECT_EQ(codes, finalCr ? std::vector<int>{12} : std::vector<int>{});
    EXPECT_EQ(rx, finalCr ? "OK\r\n" : "OK\r\n12\r");
  }
}

// Every error line is counted and kept, also one whose code was reported already (which raises
// no second event): the count taken before an error-code read gives exactly its answer.
TEST(RxPath, ErrorLinesAreCountedWhetherReportedOrNot) {
  TReceiveText rx;
  const auto append = [&](std::string_view chunk) { return rx.Append(chunk, {}, {}); };
  const auto codes = [&](std::uint64_t since) {
    std::vector<int> out;
    for (const TErrorLine& line : rx.ErrorLinesSince(since)) out.push_back(line.Code);
    return out;
  };
  EXPECT_EQ(append("93\r\n").Codes, (std::vector<std::uint8_t>{93}));
  const std::uint64_t before = rx.ErrorLineCount();
  EXPECT_EQ(before, 1u);
  // Already reported: no event, but counted; a line waits for the LF after its CR.
  EXPECT_TRUE(append("93\r\n 7 (3)\r").Codes.empty());
  EXPECT_EQ(codes(before), (std::vector<int>{93}));
  append("\nS/N: 1\r\n");
  EXPECT_EQ(rx.ErrorLinesSince(before), (std::vector<TErrorLine>{{93, "93"}, {7, "7 (3)"}}));
  EXPECT_EQ(rx.Text(), "S/N: 1\r\n");
  EXPECT_TRUE(rx.ErrorLinesSince(rx.ErrorLineCount()).empty());
  // Only the last 64 are kept.
  for (int i = 0; i < 100; ++i) append(std::to_string(i % 90) + "\r\n");
  EXPECT_EQ(codes(0).size(), 64u);
  EXPECT_EQ(codes(0).back(), 9);
}

}  // namespace
