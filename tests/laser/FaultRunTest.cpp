// Fault-injection runs: a scripted random mix of requests goes through a real TLaser to the
// simulated controller while the simulator injects a line fault (or all of them at once).
// Every value the engine reports must be the value the simulator held, for that command and
// branch, when it produced the reply; every timeout must stand for a reply that was lost or came
// after the reply wait; every refusal for an ERROR the simulator sent; nothing may hang.
//
// Each run prints one row of a table (the whole table at the end of the binary); run the binary
// with --gtest_also_run_disabled_tests to see every row, and set LASER_FAULT_SCALE to multiply
// the number of requests for longer soak runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "sim/SimServer.h"

namespace {

using test::Clock;

// The sanitizers run the threads several times slower: fewer requests there.
#ifdef LASER_FAULT_SANITIZED
constexpr double kBuildScale = 0.5;
#else
constexpr double kBuildScale = 1.0;
#endif

int Scaled(int requests) {
  double scale = kBuildScale;
  if (const char* s = std::getenv("LASER_FAULT_SCALE")) {
    const double v = std::strtod(s, nullptr);
    if (v > 0) scale *= v;
  }
  return std::max(4, static_cast<int>(std::lround(requests * scale)));
}

// ------------------------------------------------------------------ the table of runs

struct TRow {
  std::string Run;
  int Requests = 0;
  int Answered = 0;  // reads the simulator answered (not lost, not refused)
  int Values = 0;    // value events
  int Wrong = 0;
  int Timeouts = 0, Refusals = 0;
  int Dropped = 0, Refused = 0, Late = 0;  // what the simulator did
  int Mismatched = 0;  // timeouts and refusals that do not match the simulator's journal
  double Seconds = 0;
  // Median time from a command that timed out to the next command the controller received:
  // the reply wait plus whatever the engine keeps the line for a late reply (-1: no timeout).
  double TimeoutToNextMs = -1;
};

std::vector<TRow>& Rows() {
  static std::vector<TRow> rows;
  return rows;
}

std::string Format(const TRow& r) {
  char gap[32] = "-";
  if (r.TimeoutToNextMs >= 0) std::snprintf(gap, sizeof gap, "%.0f", r.TimeoutToNextMs);
  char line[256];
  std::snprintf(
      line, sizeof line,
      "| %-27s | %5d | %5d | %5d | %3d | %5d | %5d | %5d | %5d | %5d | %4d | %6.1f | %5s |",
      r.Run.c_str(), r.Requests, r.Answered, r.Values, r.Wrong, r.Timeouts, r.Refusals, r.Dropped,
      r.Refused, r.Late, r.Mismatched, r.Seconds, gap);
  return line;
}

const char* kHeader =
    "| run                         | requests | reads answered | values | wrong | timeouts | "
    "refusals "
    "| dropped | refused | late | mismatched | s | timeout to next ms |\n"
    "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|";

class TTablePrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Rows().empty()) return;
    std::cout << "\nFault runs (requests: sent by the test; reads answered, dropped, refused, late:"
                 " by the simulator; values, wrong, timeouts, refusals: raised by the engine)\n"
              << kHeader << "\n";
    for (const TRow& r : Rows()) std::cout << Format(r) << "\n";
  }
};

[[maybe_unused]] const auto* const kTable = ::testing::AddGlobalTestEnvironment(new TTablePrinter);

// ------------------------------------------------------------------ what the simulator held

std::string Fixed2(double value) {
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  return std::string(buffer, r.ptr);
}

const char* ModeName(sim::Trigger t) {
  switch (t) {
    case sim::Trigger::Internal:
      return "Internal";
    case sim::Trigger::External:
      return "External";
    case sim::Trigger::CW:
      return "CW";
  }
  return "?";
}

// "w62 21.00" -> "w62"
std::string Key(const std::string& command) {
  return command.substr(0, command.find(' '));
}

bool IsZe(const std::string& model) {
  return model == "ze";
}

