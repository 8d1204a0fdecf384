// How long Laser OFF takes to reach the laser while the window refreshes its values over a slow
// or lossy line, and what the operator's other commands wait; how deep the queue gets and how
// the process grows meanwhile. Each scenario runs the refresh as the window does (a round of
// nine reads every period, a round only when the last is through) against the simulator in
// this process, with an operator's set every second, then clicks Laser OFF. It measures; it
// never fails on time.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "laser/QNLaser.h"
#include "sim/SimServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TScenario {
  const char* Name;
  int DelayMs;
  double Drop;
  int RefreshMs;
};

struct TResult {
  double OffMs = -1;          // click to the laser's receiving "w60 0"
  int CommandsBeforeOff = 0;  // written after the click, before the OFF
  double SetMedianMs = 0;     // the operator's sets: request to the laser's receiving them
  double SetMaxMs = 0;
  int DeepestQueue = 0;
  long RssStartKb = 0, RssEndKb = 0;
  int Rounds = 0;
};

long RssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

TResult Run(const TScenario& s, int seconds, const std::string& dir) {
  TResult result;
  sim::Options options;
  options.model = "qt2";
  options.delayMs = s.DelayMs;
  options.drop = s.Drop;
  sim::SimServer server(options);
  if (!server.Start(dir + "/COM3")) return result;
  TLaser laser;
  laser.SetPort(3);
  if (!laser.Open()) return result;
  laser.LoadQTCommands(true);
  const auto pump = [&](int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
      laser.Synchronizer().WaitPending(std::max(1, static_cast<int>(Ms(until - Clock::now()))));
      laser.Synchronizer().CheckSynchronize();
    }
  };
  // The device clock and ours, tied at a point: a command's arrival in our time.
  const auto clockAt = Clock::now();
  const double deviceAt = server.NowMs();
  const auto arrival = [&](double deviceMs) {
    return clockAt +
           std::chrono::microseconds(static_cast<long long>((deviceMs - deviceAt) * 1000));
  };

  struct TSet {
    std::string Text;
    Clock::time_point Asked;
  };
  std::vector<TSet> sets;
  result.RssStartKb = RssKb();
  const auto start = Clock::now();
  auto nextRound = start, nextSet = start + std::chrono::seconds(1);
  int setNumber = 0;
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    const auto now = Clock::now();
    if (now >= nextRound) {
      nextRound += std::chrono::milliseconds(s.RefreshMs);
      const bool due = laser.RefreshDue();
      TLaser::TRequestScope refresh(laser, TOrigin::Refresh);
      laser.ReadStatus();
      for (std::uint8_t b = 1; b <= 2; ++b) laser.ReadCurrent(b);
      for (std::uint8_t b = 1; b <= 2; ++b) laser.ReadMaxCurrent(b);
      for (std::uint8_t b = 1; b <= 2; ++b) laser.ReadTriggerMode(b);
      for (std::uint8_t b = 1; b <= 2; ++b) laser.ReadFrequency(b);
      result.Rounds += due;
    }
    if (now >= nextSet) {
      nextSet += std::chrono::seconds(1);
      // Distinct values, so that each set is found on the line.
      const double amps = 5 + (setNumber++ % 2000) / 100.0;
      laser.SetCurrent(1, amps);
      char text[32];
      std::snprintf(text, sizeof text, "w61 %.2f", amps);
      sets.push_back({text, Clock::now()});
    }
    result.DeepestQueue = std::max(result.DeepestQueue, laser.QueueCount());
    pump(std::max(1, std::min(s.RefreshMs, 20)));
  }
  result.RssEndKb = RssKb();

  const std::size_t before = server.Commands().size();
  const auto clicked = Clock::now();
  laser.SetLaserOn(false);
  for (int waited = 0; waited < 600 && result.OffMs < 0; ++waited) {
    pump(100);
    const auto received = server.Commands();
    for (std::size_t i = before; i < received.size(); ++i) {
      if (received[i].text != "w60 0") continue;
      result.OffMs = Ms(arrival(received[i].ms) - clicked);
      result.CommandsBeforeOff = static_cast<int>(i - before);
      break;
    }
  }
  // The sets: when the laser got each.
  std::vector<double> waits;
  const auto received = server.Commands();
  std::size_t from = 0;
  for (const TSet& set : sets) {
    for (std::size_t i = from; i < received.size(); ++i) {
      if (received[i].text != set.Text) continue;
      waits.push_back(Ms(arrival(received[i].ms) - set.Asked));
      from = i + 1;
      break;
    }
  }
  if (!waits.empty()) {
    std::sort(waits.begin(), waits.end());
    result.SetMedianMs = waits[waits.size() / 2];
    result.SetMaxMs = waits.back();
  }
  laser.Disconnect();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::string only;  // scenario numbers, "23" for the second and third
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      seconds = 10;
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "Usage: laser-off-bench [--quick | --seconds N] [--only DIGITS]\n"
                   "Each scenario refreshes for N seconds (default 60, --quick 10), then clicks "
                   "Laser OFF; --only 23 runs the second and third scenario alone.\n");
      return 2;
    }
  }
  char pattern[] = "/tmp/laser-off-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  setenv("LASER_COM_DIR", dir.c_str(), 1);
  const TScenario scenarios[] = {
      {"replies 150 ms late, refresh 1000 ms", 150, 0, 1000},
      {"replies 400 ms late, refresh 1000 ms", 400, 0, 1000},
      {"replies 400 ms late, refresh 20 ms", 400, 0, 20},
      {"prompt replies, refresh 20 ms", 0, 0, 20},
      {"20 % of replies lost, refresh 1000 ms", 0, 0.2, 1000},
  };
  std::printf("%-40s %8s %7s %9s %9s %6s %7s %9s\n", "scenario", "OFF ms", "before", "set med",
              "set max", "queue", "rounds", "RSS +kB");
  int number = 0;
  for (const TScenario& s : scenarios) {
    ++number;
    if (!only.empty() && only.find(static_cast<char>('0' + number)) == std::string::npos) continue;
    const TResult r = Run(s, seconds, dir);
    std::printf("%-40s %8.0f %7d %9.0f %9.0f %6d %7d %9ld\n", s.Name, r.OffMs, r.CommandsBeforeOff,
                r.SetMedianMs, r.SetMaxMs, r.DeepestQueue, r.Rounds, r.RssEndKb - r.RssStartKb);
    std::fflush(stdout);
  }
  std::printf(
      "\nOFF ms: click to the laser's receiving Laser OFF; before: commands written after the "
      "click and before it (the one in flight);\nset med/max: the operator's set-current, "
      "request to the laser's receiving it; queue: deepest queue (waiting and unanswered);\n"
      "rounds: refresh rounds queued; RSS +kB: growth of the process over the run.\n");
  ::rmdir(dir.c_str());
  return 0;
}
