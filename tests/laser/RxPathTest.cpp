// The receive path without threads: whatever the chunking of a reply, the same error codes are
// taken out and the same lines are delivered, refused or dropped.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "laser/Commands.h"
#include "laser/RxPath.h"

namespace {

// Appends, takes error lines out and runs passes as the receiving and matching threads do.
struct TDriver {
  const TCommandList::TEntries& List;
  int Pending;
  bool Late;
  std::string Rx;
  std::vector<int> Codes;
  std::vector<std::string> Events;

  void Feed(std::string_view chunk) {
    static const TErrorLineScanner scanner;
    AppendUpper(Rx, chunk);
    scanner.Scan(Rx, false, [&](std::string_view, int code, bool) {
      Codes.push_back(code);
      return true;
    });
    while (std::optional<TLine> first = FrameLine(Rx, 0)) {
      std::vector<TLine> lines{std::move(*first)};
      const TPassResult pass = MatchPass(List, Pending, Late, true, lines, [&](bool) {
        std::optional<TLine> next = NextLine(Rx, lines.back(), true);
        if (next) lines.push_back(std::move(*next));
        return next.has_value();
      });
      const std::string command =
          pass.Index >= 0 ? List[static_cast<std::size_t>(pass.Index)].Command : "";
      switch (pass.Kind) {
        case TPassResult::PendingReply:
        case TPassResult::OtherReply:
          Events.push_back(command + " " + pass.Groups.back());
          break;
        case TPassResult::PendingError:
          Events.push_back("refused " + command);
          break;
        case TPassResult::LateDropped:
          Events.push_back("late dropped");
          break;
        case TPassResult::Dropped:
          Events.push_back("dropped");
          break;
      }
      if (pass.Kind == TPassResult::PendingReply || pass.Kind == TPassResult::PendingError) {
        Pending = -1;
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
  const char* Pending;  // command text, "" for none
  bool Late;
  std::string Input;
  std::vector<std::string> Events;
  std::vector<int> Codes;
  std::string Left;  // what stays in the receive text
};

TEST(RxPath, EveryChunkingGivesTheSameResult) {
  const TCommandList::TEntries list = QtCommands();
  const TCase cases[] = {
      {"a current", "r61", false, " 12.50 a\r\n", {"r61 12.50"}, {}, ""},
      {"an acknowledgement", "w61", false, "OK\r\n", {"w61 OK"}, {}, ""},
      {"a refusal in lower case", "w61", false, "error\r\n", {"refused w61"}, {}, ""},
      {"error lines, one with a second code", "", false, "93\r\n07 (03)\r\n", {}, {93, 7}, ""},
      {"an error line between replies",
       "w61",
       false,
       "OK\r\n12\r\nLASER_ON\r\n",
       {"w61 OK", "r60 LASER_ON"},
       {12},
       ""},
      {"noise before the reply",
       "r61",
       false,
       "XYZ\r\n 12.50 A\r\n",
       {"dropped", "r61 12.50"},
       {},
       ""},
      {"a current that fits both branches, nothing pending",
       "",
       false,
       " 10.00 A\r\n",
       {"dropped"},
       {},
       ""},
      {"another command's reply while one is late",
       "r61",
       true,
       "OK\r\n",
       {"late dropped"},
       {},
       ""},
      {"a reply without its line end stays", "r61", false, " 12.50 A", {}, {}, " 12.50 A"},
      {"an error line whose LF may still come stays", "", false, "12\r", {}, {}, "12\r"},
      {"a lone CR ends an error line before other text",
       "w61",
       false,
       "12\rOK\r\n",
       {"w61 OK"},
       {12},
       ""},
      {"digits inside a line are no error code",
       "r61",
       false,
       "X 12\r\n 123\r\n",
       {"dropped", "dropped"},
       {},
       ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const int pending = *c.Pending ? TCommandList::IndexOfCommand(list, c.Pending) : -1;
    ASSERT_TRUE(!*c.Pending || pending >= 0);
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
      TDriver driver{list, pending, c.Late, {}, {}, {}};
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
  const int pending = TCommandList::IndexOfCommand(list, "r51");
  ASSERT_GE(pending, 0);
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
    TDriver driver{list, pending, false, {}, {}, {}};
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

}  // namespace