// The value event each read gives, as the event line's words before the value.
const std::map<std::string, std::string>& Reports(const std::string& model) {
  static const std::map<std::string, std::string> qt = {{"r01", "OnSN"},
                                                        {"r60", "OnLaserON"},
                                                        {"r61", "OnCurrent 1"},
                                                        {"r62", "OnCurrent 2"},
                                                        {"r67", "OnMaxCurrent 1"},
                                                        {"r69", "OnMaxCurrent 2"},
                                                        {"r71", "OnTriggerMode 1"},
                                                        {"r72", "OnTriggerMode 2"},
                                                        {"r73", "OnFrequency 1"},
                                                        {"r74", "OnFrequency 2"}};
  static const std::map<std::string, std::string> ze = {
      {"r01", "OnSN"},           {"r60", "OnLaserON"},       {"r62", "OnCurrent 2"},
      {"r65", "OnMaxCurrent 2"}, {"r70", "OnTriggerMode 1"}, {"r71", "OnFrequency 1"}};
  return IsZe(model) ? ze : qt;
}

// What the simulator held for an event's subject ("OnCurrent 1"), printed as the event prints it.
std::string Held(const std::string& model, const std::string& subject, const sim::DeviceState& s) {
  if (subject == "OnSN") return std::to_string(s.sn);
  if (subject == "OnLaserON") return s.laserOn ? "true" : "false";
  const std::size_t cut = subject.rfind(' ');
  if (cut == std::string::npos) return "?";
  const int branch = subject[cut + 1] - '1';
  if (branch < 0 || branch > 1) return "?";
  // the single-branch model keeps its branch in the second slot
  const sim::Branch& b = s.branch[IsZe(model) ? 1 : static_cast<std::size_t>(branch)];
  const std::string what = subject.substr(0, cut);
  if (what == "OnCurrent") return Fixed2(b.current);
  if (what == "OnMaxCurrent") return Fixed2(b.maxCurrent);
  if (what == "OnFrequency") return Fixed2(b.frequency);
  if (what == "OnTriggerMode") return ModeName(b.trigger);
  return "?";
}

