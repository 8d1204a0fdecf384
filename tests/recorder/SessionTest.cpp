// A scripted session of a real laser object against the simulated controller, recorded: every
// value row is what the simulator held when it answered, every answered read has its row, and the
// connection, the error code, the refusal and the unanswered command are there.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "../laser/Harness.h"
#include "RecorderTestUtil.h"
#include "laser/ErrorExplan.h"
#include "logic/recorder/Recorder.h"
#include "logic/recorder/TrendModel.h"
#include "logic/recorder/ValueFeed.h"
#include "sim/SimServer.h"

namespace {

using test::Clock;

std::string Fixed2(double value) {
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  return std::string(buffer, r.ptr);
}

int TriggerIndex(sim::Trigger t) {
  switch (t) {
    case sim::Trigger::Internal:
      return 0;
    case sim::Trigger::External:
      return 1;
    case sim::Trigger::CW:
      return 2;
  }
  return -1;
}

// "w62 21.00" -> "w62"
std::string Key(const std::string& command) {
  return command.substr(0, command.find(' '));
}

// The row each read of the two-branch family gives: quantity and branch.
const std::map<std::string, std::pair<std::string, std::string>> kReads = {
    {"r01", {"serial_number", "0"}}, {"r60", {"emission", "0"}},     {"r51", {"running_time", "0"}},
    {"r61", {"current", "1"}},       {"r62", {"current", "2"}},      {"r67", {"current_max", "1"}},
    {"r69", {"current_max", "2"}},   {"r71", {"trigger_mode", "1"}}, {"r72", {"trigger_mode", "2"}},
    {"r73", {"frequency", "1"}},     {"r74", {"frequency", "2"}}};

// What the simulator held for a row's quantity and branch, as the row's value should read, and
// the row's value in the same form.
std::string Held(const std::string& quantity, const std::string& branch,
                 const sim::DeviceState& s) {
  const sim::Branch& b = s.branch[branch == "2" ? 1 : 0];
  if (quantity == "serial_number") return std::to_string(s.sn);
  if (quantity == "emission") return s.laserOn ? "1" : "0";
  if (quantity == "running_time") return std::to_string(static_cast<long long>(s.runningMinutes));
  if (quantity == "current") return Fixed2(b.current);
  if (quantity == "current_max") return Fixed2(b.maxCurrent);
  if (quantity == "frequency") return Fixed2(b.frequency);
  if (quantity == "trigger_mode") return std::to_string(TriggerIndex(b.trigger));
  return "?";
}

std::string AsHeld(const std::string& quantity, const std::string& value) {
  if (quantity == "current" || quantity == "current_max" || quantity == "frequency") {
    return Fixed2(std::strtod(value.c_str(), nullptr));
  }
  return value;
}

TEST(RecorderSession, RowsMatchTheSimulatorsJournal) {
  sim::Options options;
  options.model = "qt2";
  options.journal = true;
  test::TComDir comDir;
  sim::SimServer server(options);
  ASSERT_TRUE(server.Start(comDir.Entry(5)));

  rectest::TTempDir dir;
  TSystemStampClock clock;
  TRecorder recorder;
  recorder.Settings().Folder = dir.Path();
  TTrendModel trend(clock.Now());
  TValueFeed feed(clock, &recorder, &trend);
  TExplanationList explanations;
  explanations.LoadQTExplanations();

  // The journal's length as each row was made: its reply came before.
  std::vector<std::size_t> marks;
  bool sawError = false;
  bool sawTimeout = false;
  TLaser laser(test::FastTiming());
  // As the window's fan-out will: every event the recorder takes, to the feed.
  auto mark = [&] { marks.push_back(server.JournalSize()); };
  laser.OnConnect = [&](TComPort*) { mark(), feed.OnConnect(); };
  laser.OnDisconnect = [&](TComPort*) { mark(), feed.OnDisconnect(); };
  laser.OnSN = [&](TLaser*, int sn) { mark(), feed.OnSN(sn); };
  laser.OnCurrent = [&](TLaser*, std::uint8_t b, double v) { mark(), feed.OnCurrent(b, v); };
  laser.OnMaxCurrent = [&](TLaser*, std::uint8_t b, double v) { mark(), feed.OnMaxCurrent(b, v); };
  laser.OnFrequency = [&](TLaser*, std::uint8_t b, double v) { mark(), feed.OnFrequency(b, v); };
  laser.OnTriggerMode = [&](TLaser*, std::uint8_t b, TTriggerMode m) {
    mark(), feed.OnTriggerMode(b, m);
  };
  laser.OnLaserON = [&](TLaser*, bool on) { mark(), feed.OnLaserON(on); };
  laser.OnRunningTime = [&](TLaser*, std::uint32_t m) { mark(), feed.OnRunningTime(m); };
  laser.OnLaserError = [&](TLaser*, std::uint8_t code) {
    const TErrorCodeExplanation* e = explanations.Find(code);
    mark(), feed.OnLaserError(code, e ? e->Text : "");
    sawError = true;
  };
  laser.OnCommandReport = [&](TLaser*, TCommandOutcome outcome, const std::string& text) {
    if (outcome == TCommandOutcome::Answered) return;
    mark(), feed.OnCommandReport(outcome, text);
    sawTimeout = sawTimeout || outcome == TCommandOutcome::NoReply;
  };
  feed.SetCommandList(&laser.CommandList());

  auto pumpUntil = [&](const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      laser.Synchronizer().CheckSynchronize();
      if (done()) return true;
      laser.Synchronizer().WaitPending(5);
    }
    return false;
  };
  auto settle = [&] {
    ASSERT_TRUE(pumpUntil([&] { return laser.QueueCount() == 0 && laser.InStep(); }));
  };

