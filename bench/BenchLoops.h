// What the benches that run the simulator share: a table of figures printed at the end, a loop
// of round trips with its latencies, child processes (laser-sim, a Python script) and a pyserial
// round-trip loop on a bare line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;
inline constexpr int kBoundMs = 5000;  // a reply that takes this long is lost: the loop ends

// ---------------------------------------------------------------- the table

struct TRow {
  std::string Name, Value, Unit;
};
inline std::vector<TRow> Rows;

inline void Add(const std::string& name, double value, const std::string& unit, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  Rows.push_back({name, text, unit});
}

inline void AddText(const std::string& name, const std::string& value) {
  Rows.push_back({name, value, ""});
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Latencies of the measured round trips, and the time they took together.
struct TLoop {
  std::vector<double> Us;
  double Seconds = 0;
  int Failed = 0;  // lost replies, or a runner that could not start
  std::size_t ReplyBytes = 0;

  void Merge(const TLoop& other) {
    Us.insert(Us.end(), other.Us.begin(), other.Us.end());
    Seconds += other.Seconds;
    Failed += other.Failed;
    if (other.ReplyBytes) ReplyBytes = other.ReplyBytes;
  }
  double Rate() const { return Seconds > 0 ? Us.size() / Seconds : 0; }
  double Percentile(double p) const {
    if (Us.empty()) return 0;
    std::vector<double> v = Us;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
  }
  double Median() const { return Percentile(0.5); }
};

inline void AddLoop(const std::string& label, const TLoop& loop) {
  if (loop.Us.empty()) {
    AddText("round trip, " + label, "n/a");
    return;
  }
  Add("round trips/s, " + label, loop.Rate(), "1/s");
  Add("latency median, " + label, loop.Median(), "us");
  Add("latency p99, " + label, loop.Percentile(0.99), "us");
  if (loop.Failed) Add("lost replies, " + label, loop.Failed, "", 0);
}

// ---------------------------------------------------------------- child processes

struct TChild {
  pid_t Pid = -1;
  int Out = -1;  // its standard output

  TChild(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    // A Python run from the source folder would take serial/ there for its module.
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    if (::posix_spawnp(&Pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    Out = pipeFds[0];
  }
  ~TChild() {
    if (Pid > 0) {
      ::kill(Pid, SIGTERM);
      Wait();
    }
    if (Out >= 0) ::close(Out);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // One line of its output, within the bound.
  std::optional<std::string> ReadLine(int boundMs) {
    std::string line;
    const auto until = Clock::now() + std::chrono::milliseconds(boundMs);
    while (Out >= 0) {
      const int left = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count());
      pollfd p{Out, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) != 1) return std::nullopt;
      char c = 0;
      if (::read(Out, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
    return std::nullopt;
  }
  int Wait() {
    int status = -1;
    if (Pid > 0 && ::waitpid(Pid, &status, 0) == Pid) Pid = -1;
    return status;
  }
};

// laser-sim serving COMn in `dir`; empty when it did not come up.
inline std::unique_ptr<TChild> StartSimulator(const std::string& exe, const std::string& dir,
                                              int port, bool pace) {
  std::vector<std::string> args = {exe, "--model", "qt2", "--link",
                                   dir + "/COM" + std::to_string(port)};
  if (pace) args.push_back("--pace");
  auto sim = std::make_unique<TChild>(args);
  if (sim->Pid <= 0 || !sim->ReadLine(kBoundMs)) return nullptr;  // the slave path: it serves
  return sim;
}

// pyserial as a script would use it: write, then readline(). Debian's interpreter is the one
// with python3-serial; -I keeps a user's environment out.
inline constexpr char kPySerialScript[] = R"(
import sys, time, serial
port = serial.Serial(sys.argv[1], 57600, timeout=5)
count, warm = int(sys.argv[2]), int(sys.argv[3])
us = []
for i in range(warm + count):
    if i == warm:
        start = time.perf_counter()
    sent = time.perf_counter()
    port.write(b"r61\r")
    line = port.readline()
    if not line.endswith(b"\n"):
        break
    if i >= warm:
        us.append((time.perf_counter() - sent) * 1e6)
seconds = time.perf_counter() - start if us else 0
print(len(us), seconds, len(line))
for u in us:
    print(u)
)";

inline std::string Python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

inline TLoop PySerialLoop(const std::string& path, int count, int warmUp) {
  TLoop loop;
  TChild py(
      {Python(), "-I", "-c", kPySerialScript, path, std::to_string(count), std::to_string(warmUp)});
  std::optional<std::string> head = py.ReadLine(60'000);
  std::size_t n = 0;
  if (head) {
    std::istringstream in(*head);
    in >> n >> loop.Seconds >> loop.ReplyBytes;
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<std::string> line = py.ReadLine(kBoundMs);
    if (!line) break;
    loop.Us.push_back(std::strtod(line->c_str(), nullptr));
  }
  py.Wait();
  if (loop.Us.size() < static_cast<std::size_t>(count)) ++loop.Failed;
  return loop;
}

inline void AddRatio(const std::string& name, double value) {
  Add(name, value, "x", 2);
}

// The table, names left-aligned.
inline void PrintRows() {
  std::size_t width = 0;
  for (const TRow& r : Rows) width = std::max(width, r.Name.size());
  std::printf("%-*s  %14s  %s\n", static_cast<int>(width), "measure", "value", "unit");
  for (const TRow& r : Rows) {
    std::printf("%-*s  %14s  %s\n", static_cast<int>(width), r.Name.c_str(), r.Value.c_str(),
                r.Unit.c_str());
  }
}

}  // namespace bench
