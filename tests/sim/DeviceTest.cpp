// The device model on a clock the test drives: what each model answers, state round trips,
// clear and reset timing, and the effect of each fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace sim {
namespace {

struct Driver {
  Device device;
  double now = 0;
  bool hungUp = false;

  explicit Driver(Options o) : device(std::move(o)) {}

  // Everything the line carries from now to now + ms.
  std::string Run(double ms) {
    const double until = now + ms;
    std::string out;
    for (auto next = device.NextDueMs(); next && *next <= until; next = device.NextDueMs()) {
      now = std::max(now, *next);
      auto due = device.TakeDue(now);
      out += due.bytes;
      hungUp = hungUp || due.hangUp;
    }
    now = until;
    return out;
  }
  std::string Ask(const std::string& command, double within = 0) {
    device.Receive(command + "\r", now);
    return Run(within);
  }
};

Options Model(const char* name) {
  Options o;
  o.model = name;
  return o;
}

// A reply line, or "" for no answer at all.
struct Step {
  std::string command, reply;
};

void Converse(const Options& options, const std::vector<Step>& steps) {
  Driver d(options);
  for (const auto& [command, reply] : steps) {
    EXPECT_EQ(d.Ask(command), reply.empty() ? "" : reply + "\r\n")
        << options.model << ": " << command;
  }
}

TEST(DeviceModel, AnswersEachProbeOrder) {
  const std::string sn = "S/N: 1234.000";
  struct Case {
    const char* model;
    std::vector<Step> probe;
  } cases[] = {
      // SN, I1, I2, Imax2, f2, trigger mode 2, Imax1, f1, trigger mode 1
      {"qt2",
       {{"r01", sn},
        {"r61", " 10.00 A"},
        {"r62", " 12.50 A"},
        {"r69", "IMAX2 = 30.00 A"},
        {"r74", "FREQUENCY = 20000.00 HZ"},
        {"r72", "LASER2 EXTERNAL"},
        {"r67", "IMAX1 = 40.00 A"},
        {"r73", "FREQUENCY = 30000.00 HZ"},
        {"r71", "LASER1 INTERNAL"}}},
      // common frequency: f2 refused, trigger mode 2 answers
      {"qt2c",
       {{"r01", sn},
        {"r61", " 10.00 A"},
        {"r62", " 12.50 A"},
        {"r69", "IMAX2 = 30.00 A"},
        {"r74", "ERROR"},
        {"r72", "LASER2 EXTERNAL"},
        {"r67", "IMAX1 = 40.00 A"},
        {"r73", "FREQUENCY = 30000.00 HZ"},
        {"r71", "LASER1 INTERNAL"}}},
      // branch 1 alone: I2 refused, and every other branch-2 read
      {"qt1",
       {{"r01", sn},
        {"r61", " 10.00 A"},
        {"r62", "ERROR"},
        {"r67", "IMAX1 = 40.00 A"},
        {"r73", "FREQUENCY = 30000.00 HZ"},
        {"r71", "LASER1 INTERNAL"},
        {"r69", "ERROR"},
        {"r72", "ERROR"},
        {"r74", "ERROR"}}},
      // the single-branch family, read through the branch-2 current
      {"ze",
       {{"r01", sn},
        {"r61", "ERROR"},
        {"r62", " 12.50 A"},
        {"r65", "IMAX = 30.00 A"},
        {"r71", "FREQUENCY = 20000.00 HZ"},
        {"r70", "TRIGGER_MODE: EXTERNAL"}}},
      {"sn-only", {{"r01", sn}, {"r61", ""}, {"r62", ""}, {"w97 347", ""}, {"bogus", ""}}},
      {"mute", {{"r01", ""}, {"r61", ""}, {"r62", ""}}},
  };
  for (const auto& c : cases) Converse(Model(c.model), c.probe);
}

TEST(DeviceModel, SetsAreReadBack) {
  struct Case {
    const char* model;
    std::vector<Step> steps;
  } cases[] = {
      {"qt2",
       {{"w62 12.50", "OK"},
        {"r62", " 12.50 A"},
        {"w62 30.01", "ERROR"},  // above the branch maximum
        {"w62 -1", "ERROR"},
        {"w62 abc", "ERROR"},
        {"w62", "ERROR"},
        {"r62", " 12.50 A"},
        {"w69 10", "OK"},  // a lower maximum pulls the current down with it
        {"r69", "IMAX2 = 10.00 A"},
        {"r62", " 10.00 A"},
        {"p66 35", "OK"},
        {"r66", "LIMIT_I1 = 35.00 A"},
        {"r67", "IMAX1 = 35.00 A"},
        {"w67 36", "ERROR"},  // above the limit
        {"w61 35", "OK"},
        {"R061", " 35.00 A"},  // any letter case, leading zeros
        {"w73 1234.5", "OK"},
        {"r73", "FREQUENCY = 1234.50 HZ"},
        {"w74 500", "OK"},
        {"r74", "FREQUENCY = 500.00 HZ"},
        {"w71 1", "OK"},
        {"r71", "LASER1 EXTERNAL"},
        {"w72 2", "OK"},
        {"r72", "LASER2 CW"},
        {"w70 1", "OK"},  // internal is common to both branches
        {"r71", "LASER1 INTERNAL"},
        {"r72", "LASER2 INTERNAL"},
        {"w71 3", "ERROR"},
        {"w70 0", "ERROR"},
        {"w60 1", "OK"},
        {"r60", "LASER_ON"},
        {"w60 0.00", "OK"},
        {"r60", "LASER_OFF"},
        {"w60 2", "ERROR"},
        {"w01 secret", "OK"},
        {"w98 347", "OK"},
        {"w98 346", "ERROR"},
        {"w97", "ERROR"},
        {"w99 1", "ERROR"},
        {"r65", "ERROR"},
        {"r70", "ERROR"},
        {"r51", "OPERATING TIME:\r\n  1234 H\r\n  5 M"},
        {"r91", "FLOW: 3.50 L/MIN"},
        {"r21", "HUMIDITY LASER 1: 35.2 %"},
        {"r23", "HUMIDITY LASER 2: 36.8 %"},
        {"r170", "SEEDER-FREQUENCY = 80.5 MHZ"},
        {"r172", "PULSE COUNT = 10"},
        {"r173", "PULSE NUMBER = 5"},
        {"r175", "VREG SOLL = 50.0 %"},
        {"r99", "SERIENNUMMER-QXC : 1234.0"},
        {"r90", ""},  // no code held: nothing at all
        {"r61x", "ERROR"},
        {"hello", "ERROR"}}},
      {"qt2c",
       {{"w74 500", "ERROR"},
        {"w73 500", "OK"},
        {"r73", "FREQUENCY = 500.00 HZ"},
        {"w72 1", "OK"},
        {"r72", "LASER2 EXTERNAL"}}},
      {"qt1",
       {{"w62 5", "ERROR"},
        {"w69 5", "ERROR"},
        {"w72 1", "ERROR"},
        {"r23", "ERROR"},
        {"w61 5", "OK"},
        {"r61", "  5.00 A"}}},
      {"ze",
       {{"w62 20", "OK"},
        {"r62", " 20.00 A"},
        {"w62 31", "ERROR"},
        {"w61 5", "ERROR"},
        {"w70 0", "OK"},
        {"r70", "TRIGGER_MODE: EXTERNAL"},
        {"w70 2", "OK"},
        {"r70", "TRIGGER_MODE: CW"},
        {"w70 1", "OK"},
        {"r70", "TRIGGER_MODE: INTERNAL"},
        {"w70 3", "ERROR"},
        {"w71 5000", "OK"},
        {"r71", "FREQUENCY = 5000.00 HZ"},
        {"r67", "ERROR"},
        {"r73", "ERROR"},
        {"r72", "ERROR"}}},
  };
  for (const auto& c : cases) Converse(Model(c.model), c.steps);

  Options grenz = Model("ze");
  grenz.grenz = true;
  Converse(grenz, {{"r65", "I_GRENZ = 30.00 A"}});
}

TEST(DeviceModel, TakesAnyLineEnd) {
  const std::vector<std::vector<std::string>> inputs = {
      {"r01\r"}, {"r01\n"}, {"r01\r\n"}, {"\r\n\r\nr01\r\n"}, {"  r01 \t\r"}, {"r", "0", "1\r"}};
  for (const auto& chunks : inputs) {
    Driver d(Options{});
    for (const auto& chunk : chunks) d.device.Receive(chunk, 0);
    EXPECT_EQ(d.Run(0), "S/N: 1234.000\r\n") << chunks[0];
    ASSERT_EQ(d.device.Commands().size(), 1u) << chunks[0];
  }
}

TEST(DeviceErrors, AppearingCodeIsSentAndBlocksTheLaser) {
  Options o;
  o.laserOn = true;
  o.errorDetails = {{7, 3}};
  Driver d(o);
  d.device.RaiseError(93, d.now);
  EXPECT_EQ(d.Run(0), "93\r\n");
  d.device.RaiseError(7, d.now);
  EXPECT_EQ(d.Run(0), "07 (03)\r\n");
  EXPECT_EQ(d.Ask("r60"), "LASER_OFF\r\n");
  EXPECT_EQ(d.Ask("w60 1"), "ERROR\r\n");
  EXPECT_EQ(d.Ask("r90"), "07 (03)\r\n93\r\n");
  d.device.ClearErrorCode(93);
  d.device.ClearErrorCode(7);
  EXPECT_EQ(d.Ask("w60 1"), "OK\r\n");
}

TEST(DeviceErrors, ClearAnswersReadyAfterItsDelayAndPersistentCodesReturn) {
  Options o;
  o.errors = {93};
  o.persistentErrors = {7};
  o.clearDelayMs = 200;
  Driver d(o);
  EXPECT_EQ(d.Ask("r90"), "07\r\n93\r\n");
  EXPECT_EQ(d.Ask("w97 347", 199), "");
  EXPECT_EQ(d.Run(1), "READY\r\n07\r\n");
  EXPECT_EQ(d.Ask("r90"), "07\r\n");

  o.unclearableErrors = {5};
  Driver stuck(o);
  EXPECT_EQ(stuck.Ask("w97 347", 1000), "ERROR\r\n");
  EXPECT_EQ(stuck.Ask("r90"), "05\r\n07\r\n93\r\n");
}

TEST(DeviceErrors, ResetIsSilentThenReadyWithTheSavedSettings) {
  Options o;
  o.resetMs = 3000;
  Driver d(o);
  for (auto cmd : {"w62 12", "w98 347", "w62 20", "w60 1"}) ASSERT_EQ(d.Ask(cmd), "OK\r\n");
  EXPECT_EQ(d.Ask("w99 347"), "QXC03 OK\r\n");
  EXPECT_EQ(d.Ask("r01", 2999), "");
  EXPECT_EQ(d.Run(1), "READY\r\n");
  EXPECT_EQ(d.Ask("r62"), " 12.00 A\r\n");
  EXPECT_EQ(d.Ask("r60"), "LASER_OFF\r\n");
}

TEST(DeviceErrors, ResetKeepsOnlyLastingCodesAndReportsThemWhenUp) {
  Options o;
  o.resetMs = 3000;
  o.errors = {93};
  o.persistentErrors = {7};
  o.unclearableErrors = {5};
  Driver d(o);
  EXPECT_EQ(d.Ask("w99 347", 1000), "QXC03 OK\r\n");
  d.device.RaiseError(12, d.now);  // held back until the controller is up again
  EXPECT_EQ(d.Run(1999), "");
  EXPECT_EQ(d.Run(1), "READY\r\n05\r\n07\r\n12\r\n");
  EXPECT_EQ(d.Ask("r90"), "05\r\n07\r\n12\r\n");
}

TEST(DeviceFaults, EachFlagHasItsEffect) {
  const std::string sn = "S/N: 1234.000\r\n";
  struct Case {
    const char* name;
    std::function<void(Options&)> set;
    std::function<void(Driver&)> check;
  } cases[] = {
      {"drop: reply lost, command carried out", [](Options& o) { o.drop = 1; },
       [](Driver& d) {
         EXPECT_EQ(d.Ask("w62 3", 1000), "");
         EXPECT_EQ(d.device.State().branch[1].current, 3.0);
       }},
      {"error rate: refused, nothing done", [](Options& o) { o.errorRate = 1; },
       [](Driver& d) {
         EXPECT_EQ(d.Ask("w62 3"), "ERROR\r\n");
         EXPECT_EQ(d.device.State().branch[1].current, 12.5);
       }},
      {"delay", [](Options& o) { o.delayMs = 50; },
       [&](Driver& d) {
         EXPECT_EQ(d.Ask("r01", 49), "");
         EXPECT_EQ(d.Run(1), sn);
       }},
      {"split: pieces with small gaps", [](Options& o) { o.split = true; },
       [&](Driver& d) {
         d.device.Receive("r51\r", 0);
         std::string all;
         int pieces = 0;
         while (auto next = d.device.NextDueMs()) {
           auto bytes = d.device.TakeDue(*next).bytes;
           pieces += !bytes.empty();
           all += bytes;
           EXPECT_LT(*next, 10.0);
         }
         EXPECT_GE(pieces, 2);
         EXPECT_EQ(all, "OPERATING TIME:\r\n  1234 H\r\n  5 M\r\n");
       }},
      {"garbage: a line no reply form takes, before the reply", [](Options& o) { o.garbage = 1; },
       [&](Driver& d) {
         std::string out = d.Ask("r01");
         auto cut = out.find("\r\n") + 2;
         EXPECT_EQ(out.substr(cut), sn);
         std::string junk = out.substr(0, cut - 2);
         EXPECT_FALSE(junk.empty());
         EXPECT_TRUE(std::none_of(junk.begin(), junk.end(), ::isdigit)) << junk;
       }},
      {"unsolicited error line after the reply", [](Options& o) { o.unsolicitedErrorRate = 1; },
       [&](Driver& d) { EXPECT_EQ(d.Ask("r01"), sn + "93\r\n"); }},
      {"lower case", [](Options& o) { o.caseMode = CaseMode::Lower; },
       [](Driver& d) { EXPECT_EQ(d.Ask("r01"), "s/n: 1234.000\r\n"); }},
      {"mixed case", [](Options& o) { o.caseMode = CaseMode::Mixed; },
       [](Driver& d) {
         std::string out = d.Ask("r51");
         EXPECT_TRUE(std::any_of(out.begin(), out.end(), ::islower)) << out;
         EXPECT_TRUE(std::any_of(out.begin(), out.end(), ::isupper)) << out;
         std::transform(out.begin(), out.end(), out.begin(), ::toupper);
         EXPECT_EQ(out, "OPERATING TIME:\r\n  1234 H\r\n  5 M\r\n");
       }},
      {"pace: 173.6 us a byte each way", [](Options& o) { o.pace = true; },
       [&](Driver& d) {
         // "r01" CR arrives by 0.694 ms; 3 reply bytes are out by 1.215 ms, all 15 by 3.299 ms
         EXPECT_EQ(d.Ask("r01", 1.3), sn.substr(0, 3));
         EXPECT_EQ(d.Run(2.1), sn.substr(3));
       }},
      {"unplug after 2 commands", [](Options& o) { o.unplugAfter = 2; },
       [&](Driver& d) {
         EXPECT_EQ(d.Ask("r01"), sn);
         EXPECT_FALSE(d.hungUp);
         EXPECT_EQ(d.Ask("r01", 100), "");
         EXPECT_TRUE(d.hungUp);
       }},
      {"blanks: varied leading blanks", [](Options& o) { o.blanks = true; },
       [](Driver& d) {
         std::set<std::string> seen;
         for (int i = 0; i < 20; ++i) seen.insert(d.Ask("r61"));
         EXPECT_GE(seen.size(), 2u);
         for (auto s : seen) {
           EXPECT_EQ(s.substr(s.find_first_not_of(" \t")), "10.00 A\r\n");
         }
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    c.set(o);
    Driver d(o);
    c.check(d);
  }
}

TEST(DeviceFaults, OneSeedMakesARunReproducible) {
  auto run = [](std::uint64_t seed) {
    Options o;
    o.seed = seed;
    o.drop = o.garbage = o.errorRate = o.unsolicitedErrorRate = 0.3;
    o.split = o.blanks = true;
    o.caseMode = CaseMode::Mixed;
    Driver d(o);
    std::string out;
    for (int i = 0; i < 30; ++i) out += d.Ask(i % 2 ? "r61" : "r51", 20);
    return out;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
}

}  // namespace
}  // namespace sim