  std::string error;
  ASSERT_TRUE(recorder.Start(std::nullopt, clock.Now(), error)) << error;
  laser.SetPort(5);
  ASSERT_TRUE(laser.Open());
  laser.LoadQTCommands(true);

  // Everything read once, the running time while the laser is off.
  laser.ReadSN();
  laser.ReadStatus();
  laser.SendCommand(lcReadRunningTime, 0, "");
  for (std::uint8_t b = 1; b <= 2; ++b) {
    laser.ReadCurrent(b);
    laser.ReadMaxCurrent(b);
    laser.ReadFrequency(b);
    laser.ReadTriggerMode(b);
  }
  settle();
  // Settings read back; one refused (above the maximum).
  laser.SetCurrent(1, 21.5);
  laser.ReadCurrent(1);
  laser.SetCurrent(2, 99);
  laser.ReadCurrent(2);
  laser.SetFrequency(1, 12345.67);
  laser.ReadFrequency(1);
  laser.SetTriggerMode(2, 1);
  laser.ReadTriggerMode(1);
  laser.SetLaserOn(true);
  laser.ReadStatus();
  settle();
  // The interlock opens: the controller reports 93 and switches off.
  server.RaiseError(93);
  ASSERT_TRUE(pumpUntil([&] { return sawError; }));
  laser.ReadStatus();
  laser.ReadCurrent(2);
  settle();
  const std::size_t beforeTimeout = server.JournalSize();
  // A read that goes unanswered.
  server.WithDevice([](sim::Device& d) { d.SetDrop(1); });
  laser.ReadCurrent(1);
  ASSERT_TRUE(pumpUntil([&] { return sawTimeout; }));
  server.WithDevice([](sim::Device& d) { d.SetDrop(0); });
  settle();
  laser.Disconnect();
  recorder.Stop();

  const std::string text = rectest::ReadFile(recorder.FileName());
  const auto records = rectest::ParseCsv(text);
  ASSERT_TRUE(records) << text;
  ASSERT_EQ(records->size(), marks.size() + 1) << text;
  const std::vector<sim::JournalEntry> journal = server.Journal();
  const auto answered = [](const sim::JournalEntry& e) {
    return e.replyAtMs >= 0 && !e.refused && !e.dropped;
  };

