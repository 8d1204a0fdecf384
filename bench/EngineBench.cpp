// Engine figures, side by side in one run against the same external laser-sim process on a
// pseudo-terminal: the round trip through the laser object, a bare C write/read loop and a Python
// pyserial readline() script; the engine's rate with the simulator pacing both directions at
// 57600 bit/s, as a share of what the line can carry; the cost of matching one line; and what the
// engine's own threads use while connected and idle. It measures; it never fails on time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchLoops.h"
#include "laser/QNLaser.h"
#include "laser/Regex.h"

namespace {

using namespace bench;
namespace fs = std::filesystem;

constexpr char kRequest[] = "r61\r";  // ReadCurrent 1 of the two-branch set

// ---------------------------------------------------------------- thread use

std::set<int> Tasks() {
  std::set<int> tids;
  for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
    tids.insert(std::atoi(entry.path().filename().c_str()));
  }
  return tids;
}

// CPU time in ns (the scheduler's own count) and voluntary context switches of one thread.
struct TThreadUse {
  double CpuNs = 0;
  long Wakeups = 0;   // voluntary context switches: the thread waited
  long Switches = 0;  // voluntary and forced
};

TThreadUse ThreadUse(int tid) {
  TThreadUse use;
  const std::string dir = "/proc/self/task/" + std::to_string(tid);
  std::ifstream sched(dir + "/schedstat");
  if (!(sched >> use.CpuNs)) {
    // No scheduler statistics: fall back on the tick counts of stat (fields 14 and 15).
    std::ifstream stat(dir + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::atof(field.c_str());
      if (i == 15) stime = std::atof(field.c_str());
    }
    use.CpuNs = (utime + stime) * 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  std::ifstream status(dir + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
      use.Wakeups = std::atol(line.c_str() + 24);
      use.Switches += use.Wakeups;
    } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      use.Switches += std::atol(line.c_str() + 27);
    }
  }
  return use;
}

// The threads started since `before` was taken: those of a laser object made in between.
std::set<int> TasksSince(const std::set<int>& before) {
  std::set<int> started;
  for (int tid : Tasks()) {
    if (!before.count(tid)) started.insert(tid);
  }
  return started;
}

TThreadUse Sum(const std::set<int>& tids) {
  TThreadUse sum;
  for (int tid : tids) {
    const TThreadUse use = ThreadUse(tid);
    sum.CpuNs += use.CpuNs;
    sum.Wakeups += use.Wakeups;
    sum.Switches += use.Switches;
  }
  return sum;
}

// ---------------------------------------------------------------- the three runners

// Runs the laser's hand-overs, as a UI thread would, until `done` or the bound passes.
bool Pump(TLaser& laser, const std::function<bool()>& done) {
  const auto until = Clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!done()) {
    if (Clock::now() > until) return false;
    laser.Synchronizer().WaitPending(100);
    laser.Synchronizer().CheckSynchronize();
  }
  return true;
}

