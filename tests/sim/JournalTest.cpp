// The device's journal: each command with the answer it meant, what the line faults did to it,
// and the state it left, so that a client's reports can be checked against it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace sim {
namespace {

struct Driver {
  Device device;
  double now = 0;
  explicit Driver(Options o) : device(std::move(o)) {}
  std::string Ask(const std::string& command, double ms = 1000) {
    device.Receive(command + "\r", now);
    std::string out;
    const double until = now + ms;
    for (auto next = device.NextDueMs(); next && *next <= until; next = device.NextDueMs()) {
      now = std::max(now, *next);
      out += device.TakeDue(now).bytes;
    }
    now = until;
    return out;
  }
};

TEST(DeviceJournal, IsKeptOnlyWhenAskedFor) {
  Driver d{Options{}};
  d.Ask("r61");
  EXPECT_TRUE(d.device.Journal().empty());
}

TEST(DeviceJournal, RecordsWhatEachFaultDidToTheAnswer) {
  struct Case {
    const char* name;
    void (*faults)(Options&);
    std::string command;
    std::vector<std::string> reply;
    bool refused, injected, dropped, garbage;
    double replyAfterMs;  // from receipt; -1: nothing went out
    double current2;      // branch 2's current afterwards
  } cases[] = {
      {"plain read", [](Options&) {}, "r62", {" 12.50 A"}, false, false, false, false, 0, 12.5},
      {"set", [](Options&) {}, "w62 20.5", {"OK"}, false, false, false, false, 0, 20.5},
      {"set above the maximum",
       [](Options&) {},
       "w62 31",
       {"ERROR"},
       true,
       false,
       false,
       false,
       0,
       12.5},
      {"nothing held, nothing said",
       [](Options&) {},
       "r90",
       {},
       false,
       false,
       false,
       false,
       -1,
       12.5},
      {"drop", [](Options& o) { o.drop = 1; }, "w62 20", {"OK"}, false, false, true, false, -1, 20},
      {"error rate: refused, not done",
       [](Options& o) { o.errorRate = 1; },
       "w62 20",
       {"ERROR"},
       true,
       true,
       false,
       false,
       0,
       12.5},
      {"garbage",
       [](Options& o) { o.garbage = 1; },
       "r62",
       {" 12.50 A"},
       false,
       false,
       false,
       true,
       0,
       12.5},
      {"delay",
       [](Options& o) { o.delayMs = 600; },
       "r62",
       {" 12.50 A"},
       false,
       false,
       false,
       false,
       600,
       12.5},
  };
  for (const Case& c : cases) {
    Options o;
    o.journal = true;
    c.faults(o);
    Driver d(o);
    d.now = 50;
    d.Ask(c.command);
    ASSERT_EQ(d.device.Journal().size(), 1u) << c.name;
    const JournalEntry& e = d.device.Journal()[0];
    EXPECT_EQ(e.seq, 0u) << c.name;
    EXPECT_EQ(e.receivedMs, 50) << c.name;
    EXPECT_EQ(e.command, c.command) << c.name;
    EXPECT_EQ(e.reply, c.reply) << c.name;
    EXPECT_EQ(e.refused, c.refused) << c.name;
    EXPECT_EQ(e.injectedRefusal, c.injected) << c.name;
    EXPECT_EQ(e.dropped, c.dropped) << c.name;
    EXPECT_EQ(e.garbage, c.garbage) << c.name;
    EXPECT_EQ(e.replyAtMs, c.replyAfterMs < 0 ? -1 : 50 + c.replyAfterMs) << c.name;
    EXPECT_EQ(e.state.branch[1].current, c.current2) << c.name;
  }
}

// Under every fault at once, the journal's answers (less the dropped ones) are exactly what the
// line carried once the noise lines are taken out, in the same order.
TEST(DeviceJournal, AgreesWithTheLine) {
  Options o;
  o.journal = true;
  o.drop = o.garbage = o.errorRate = 0.2;
  o.split = true;
  o.seed = 11;
  Driver d(o);
  std::mt19937 pick(5);
  const char* commands[] = {"r61", "r62", "r73", "w61 12.25", "w62 40", "r60", "r90", "w73 500"};
  std::string line;
  for (int i = 0; i < 300; ++i) line += d.Ask(commands[pick() % std::size(commands)], 10);
  std::string said;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t end = line.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    if (line[at] != '~') said += line.substr(at, end + 2 - at);
    at = end + 2;
  }
  std::string meant;
  int dropped = 0, noise = 0;
  for (const JournalEntry& e : d.device.Journal()) {
    dropped += e.dropped;
    noise += e.garbage;
    if (e.dropped) continue;
    for (const std::string& l : e.reply) meant += l + "\r\n";
  }
  EXPECT_EQ(said, meant);
  EXPECT_EQ(d.device.Journal().size(), 300u);
  EXPECT_GT(dropped, 20);
  EXPECT_GT(noise, 20);
}

}  // namespace
}  // namespace sim