  std::vector<char> used(journal.size(), 0);
  std::size_t cursor = 0;
  std::vector<std::string> problems;
  int refusals = 0, timeouts = 0, errors = 0;
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const std::vector<std::string>& row = (*records)[i + 1];
    ASSERT_EQ(row.size(), 8u);
    const std::string &branch = row[3], &quantity = row[4], &value = row[5], &note = row[7];
    const std::size_t until = std::min(marks[i], journal.size());
    const std::string where = "row " + std::to_string(i + 1) + " (" + quantity + " " + branch +
                              " " + value + " " + note + ")";
    if (quantity == "connection") {
      EXPECT_EQ(value, i == 0 ? "1" : "0") << where;
      EXPECT_TRUE(i == 0 || i + 1 == marks.size()) << where;
      continue;
    }
    if (quantity == "error_code") {
      ++errors;
      EXPECT_EQ(value, "93");
      EXPECT_EQ(note, explanations.Find(93)->Text);
      continue;
    }
    if (quantity == "command_refused" || quantity == "command_timeout") {
      ++(quantity == "command_refused" ? refusals : timeouts);
      bool found = false;
      for (std::size_t k = 0; k < until && !found; ++k) {
        found = journal[k].command == note &&
                (quantity == "command_refused" ? journal[k].refused : journal[k].dropped);
      }
      EXPECT_TRUE(found) << where << ": no such command in the journal";
      continue;
    }
    bool hit = false;
    std::string heldThen = "nothing";
    for (std::size_t k = cursor; k < until && !hit; ++k) {
      const auto read = kReads.find(Key(journal[k].command));
      if (read == kReads.end() || read->second != std::make_pair(quantity, branch) ||
          !answered(journal[k])) {
        continue;
      }
      heldThen = Held(quantity, branch, journal[k].state);
      if (heldThen != AsHeld(quantity, value)) continue;
      if (quantity == "trigger_mode") {
        static const char* names[] = {"Internal", "External", "CW"};
        EXPECT_EQ(note, names[std::stoi(value)]) << where;
      }
      hit = true;
      used[k] = 1;
      cursor = k + 1;
    }
    if (!hit) problems.push_back(where + ": the simulator held " + heldThen);
  }
  for (std::size_t k = 0; k < beforeTimeout; ++k) {
    if (kReads.count(Key(journal[k].command)) && answered(journal[k]) && !used[k]) {
      problems.push_back("no row for \"" + journal[k].command + "\" (#" + std::to_string(k) + ")");
    }
  }
  for (const std::string& p : problems) ADD_FAILURE() << p;
  EXPECT_EQ(refusals, 1);
  EXPECT_EQ(timeouts, 1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ((*records)[1][2], "");        // the laser is not known at the connection
  EXPECT_EQ(records->back()[2], "1234");  // and is named when it goes

  // The trend model saw the same session: both branches, the emission, the closing gap.
  const TTrendFrame frame = trend.Query(0, trend.SessionSeconds(clock.Now()), 0);
  int currents = 0;
  for (const TTrendLine& line : frame.Lines) currents += line.Quantity == TQuantity::Current;
  EXPECT_EQ(currents, 2);
  // One emission span when the laser reported itself on (a loaded machine may read its status
  // before the switch-on took), closed by the interlock.
  const bool reportedOn = std::any_of(records->begin(), records->end(), [](const auto& r) {
    return r.size() == 8 && r[4] == "emission" && r[5] == "1";
  });
  ASSERT_EQ(frame.Emission.size(), reportedOn ? 1u : 0u);
  if (reportedOn) {
    EXPECT_LT(frame.Emission[0].To, TTrendSpans::Infinity());
  }
  ASSERT_EQ(frame.Gaps.size(), 1u);
  EXPECT_EQ(frame.Gaps[0].To, TTrendSpans::Infinity());
  EXPECT_EQ(frame.Errors.size(), 1u);
}

}  // namespace
