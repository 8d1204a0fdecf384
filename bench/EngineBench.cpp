// Engine figures: round trips through the laser object against the simulator, a bare pty loop
// for comparison, the cost of matching one line, and the CPU an idle connected engine uses.
// Prints one table; it measures, it never fails on time.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "laser/QNLaser.h"
#include "laser/Regex.h"
#include "sim/SimServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TRow {
  std::string Name;
  std::string Value;
  std::string Unit;
};
std::vector<TRow> Rows;

void Add(const std::string& name, double value, const std::string& unit, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  Rows.push_back({name, text, unit});
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t at = std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
  return v[at];
}

// Pumps the laser's hand-overs until `done` or the bound passes.
bool Pump(TLaser& laser, const std::function<bool()>& done, int boundMs = 5000) {
  const auto until = Clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (Clock::now() > until) return false;
    laser.Synchronizer().WaitPending(20);
    laser.Synchronizer().CheckSynchronize();
  }
  return true;
}

void RoundTrips(const std::string& dir, bool pace, int count) {
  sim::Options options;
  options.pace = pace;
  sim::SimServer server(options);
  server.Start(dir + "/COM5");
  TLaser laser;
  laser.SetPort(5);
  if (!laser.Open()) return;
  laser.LoadQTCommands(true);
  int replies = 0;
  laser.OnCurrent = [&](TLaser*, std::uint8_t, double) { ++replies; };
  std::vector<double> latencies;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto sent = Clock::now();
    laser.ReadCurrent(1);
    if (!Pump(laser, [&] { return replies > i; })) break;
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string label = pace ? "engine, paced 57600" : "engine, instant";
  Add("round trips/s (" + label + ")", latencies.size() / seconds, "1/s");
  Add("latency median (" + label + ")", Percentile(latencies, 0.5), "us");
  Add("latency p99 (" + label + ")", Percentile(latencies, 0.99), "us");
  laser.Disconnect();
}

// The same request and reply over a bare pty: write "r61" + CR, read until LF.
void BareLoop(const std::string& dir, int count) {
  sim::SimServer server(sim::Options{});
  server.Start(dir + "/COM6");
  const int fd = open((dir + "/COM6").c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  std::vector<double> latencies;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto sent = Clock::now();
    if (write(fd, "r61\r", 4) != 4) break;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Add("round trips/s (bare pty loop)", latencies.size() / seconds, "1/s");
  Add("latency median (bare pty loop)", Percentile(latencies, 0.5), "us");
  close(fd);
}

void Matching() {
  TCommandList list;
  LoadQTCommands(list, true);
  std::vector<TRegex> patterns;
  for (int i = 0; i < list.Count(); ++i) patterns.emplace_back(list.Items(i).Mask);
  const int n = 200000;
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

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

void IdleCpu(const std::string& dir, int seconds) {
  sim::SimServer server(sim::Options{});
  server.Start(dir + "/COM7");
  TLaser laser;
  laser.SetPort(7);
  if (!laser.Open()) return;
  const double before = ProcessCpuSeconds();
  Pump(
      laser, [] { return false; }, seconds * 1000);
  const double used = ProcessCpuSeconds() - before;
  Add("idle connected engine + simulator, CPU over " + std::to_string(seconds) + " s",
      100.0 * used / seconds, "%", 3);
  laser.Disconnect();
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  char pattern[] = "/tmp/laser-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  setenv("LASER_COM_DIR", dir.c_str(), 1);
  const int trips = quick ? 200 : 2000;
  RoundTrips(dir, false, trips);
  RoundTrips(dir, true, trips / 4);
  BareLoop(dir, trips);
  Matching();
  IdleCpu(dir, quick ? 2 : 10);
  std::filesystem::remove_all(dir);

  std::size_t width = 0;
  for (const TRow& r : Rows) width = std::max(width, r.Name.size());
  std::printf("%-*s  %12s  %s\n", static_cast<int>(width), "measure", "value", "unit");
  for (const TRow& r : Rows) {
    std::printf("%-*s  %12s  %s\n", static_cast<int>(width), r.Name.c_str(), r.Value.c_str(),
                r.Unit.c_str());
  }
  return 0;
}