bool IsValueEvent(const std::string& line) {
  for (const char* name :
       {"OnCurrent ", "OnMaxCurrent ", "OnFrequency ", "OnTriggerMode ", "OnLaserON ", "OnSN "}) {
    if (line.rfind(name, 0) == 0) return true;
  }
  return false;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

std::string Describe(const sim::JournalEntry& e) {
  std::ostringstream s;
  s << "#" << e.seq << " " << e.command << " -> ";
  if (e.reply.empty()) {
    s << "nothing said";
  } else {
    s << e.reply.front() << (e.dropped ? " (dropped)" : "");
    if (!e.dropped) s << " after " << std::lround(e.replyAtMs - e.receivedMs) << " ms";
  }
  return s.str();
}

// ------------------------------------------------------------------ the requests

// One operator request with random arguments. Set values reach past the maxima now and then,
// so that the controller refuses some of them of its own accord.
void RandomRequest(TLaser& l, bool ze, std::mt19937& r) {
  auto pick = [&](int n) { return static_cast<int>(r() % static_cast<unsigned>(n)); };
  const std::uint8_t branch = static_cast<std::uint8_t>(1 + pick(2));
  // the single-branch family reads its current as branch 2, its trigger and frequency as 1
  const std::uint8_t current = ze ? 2 : branch;
  const std::uint8_t trigger = ze ? 1 : branch;
  switch (pick(16)) {
    case 0:
    case 1:
      l.ReadCurrent(current);
      break;
    case 2:
      l.ReadMaxCurrent(current);
      break;
    case 3:
    case 4:
      l.ReadFrequency(trigger);
      break;
    case 5:
    case 6:
      l.ReadTriggerMode(trigger);
      break;
    case 7:
      l.ReadStatus();
      break;
    case 8:
      l.ReadSN();
      break;
    case 9:
      l.ReadErrorCode();
      break;
    case 10:
    case 11:
      l.SetCurrent(current, pick(3501) / 100.0);
      break;
    case 12:
      l.SetFrequency(trigger, (100000 + pick(10900001)) / 100.0);
      break;
    case 13:
      l.SetTriggerMode(static_cast<std::uint8_t>(pick(3)), trigger);
      break;
    case 14:
      l.SetLaserOn(pick(2) == 1);
      break;
    default:
      l.ReadCurrent(current);
      break;
  }
}

// ------------------------------------------------------------------ one run

struct TFault {
  const char* Name;
  int Requests;
  void (*Apply)(sim::Options&);
  // A refresh round (as the window queues it) before each burst of the operator's requests,
  // whenever the last round is through.
  bool Refresh = false;
};

// The reads of one refresh round of the window, for the family.
void RefreshRound(TLaser& l, bool ze) {
  if (!l.RefreshDue()) return;
  TLaser::TRequestScope refresh(l, TOrigin::Refresh);
  l.ReadStatus();
  if (ze) {
    l.ReadCurrent(2);
    l.ReadMaxCurrent(2);
    l.ReadTriggerMode(1);
    l.ReadFrequency(1);
    return;
  }
  for (std::uint8_t b = 1; b <= 2; ++b) l.ReadCurrent(b);
  for (std::uint8_t b = 1; b <= 2; ++b) l.ReadMaxCurrent(b);
  for (std::uint8_t b = 1; b <= 2; ++b) l.ReadTriggerMode(b);
  for (std::uint8_t b = 1; b <= 2; ++b) l.ReadFrequency(b);
}

struct TEventRecord {
  std::string Line;
  std::size_t Journal;  // the simulator's journal length when the event was raised
};

void RunFaults(const TFault& fault, const std::string& model) {
  sim::Options options;
  options.model = model;
  options.journal = true;
  options.seed = 7;
  fault.Apply(options);
  const TLaserTiming timing = test::FastTiming();

  test::TComDir dir;
  sim::SimServer server(options);
  ASSERT_TRUE(server.Start(dir.Entry(5)));
  std::vector<TEventRecord> events;  // before the laser: its destructor may still report
  TLaser laser(timing);
  AttachEventLog(laser, [&](const std::string& line) {
    if (!StartsWith(line, "OnReceive")) events.push_back({line, server.JournalSize()});
  });
  auto pumpUntil = [&](const std::function<bool()>& done, int boundMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
      laser.Synchronizer().CheckSynchronize();
      if (done()) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      // short slices: the queue empties after a set's OK without any hand-over to wake us
      laser.Synchronizer().WaitPending(static_cast<int>(std::min<long long>(left, 5)));
    }
  };

  laser.SetPort(5);
  ASSERT_TRUE(laser.Open());
  if (IsZe(model)) {
    laser.LoadZECommands(true);
  } else {
    laser.LoadQTCommands(true);
  }

  TRow row;
  row.Run = std::string(fault.Name) + " " + model;
  row.Requests = Scaled(fault.Requests);
  std::vector<std::string> problems;
  std::mt19937 script(11);
  const auto start = Clock::now();
  for (int queued = 0; queued < row.Requests;) {
    // bursts, as an operator's click or the refresh timer queue them
    const int burst = std::min(row.Requests - queued, 1 + static_cast<int>(script() % 4));
    if (fault.Refresh) RefreshRound(laser, IsZe(model));
    for (int i = 0; i < burst; ++i) RandomRequest(laser, IsZe(model), script);
    queued += burst;
    // catches a hang, nothing else
    const int bound = 10000 + (burst + (fault.Refresh ? 9 : 0)) * (2000 + 3 * options.delayMs);
    if (!pumpUntil([&] { return laser.QueueCount() == 0; }, bound)) {
      problems.push_back("hang: " + std::to_string(laser.QueueCount()) + " commands still queued " +
                         std::to_string(bound) + " ms after a burst");
      break;
    }
  }
  // Give the engine what is still on its way (late replies) before closing the books.
  pumpUntil(
      [&] {
        bool idle = false;
        server.WithDevice([&](sim::Device& d) { idle = !d.NextDueMs(); });
        return idle;
      },
      10000);
  // ... and until the engine has settled everything and handed nothing over for a while (on a
  // loaded machine the last hand-over may come well after the simulator's last byte)
  pumpUntil([&] { return laser.QueueCount() == 0; }, 10000);
  for (std::size_t seen = events.size();;) {
    pumpUntil([] { return false; }, 300);
    if (events.size() == seen) break;
    seen = events.size();
  }
  row.Seconds = std::chrono::duration<double>(Clock::now() - start).count();

  const std::vector<sim::JournalEntry> journal = server.Journal();
  auto lost = [](const sim::JournalEntry& e) { return e.replyAtMs < 0; };
  auto late = [&](const sim::JournalEntry& e) {
    return e.replyAtMs >= 0 && e.replyAtMs - e.receivedMs >= timing.ReplyTimeoutMs;
  };
  // A reply due close to the end of the wait may land on either side of it on a loaded machine
  // (the wait starts when the engine wrote, the simulator stamps when it read): near the edge
  // both outcomes are right.
  constexpr double kEdgeMs = 150;
  auto mayTimeOut = [&](const sim::JournalEntry& e) {
    return lost(e) || e.replyAtMs - e.receivedMs >= timing.ReplyTimeoutMs - kEdgeMs;
  };
  auto mustTimeOut = [&](const sim::JournalEntry& e) {
    return lost(e) || e.replyAtMs - e.receivedMs >= timing.ReplyTimeoutMs + kEdgeMs;
  };
  // the error-code read is not waited for: its answer comes as error lines
  auto waited = [](const sim::JournalEntry& e) { return Key(e.command) != "r90"; };
  const auto& reports = Reports(model);

  // What the engine wrote is what the controller received, once each and in order. After a
  // timeout the line is out of step: the engine writes reads of its own (announced by OnResync),
  // whose replies are no values, and Laser OFF without a reply wait; a command of the test is
  // written again only once the line is in step.
  std::vector<std::string> sent;
  std::vector<char> own, unwaited;
  bool outOfStep = false, announced = false;
  int refusalReports = 0, noReplyReports = 0, refusalEvents = 0, timeoutEvents = 0;
  for (const TEventRecord& e : events) {
    if (StartsWith(e.Line, "OnCommandTimeout ")) {
      outOfStep = true;
      ++timeoutEvents;
    }
    refusalEvents += StartsWith(e.Line, "OnCommandError ");
    refusalReports += StartsWith(e.Line, "OnCommandReport refused ");
    noReplyReports += StartsWith(e.Line, "OnCommandReport no-reply ");
    if (StartsWith(e.Line, "OnResync ")) outOfStep = announced = true;
    if (!StartsWith(e.Line, "OnSend ")) continue;
    const std::string text = e.Line.substr(7);
    sent.push_back(text);
    own.push_back(announced);
    unwaited.push_back(!announced && outOfStep && text == "w60 0");
    if (!announced && text != "w60 0") outOfStep = false;
    announced = false;
  }
  // Every refusal and every timeout of the operator's commands is reported to the operator too
  // (the refresh reads are not the operator's).
  if (fault.Refresh ? refusalReports > refusalEvents || noReplyReports > timeoutEvents
                    : refusalReports != refusalEvents || noReplyReports < timeoutEvents) {
    problems.push_back(std::to_string(refusalEvents) + " refusals and " +
                       std::to_string(timeoutEvents) + " timeouts, but " +
                       std::to_string(refusalReports) + " refused and " +
                       std::to_string(noReplyReports) + " unanswered commands reported");
  }
  const auto isOwn = [&](std::size_t k) { return k < own.size() && own[k]; };
  for (std::size_t i = 0; i < std::max(sent.size(), journal.size()); ++i) {
    const std::string wrote = i < sent.size() ? sent[i] : "(nothing)";
    const std::string got = i < journal.size() ? journal[i].command : "(nothing)";
    if (wrote != got) {
      problems.push_back("command #" + std::to_string(i) + ": the engine wrote \"" + wrote +
                         "\", the controller received \"" + got + "\"");
      break;
    }
  }

  // Values: each one comes from a reply that the simulator produced after the one behind the
  // previous value (replies arrive in order) and before the event; greedy earliest matching.
  std::vector<std::string> wrong, mismatched, unexpected;
  std::size_t valueCursor = 0, failureCursor = 0;
  std::vector<char> timedOut(journal.size(), 0), refusedSeen(journal.size(), 0);
  for (const TEventRecord& ev : events) {
    const std::size_t until = std::min(ev.Journal, journal.size());
    if (IsValueEvent(ev.Line)) {
      ++row.Values;
      const std::size_t cut = ev.Line.rfind(' ');
      const std::string subject = ev.Line.substr(0, cut), value = ev.Line.substr(cut + 1);
      std::optional<std::size_t> hit;
      const sim::JournalEntry* nearest = nullptr;
      for (std::size_t k = valueCursor; k < until && !hit; ++k) {
        const sim::JournalEntry& e = journal[k];
        if (isOwn(k)) continue;
        const auto it = reports.find(Key(e.command));
        if (it == reports.end() || it->second != subject || lost(e) || e.refused) continue;
        nearest = &e;
        if (Held(model, subject, e.state) == value) hit = k;
      }
      if (hit) {
        valueCursor = *hit + 1;
        continue;
      }
      ++row.Wrong;
      std::string why = "\"" + ev.Line + "\": ";
      if (nearest != nullptr) {
        why += "the simulator held " + Held(model, subject, nearest->state) + " when it answered " +
               Describe(*nearest);
      } else {
        why += "no reply to its command since the previous value";
        if (until > 0) why += "; it holds " + Held(model, subject, journal[until - 1].state);
      }
      wrong.push_back(why);
      continue;
    }
    const bool timeout = StartsWith(ev.Line, "OnCommandTimeout ");
    const bool error = StartsWith(ev.Line, "OnCommandError ");
    if (!timeout && !error) {
      if (!StartsWith(ev.Line, "OnSend ") && !StartsWith(ev.Line, "OnResync ") &&
          !StartsWith(ev.Line, "OnCommandReport ") && ev.Line != "OnConnect") {
        unexpected.push_back(ev.Line);
      }
      continue;
    }
    ++(timeout ? row.Timeouts : row.Refusals);
    // "OnCommandTimeout lcReadCurrent 2 r62": the text sent is what follows the third blank
    std::size_t at = 0;
    for (int i = 0; i < 3 && at != std::string::npos; ++i) at = ev.Line.find(' ', at + 1);
    const std::string text = at == std::string::npos ? "" : ev.Line.substr(at + 1);
    std::optional<std::size_t> hit;
    const sim::JournalEntry* nearest = nullptr;
    for (std::size_t k = failureCursor; k < until && !hit; ++k) {
      const sim::JournalEntry& e = journal[k];
      if (e.command != text || isOwn(k)) continue;
      nearest = &e;
      const bool fits =
          timeout ? !timedOut[k] && mayTimeOut(e) : !refusedSeen[k] && e.refused && !lost(e);
      if (fits) hit = k;
    }
    if (hit) {
      failureCursor = *hit;  // a late refusal may follow the timeout of the same command
      (timeout ? timedOut : refusedSeen)[*hit] = 1;
      continue;
    }
    mismatched.push_back("\"" + ev.Line + "\" " +
                         (nearest ? "but the simulator " + Describe(*nearest)
                                  : std::string("with no such command since the previous one")));
  }

  // And the other way round: every lost or late reply timed out, every refusal was reported.
  int expectedValues = 0, edgeValues = 0;
  for (std::size_t k = 0; k < journal.size(); ++k) {
    const sim::JournalEntry& e = journal[k];
    row.Dropped += e.dropped;
    row.Refused += e.refused;
    row.Late += late(e);
    if (isOwn(k)) continue;
    const bool read = reports.count(Key(e.command)) > 0;
    if (read && !lost(e) && !e.refused) ++row.Answered;
    if (read && !lost(e) && !e.refused && !late(e)) {
      // a reply on time by the simulator's clock that the engine timed out anyway (a loaded
      // machine) may still be delivered as a late reply of its own command
      ++(timedOut[k] ? edgeValues : expectedValues);
    }
    if (!waited(e) || (k < unwaited.size() && unwaited[k])) continue;
    if (mustTimeOut(e) && !timedOut[k]) {
      mismatched.push_back("no timeout for " + Describe(e));
    }
    if (e.refused && !lost(e) && !late(e) && !refusedSeen[k]) {
      mismatched.push_back("no refusal for " + Describe(e));
    }
  }
  row.Mismatched = static_cast<int>(mismatched.size());
  std::vector<double> gaps;
  for (std::size_t k = 0; k + 1 < journal.size(); ++k) {
    if (timedOut[k]) gaps.push_back(journal[k + 1].receivedMs - journal[k].receivedMs);
  }
  if (!gaps.empty()) {
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    row.TimeoutToNextMs = gaps[gaps.size() / 2];
  }
  if (row.Late == 0 && (row.Values < expectedValues || row.Values > expectedValues + edgeValues)) {
    problems.push_back(std::to_string(expectedValues) + " replies to reads came on time (" +
                       std::to_string(edgeValues) + " more near the end of the wait), but " +
                       std::to_string(row.Values) + " values were reported");
  }

  Rows().push_back(row);
  std::cout << kHeader << "\n" << Format(row) << std::endl;

  std::ostringstream report;
  auto list = [&](const std::string& what, const std::vector<std::string>& items) {
    if (items.empty()) return;
    report << "\n  " << items.size() << " " << what << ", for example:";
    for (std::size_t i = 0; i < items.size() && i < 6; ++i) report << "\n    " << items[i];
  };
  list("wrong values (of " + std::to_string(row.Values) + ")", wrong);
  list("timeouts or refusals that do not match the simulator", mismatched);
  list("unexpected events", unexpected);
  for (const std::string& p : problems) report << "\n  " << p;
  const std::string text = report.str();
  if (!text.empty() && std::getenv("LASER_FAULT_TRACE") != nullptr) {
    for (std::size_t k = 0; k < journal.size(); ++k)
      std::cout << "  #" << k << " " << Describe(journal[k]) << " rx@" << journal[k].receivedMs
                << "\n";
    for (const TEventRecord& ev : events)
      std::cout << "  [" << ev.Journal << "] " << ev.Line << "\n";
  }
  EXPECT_TRUE(text.empty()) << row.Run << ":" << text;
}

