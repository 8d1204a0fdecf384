// The reply bookkeeping without threads: what is settled by which reply, when the line is in step,
// and what the sender is told to do while it is not.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "laser/ReplyBook.h"

namespace {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

const TClock::time_point T0 = TClock::time_point{} + 1h;

struct TCmd {
  std::string Text;
  int AtMs = 0;
  bool Waited = true;
  bool Sync = false;
  bool Late = false;
};

TReplyBook Book(const std::vector<TCmd>& cmds) {
  TReplyBook book;
  std::uint64_t serial = 0;
  for (const TCmd& c : cmds) {
    TWrittenCommand w;
    w.Serial = ++serial;
    w.Text = c.Text;
    w.Waited = c.Waited;
    w.Sync = c.Sync;
    w.At = T0 + ms(c.AtMs);
    book.Written(w);
    if (c.Late) book.TimedOut(serial);
  }
  return book;
}

std::vector<std::string> Texts(const std::vector<TWrittenCommand>& cmds) {
  std::vector<std::string> out;
  for (const TWrittenCommand& c : cmds) out.push_back(c.Text);
  return out;
}

TEST(ReplyBook, SettlingTakesTheCommandAndEverythingBeforeIt) {
  struct TCase {
    const char* Name;
    int Serial;
    bool Before;  // SettleBefore rather than Settle
    std::vector<std::string> Settled;
    int Left;
  };
  const std::vector<TCase> cases = {
      {"the oldest", 1, false, {"r61"}, 2},
      {"the middle one", 2, false, {"r61", "r62"}, 1},
      {"everything before the newest", 3, true, {"r61", "r62"}, 1},
      {"nothing before the oldest", 1, true, {}, 3},
      {"a serial no longer in the book", 9, false, {}, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyBook book = Book({{"r61"}, {"r62"}, {"r60"}});
    const auto settled = c.Before ? book.SettleBefore(c.Serial) : book.Settle(c.Serial);
    EXPECT_EQ(Texts(settled), c.Settled);
    EXPECT_EQ(book.Unsettled(), c.Left);
  }
}

TEST(ReplyBook, InStepAndPending) {
  struct TCase {
    const char* Name;
    std::vector<TCmd> Cmds;
    bool InStep;
    std::string Pending;  // empty: none
  };
  const std::vector<TCase> cases = {
      {"nothing written", {}, true, ""},
      {"one waited", {{"r61"}}, true, "r61"},
      {"the newest is pending", {{"r61"}, {"r62"}}, true, "r62"},
      {"a late one", {{"r61", 0, true, false, true}}, false, ""},
      {"late, then a sync", {{"r61", 0, true, false, true}, {"r01", 500, true, true}}, false, ""},
      {"Laser OFF written without a wait", {{"w60 0", 0, false}}, false, ""},
      {"a late one before a pending one",
       {{"r61", 0, true, false, true}, {"r62", 900}},
       false,
       "r62"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TReplyBook book = Book(c.Cmds);
    EXPECT_EQ(book.InStep(), c.InStep);
    const TWrittenCommand* pending = book.Pending();
    EXPECT_EQ(pending ? pending->Text : "", c.Pending);
  }
}

TEST(ReplyBook, PlanResync) {
  struct TCase {
    const char* Name;
    std::vector<TCmd> Cmds;
    int NowMs;
    int HeardMs;
    bool Phase;
    int SyncKind;
    bool Silent;
    bool GiveUp;
    int WakeMs;  // -1: no wake-up asked for
  };
  const TCmd late61{"r61", 0, true, false, true};
  const std::vector<TCase> cases = {
      {"in step: nothing to do", {{"r61"}}, 100, 0, false, -1, false, false, -1},
      {"late: the serial-number read first", {late61}, 500, 0, false, 0, false, false, 5000},
      {"a serial-number read in flight: the status read",
       {{"r01", 0, true, false, true}},
       500,
       0,
       false,
       1,
       false,
       false,
       5000},
      {"both in flight: the running-time read",
       {{"r01", 0, true, false, true}, {"r60", 10, true, false, true}},
       500,
       0,
       false,
       2,
       false,
       false,
       5010},
      {"every kind in flight: no read proves anything",
       {{"r01", 0, true, false, true},
        {"r60", 10, true, false, true},
        {"r51", 20, true, false, true}},
       500,
       0,
       false,
       -1,
       false,
       false,
       5020},
      {"a sync read given its wait",
       {late61, {"r01", 500, true, true}},
       800,
       0,
       false,
       -1,
       false,
       false,
       1000},
      {"its wait over: the next kind",
       {late61, {"r01", 500, true, true}},
       1000,
       0,
       false,
       1,
       false,
       false,
       5500},
      {"the second sync read waits twice as long",
       {late61, {"r01", 500, true, true}, {"r60", 1000, true, true}},
       1900,
       0,
       false,
       -1,
       false,
       false,
       2000},
      {"in a clear-error phase: no sync read", {late61}, 500, 0, true, -1, false, false, 5000},
      {"bytes heard put the silence off", {late61}, 5200, 4000, false, 0, false, false, 9000},
      {"silence for the whole while: nothing more comes",
       {late61},
       5000,
       0,
       false,
       -1,
       true,
       false,
       -1},
      {"only Laser OFF out of step: waits its reply wait",
       {{"w60 0", 0, false}},
       200,
       0,
       false,
       -1,
       false,
       false,
       500},
      {"only Laser OFF, its wait over: given up",
       {{"w60 0", 0, false}},
       500,
       0,
       false,
       -1,
       false,
       true,
       -1},
      {"Laser OFF behind a late read: sync as usual",
       {late61, {"w60 0", 400, false}},
       500,
       0,
       false,
       0,
       false,
       false,
       5400},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TReplyBook book = Book(c.Cmds);
    const TReplyBook::TResync plan =
        book.PlanResync(T0 + ms(c.NowMs), T0 + ms(c.HeardMs), c.Phase, 500ms, 500ms, 5000ms);
    EXPECT_EQ(plan.SyncKind, c.SyncKind);
    EXPECT_EQ(plan.Silent, c.Silent);
    EXPECT_EQ(plan.GiveUpUnwaited, c.GiveUp);
    if (c.WakeMs < 0) {
      EXPECT_FALSE(plan.WakeAt.has_value());
    } else {
      ASSERT_TRUE(plan.WakeAt.has_value());
      EXPECT_EQ(std::chrono::duration_cast<ms>(*plan.WakeAt - T0).count(), c.WakeMs);
    }
  }
}

TEST(ReplyBook, TheSyncWaitsDoubleWithinAnEpisodeAndStartAgainInStep) {
  TReplyBook book = Book({{"r61", 0, true, false, true}});
  for (int i = 0; i < 5; ++i) {
    TWrittenCommand sync;
    sync.Serial = 100 + static_cast<std::uint64_t>(i);
    sync.Text = "r01";
    sync.Sync = true;
    sync.At = T0;
    book.Written(sync);
  }
  // five sync reads in one episode: the wait is capped at eight times the first
  auto plan = book.PlanResync(T0 + 3999ms, T0, false, 500ms, 500ms, 60s);
  EXPECT_EQ(plan.WakeAt, T0 + 4000ms);
  book.SettleAll();
  EXPECT_TRUE(book.InStep());
  TWrittenCommand late;
  late.Serial = 200;
  late.Text = "r62";
  late.Late = true;
  late.At = T0;
  book.Written(late);
  TWrittenCommand sync;
  sync.Serial = 201;
  sync.Text = "r01";
  sync.Sync = true;
  sync.At = T0;
  book.Written(sync);
  plan = book.PlanResync(T0 + 499ms, T0, false, 500ms, 500ms, 60s);
  EXPECT_EQ(plan.WakeAt, T0 + 500ms);
}

TEST(ReplyBook, TheSendersWaitEnds) {
  struct TCase {
    const char* Name;
    bool Noted;
    bool Refused;
    bool Cleared;
    TReplyBook::TWaitEnd End;
  };
  const std::vector<TCase> cases = {
      {"answered", true, false, false, TReplyBook::TWaitEnd::Answered},
      {"refused", true, true, false, TReplyBook::TWaitEnd::Refused},
      {"no reply: late", false, false, false, TReplyBook::TWaitEnd::TimedOut},
      {"taken by a close", false, false, true, TReplyBook::TWaitEnd::Gone},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplyBook book = Book({{"r61"}});
    book.Await(1);
    if (c.Noted) book.NoteEnd(1, c.Refused);
    if (c.Cleared) book.Clear();
    TWrittenCommand late;
    EXPECT_EQ(book.EndWait(1, late), c.End);
    EXPECT_FALSE(book.Awaiting(1));
    if (c.End == TReplyBook::TWaitEnd::TimedOut) {
      EXPECT_EQ(late.Text, "r61");
      EXPECT_FALSE(book.InStep());
    }
  }
}

TEST(ReplyBook, TheHeldErrorBelongsToOneCommand) {
  TReplyBook book;
  TUnanswered read;
  read.Command.Serial = 1;
  read.Command.Text = "r90";
  book.HoldError(read, 2);
  EXPECT_FALSE(book.TakeHeldError(3).has_value());
  const auto held = book.TakeHeldError(2);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->Command.Text, "r90");
  EXPECT_FALSE(book.TakeHeldError(2).has_value());
}

TEST(ReplyBook, UnansweredReadsExpireAndSettle) {
  TReplyBook book;
  for (std::uint64_t s = 1; s <= 3; ++s) {
    TUnanswered read;
    read.Command.Serial = s;
    read.Until = T0 + ms(100 * static_cast<int>(s));
    book.AddUnanswered(read);
  }
  // the first has expired by 150 ms; the second is the oldest that may still be answered
  auto first = book.TakeUnanswered(T0 + 150ms);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->Command.Serial, 2u);
  book.SettleUnanswered(4);
  EXPECT_FALSE(book.TakeUnanswered(T0).has_value());
}

}  // namespace