// ReadCurrent 1 through the laser object, from the call to the OnCurrent event.
TLoop EngineLoop(int port, int count, int warmUp) {
  TLoop loop;
  TLaser laser;
  laser.SetPort(static_cast<TPort>(port));
  if (!laser.Open()) {
    loop.Failed = 1;
    return loop;
  }
  laser.LoadQTCommands(true);
  int replies = 0;
  laser.OnCurrent = [&](TLaser*, std::uint8_t, double) { ++replies; };
  Clock::time_point start;
  for (int i = 0; i < warmUp + count; ++i) {
    if (i == warmUp) start = Clock::now();
    const auto sent = Clock::now();
    laser.ReadCurrent(1);
    if (!Pump(laser, [&] { return replies > i; })) {
      ++loop.Failed;
      break;
    }
    if (i >= warmUp) {
      loop.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
  }
  loop.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  laser.Disconnect();
  return loop;
}

// Round trips per second with `ahead` requests queued, as the program's refresh queues several
// reads at once: the sending thread then writes the next command as soon as the matching thread
// releases it, without waiting for the UI thread.
struct TQueued {
  int Count = 0;  // round trips
  double Seconds = 0;
  long Waits = 0;     // of the engine's own threads
  long Switches = 0;  // voluntary and forced, of the engine's own threads

  void Merge(const TQueued& other) {
    Count += other.Count;
    Seconds += other.Seconds;
    Waits += other.Waits;
    Switches += other.Switches;
  }
  double Rate() const { return Seconds > 0 ? Count / Seconds : 0; }
  double PerRoundTrip(long n) const { return Count > 0 ? static_cast<double>(n) / Count : 0; }
};

TQueued EngineQueued(int port, int count, int ahead) {
  TQueued result;
  const std::set<int> before = Tasks();
  TLaser laser;
  const std::set<int> engine = TasksSince(before);
  laser.SetPort(static_cast<TPort>(port));
  if (!laser.Open()) return result;
  laser.LoadQTCommands(true);
  int replies = 0, pushed = 0;
  laser.OnCurrent = [&](TLaser*, std::uint8_t, double) { ++replies; };
  const TThreadUse used = Sum(engine);
  const auto start = Clock::now();
  while (replies < count) {
    while (pushed < count && pushed - replies < ahead) {
      laser.ReadCurrent(1);
      ++pushed;
    }
    const int before = replies;
    if (!Pump(laser, [&] { return replies > before; })) return result;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const TThreadUse now = Sum(engine);
  laser.Disconnect();
  result.Count = count;
  result.Seconds = seconds;
  result.Waits = now.Wakeups - used.Wakeups;
  result.Switches = now.Switches - used.Switches;
  return result;
}

// The least a program can do: write the request, block in read() until the reply's LF.
TLoop BareLoop(const std::string& path, int count, int warmUp) {
  TLoop loop;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    loop.Failed = 1;
    return loop;
  }
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tio);
  Clock::time_point start;
  for (int i = 0; i < warmUp + count; ++i) {
    if (i == warmUp) start = Clock::now();
    const auto sent = Clock::now();
    if (::write(fd, kRequest, sizeof kRequest - 1) != sizeof kRequest - 1) {
      ++loop.Failed;
      break;
    }
    char reply[256];
    std::size_t got = 0;
    while (got < sizeof reply) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, kBoundMs) != 1) break;
      const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (reply[got - 1] == '\n') break;
    }
    if (got == 0 || reply[got - 1] != '\n') {
      ++loop.Failed;
      break;
    }
    loop.ReplyBytes = got;
    if (i >= warmUp) {
      loop.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
  }
  loop.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  return loop;
}

// ---------------------------------------------------------------- matching

void Matching(bool quick) {
  TCommandList list;
  LoadQTCommands(list, true);
  std::vector<TRegex> patterns;
  for (int i = 0; i < list.Count(); ++i) patterns.emplace_back(list.Items(i).Mask);
  const int n = quick ? 20000 : 200000;
  TRegexMatch match;
  auto start = Clock::now();
  int hits = 0;
  for (int i = 0; i < n; ++i) hits += patterns[0].Search("S/N: 1234.000", match);
  double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
  Add("match one line, first pattern hits", ns, "ns", 0);
  start = Clock::now();
  for (int i = 0; i < n / 10; ++i) {
    for (const TRegex& p : patterns) hits += p.Search("NOTHING LIKE A REPLY 42", match);
  }
  ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (n / 10);
  Add("match one line against all " + std::to_string(patterns.size()) + " patterns, no hit", ns,
      "ns", 0);
  if (hits < 0) std::puts("");  // keeps the loops from being optimised away
}

// ---------------------------------------------------------------- idle engine