// ------------------------------------------------------------------ the runs

// Few requests where every request waits out a delay; a few hundred elsewhere. A dropped reply
// costs the reply wait, so the drop runs are shorter than the others.
const TFault kDrop{"drop 0.1", 100, [](sim::Options& o) { o.drop = 0.1; }};
const TFault kSplit{"split", 300, [](sim::Options& o) { o.split = true; }};
const TFault kGarbage{"garbage 0.1", 300, [](sim::Options& o) { o.garbage = 0.1; }};
const TFault kErrorRate{"error-rate 0.1", 300, [](sim::Options& o) { o.errorRate = 0.1; }};
const TFault kLower{"lower case", 300, [](sim::Options& o) { o.caseMode = sim::CaseMode::Lower; }};
const TFault kMixed{"mixed case, blanks", 300, [](sim::Options& o) {
                      o.caseMode = sim::CaseMode::Mixed;
                      o.blanks = true;
                    }};
const TFault kDelay400{"delay 400", 12, [](sim::Options& o) { o.delayMs = 400; }};
const TFault kDelay600{"delay 600", 12, [](sim::Options& o) { o.delayMs = 600; }};
const TFault kAll{"all combined", 100, [](sim::Options& o) {
                    o.drop = 0.1;
                    o.split = true;
                    o.garbage = 0.1;
                    o.errorRate = 0.1;
                    o.caseMode = sim::CaseMode::Mixed;
                    o.blanks = true;
                  }};
// Every reply late as well: the late-reply rule among lost, noisy, split and refused replies.
const TFault kAllDelay600{"all combined, delay 600", 10, [](sim::Options& o) {
                            kAll.Apply(o);
                            o.delayMs = 600;
                          }};

// Replies later than the reply wait and the engine's own reads together: every value still goes
// to its own command, never to the next one whose pattern it also fits.
const TFault kDelay900{"delay 900", 4, [](sim::Options& o) { o.delayMs = 900; }};
const TFault kDelay1500{"delay 1500", 3, [](sim::Options& o) { o.delayMs = 1500; }};
const TFault kDelay3000{"delay 3000", 2, [](sim::Options& o) { o.delayMs = 3000; }};
// The operator's requests mixed into the window's refresh rounds on a lossy and a slow line.
const TFault kDropRefresh{"drop 0.2, refresh", 10, [](sim::Options& o) { o.drop = 0.2; }, true};
const TFault kDelay400Refresh{"delay 400, refresh", 6, [](sim::Options& o) { o.delayMs = 400; },
                              true};

// One test per fault and model, so that each can be disabled while its fault is open.
#define FAULT_RUN(name, fault, model) \
  TEST(FaultRuns, name) {             \
    RunFaults(fault, model);          \
  }

FAULT_RUN(Drop_qt2, kDrop, "qt2")
FAULT_RUN(Drop_ze, kDrop, "ze")
FAULT_RUN(Split_qt2, kSplit, "qt2")
FAULT_RUN(Split_ze, kSplit, "ze")
FAULT_RUN(Garbage_qt2, kGarbage, "qt2")
FAULT_RUN(Garbage_ze, kGarbage, "ze")
FAULT_RUN(ErrorRate_qt2, kErrorRate, "qt2")
FAULT_RUN(ErrorRate_ze, kErrorRate, "ze")
FAULT_RUN(LowerCase_qt2, kLower, "qt2")
FAULT_RUN(LowerCase_ze, kLower, "ze")
FAULT_RUN(MixedCase_qt2, kMixed, "qt2")
FAULT_RUN(MixedCase_ze, kMixed, "ze")
FAULT_RUN(Delay400_qt2, kDelay400, "qt2")
FAULT_RUN(Delay400_ze, kDelay400, "ze")
FAULT_RUN(Delay600_qt2, kDelay600, "qt2")
FAULT_RUN(Delay600_ze, kDelay600, "ze")
FAULT_RUN(AllCombined_qt2, kAll, "qt2")
FAULT_RUN(AllCombined_ze, kAll, "ze")
FAULT_RUN(AllCombinedDelay600_qt2, kAllDelay600, "qt2")
FAULT_RUN(AllCombinedDelay600_ze, kAllDelay600, "ze")
FAULT_RUN(Delay900_qt2, kDelay900, "qt2")
FAULT_RUN(Delay900_ze, kDelay900, "ze")
FAULT_RUN(Delay1500_qt2, kDelay1500, "qt2")
FAULT_RUN(Delay1500_ze, kDelay1500, "ze")
FAULT_RUN(Delay3000_qt2, kDelay3000, "qt2")
FAULT_RUN(Delay3000_ze, kDelay3000, "ze")
FAULT_RUN(DropRefresh_qt2, kDropRefresh, "qt2")
FAULT_RUN(DropRefresh_ze, kDropRefresh, "ze")
FAULT_RUN(Delay400Refresh_qt2, kDelay400Refresh, "qt2")
FAULT_RUN(Delay400Refresh_ze, kDelay400Refresh, "ze")

}  // namespace