// Only the engine's threads are counted (those the laser object starts), not this program's
// own hand-over loop nor the simulator.
void IdleEngine(int port, int seconds) {
  const std::set<int> before = Tasks();
  TLaser laser;
  const std::set<int> engine = TasksSince(before);
  laser.SetPort(static_cast<TPort>(port));
  if (!laser.Open()) {
    AddText("idle engine threads", "n/a");
    return;
  }
  laser.LoadQTCommands(true);
  // One request first, so that every thread has run its loop once.
  int replies = 0;
  laser.OnCurrent = [&](TLaser*, std::uint8_t, double) { ++replies; };
  laser.ReadCurrent(1);
  Pump(laser, [&] { return replies > 0; });
  // ...and has gone back to its wait after it.
  const auto settled = Clock::now() + std::chrono::milliseconds(200);
  Pump(laser, [&] { return Clock::now() > settled; });
  const TThreadUse start = Sum(engine);
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    laser.Synchronizer().WaitPending(static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count()));
    laser.Synchronizer().CheckSynchronize();
  }
  const TThreadUse end = Sum(engine);
  const std::string label = " (" + std::to_string(engine.size()) + " threads, connected, " +
                            std::to_string(seconds) + " s)";
  Add("idle engine CPU" + label, 100.0 * (end.CpuNs - start.CpuNs) / 1e9 / seconds, "%", 4);
  Add("idle engine wake-ups" + label, static_cast<double>(end.Wakeups - start.Wakeups) / seconds,
      "1/s", 2);
  laser.Disconnect();
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string simExe = LASER_SIM_EXE;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--sim" && i + 1 < argc) {
      simExe = argv[++i];
    } else {
      std::fprintf(stderr,
                   "Usage: laser-bench [--quick] [--sim PATH-TO-laser-sim]\n"
                   "Prints one table; about a minute (--quick: a few seconds).\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/laser-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  setenv("LASER_COM_DIR", dir.c_str(), 1);
  const std::string loadBefore = LoadAverage();

  // The three runners take turns in rounds against one simulator, so that a change of load
  // during the run touches all three alike.
  const int rounds = quick ? 2 : 5;
  const int perRound = quick ? 200 : 1000;
  const int warmUp = 20;
  TLoop engine, bare, py;
  TQueued queued;
  {
    std::unique_ptr<TChild> sim = StartSimulator(simExe, dir, 5, false);
    if (!sim) {
      std::fprintf(stderr, "laser-bench: cannot start %s\n", simExe.c_str());
      return 1;
    }
    const std::string link = dir + "/COM5";
    for (int r = 0; r < rounds; ++r) {
      engine.Merge(EngineLoop(5, perRound, warmUp));
      bare.Merge(BareLoop(link, perRound, warmUp));
      py.Merge(PySerialLoop(link, perRound, warmUp));
    }
    queued = EngineQueued(5, perRound, 4);
  }
  AddLoop("engine", engine);
  AddLoop("bare C loop", bare);
  AddLoop("pyserial readline()", py);
  Add("round trips/s, engine, 4 requests queued", queued.Rate(), "1/s");
  Add("engine threads' waits per round trip, 4 queued", queued.PerRoundTrip(queued.Waits), "", 1);
  Add("engine threads' context switches per round trip, 4 queued",
      queued.PerRoundTrip(queued.Switches), "", 1);
  if (!engine.Us.empty() && !bare.Us.empty()) {
    AddRatio("engine / bare C loop, median latency", engine.Median() / bare.Median());
  }
  if (!engine.Us.empty() && !py.Us.empty()) {
    AddRatio("engine / pyserial, median latency", engine.Median() / py.Median());
    AddRatio("engine / pyserial, round trips/s", engine.Rate() / py.Rate());
  }

  // Paced both ways: each round trip carries the request and the reply over the line, one
  // after the other, 10 bits a byte.
  TLoop pacedEngine, pacedBare;
  TQueued pacedQueued;
  {
    std::unique_ptr<TChild> sim = StartSimulator(simExe, dir, 6, true);
    if (sim) {
      // In rounds too, so that the three runners see the same host: a short stall of the
      // machine would otherwise count against whichever runner it fell on.
      const int pacedRounds = quick ? 1 : 5;
      const int paced = 100;  // per round
      for (int r = 0; r < pacedRounds; ++r) {
        pacedBare.Merge(BareLoop(dir + "/COM6", paced, 5));
        pacedEngine.Merge(EngineLoop(6, paced, 5));
        pacedQueued.Merge(EngineQueued(6, paced, 4));
      }
    }
  }
  AddLoop("engine, paced 57600", pacedEngine);
  AddLoop("bare C loop, paced 57600", pacedBare);
  if (pacedBare.ReplyBytes > 0) {
    const std::size_t wire = sizeof kRequest - 1 + pacedBare.ReplyBytes;
    const double lineRate = 57600.0 / (10.0 * static_cast<double>(wire));
    Add("line round trips/s (" + std::to_string(wire) + " bytes both ways at 57600)", lineRate,
        "1/s");
    Add("engine, paced: share of the line's round-trip rate", 100.0 * pacedEngine.Rate() / lineRate,
        "%");
    Add("bare C loop, paced: share of the line's round-trip rate",
        100.0 * pacedBare.Rate() / lineRate, "%");
    // The same from the medians, which a few round trips delayed by other programs do not move.
    if (!pacedEngine.Us.empty()) {
      Add("engine, paced: line round-trip time / median latency",
          100.0 * 1e6 / lineRate / pacedEngine.Median(), "%");
    }
    Add("engine, paced, 4 requests queued: share of the line's round-trip rate",
        100.0 * pacedQueued.Rate() / lineRate, "%");
  }

  Matching(quick);
  {
    std::unique_ptr<TChild> sim = StartSimulator(simExe, dir, 7, false);
    if (sim) IdleEngine(7, quick ? 2 : 10);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);

  AddText("load average before / after", loadBefore + " / " + LoadAverage());
  PrintRows();
  return 0;
}
