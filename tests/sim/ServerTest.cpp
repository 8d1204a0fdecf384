// The simulator on a real pseudo-terminal, opened the way a serial program opens a port, and
// the laser-sim program end to end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "sim/Cli.h"
#include "sim/SimServer.h"

extern char** environ;

namespace sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kBoundMs = 5000;  // generous: these are waits for an event, not timings

struct TempDir {
  fs::path path;
  TempDir() {
    char name[] = "/tmp/laser-sim-test-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
};

struct Port {
  int fd = -1;
  explicit Port(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B57600);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  ~Port() {
    if (fd >= 0) ::close(fd);
  }
  void Send(const std::string& s) const {
    ASSERT_EQ(::write(fd, s.data(), s.size()), ssize_t(s.size()));
  }
  // Reads until `ending` has come, the line hangs up, or the bound runs out.
  std::string ReadUntil(const std::string& ending, int boundMs = kBoundMs) const {
    std::string got;
    const auto until = Clock::now() + std::chrono::milliseconds(boundMs);
    while (got.find(ending) == std::string::npos && Clock::now() < until) {
      pollfd p{fd, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
      char buf[256];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool HangsUp() const {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kBoundMs) <= 0) return false;
    char c;
    return (p.revents & POLLHUP) || ::read(fd, &c, 1) <= 0;
  }
};

TEST(SimServer, ServesOverItsLink) {
  TempDir dir;
  const std::string link = dir.path / "COM5";
  SimServer server(Options{});
  ASSERT_TRUE(server.Start(link));
  EXPECT_EQ(fs::read_symlink(link), server.SlavePath());

  Port port(link);
  ASSERT_GE(port.fd, 0);
  port.Send("r01\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "S/N: 1234.000\r\n");
  ASSERT_TRUE(server.WaitForCommands(1, kBoundMs));
  EXPECT_EQ(server.Commands().at(0).text, "r01");

  server.RaiseError(93);
  EXPECT_EQ(port.ReadUntil("\r\n"), "93\r\n");
  server.SetSN(42);
  port.Send("r01\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "S/N: 42.000\r\n");
}

TEST(SimServer, UnplugHangsUpAndReplugServesAgain) {
  TempDir dir;
  const std::string link = dir.path / "COM7";
  SimServer server(Options{});
  ASSERT_TRUE(server.Start(link));
  {
    Port port(link);
    ASSERT_GE(port.fd, 0);
    server.Unplug();
    EXPECT_TRUE(port.HangsUp());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(server.Plugged());
  }
  ASSERT_TRUE(server.Replug());
  EXPECT_EQ(fs::read_symlink(link), server.SlavePath());
  Port port(link);
  ASSERT_GE(port.fd, 0);
  port.Send("r01\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "S/N: 1234.000\r\n");
}

TEST(SimServer, LineDiesAsTheNthCommandArrives) {
  TempDir dir;
  const std::string link = dir.path / "COM2";
  Options o;
  o.unplugAfter = 2;
  SimServer server(o);
  ASSERT_TRUE(server.Start(link));
  Port port(link);
  port.Send("r01\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "S/N: 1234.000\r\n");
  port.Send("r01\r");
  EXPECT_TRUE(port.HangsUp());
  EXPECT_EQ(server.Commands().size(), 2u);
}

// The line time of the command and of the reply, less at most the wake-up lead each way: the
// lead may make a byte early by that much, never by more, however often the line is used.
TEST(SimServer, PacedRoundTripTakesItsLineTime) {
  Options o;
  o.pace = true;
  SimServer server(o);
  ASSERT_TRUE(server.Start(""));
  Port port(server.SlavePath());
  const std::string command = "r51\r";
  for (int i = 0; i < 20; ++i) {
    const auto sent = Clock::now();
    port.Send(command);
    const std::string reply = port.ReadUntil(" M\r\n");
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    ASSERT_EQ(reply, "OPERATING TIME:\r\n  1234 H\r\n  5 M\r\n");
    const double lineMs = (command.size() + reply.size()) * 10 * 1000.0 / 57600;  // 10 bits a byte
    EXPECT_GE(ms, lineMs - 2 * WakeLead::kMaxMs) << "round trip " << i;
  }
}

TEST(SimServer, WakeLeadFollowsTheLatenessWithinItsCap) {
  struct {
    const char* Name;
    std::vector<double> Late;
    double Low, High;
  } cases[] = {
      {"nothing observed", {}, 0, 0},
      {"steady lateness", std::vector<double>(100, 0.03), 0.0299, 0.0301},
      {"too late: capped", std::vector<double>(100, 5.0), 0.999 * WakeLead::kMaxMs,
       WakeLead::kMaxMs},
      {"early (a clock step): never negative", std::vector<double>(100, -1.0), 0, 0},
      {"one stall moves it only a little", {0.02, 0.02, 0.02, 50.0}, 0.0, 0.04},
  };
  for (const auto& c : cases) {
    WakeLead lead;
    for (double late : c.Late) lead.Observe(late);
    EXPECT_GE(lead.Ms(), c.Low) << c.Name;
    EXPECT_LE(lead.Ms(), c.High) << c.Name;
  }
}

// ---------------------------------------------------------------- laser-sim

struct Program {
  pid_t pid = -1;
  int out = -1, err = -1;

  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), LASER_SIM_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int o[2], e[2];
    if (::pipe(o) != 0 || ::pipe(e) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, o[1], 1);
    posix_spawn_file_actions_adddup2(&fa, e[1], 2);
    posix_spawn_file_actions_addclose(&fa, o[0]);
    posix_spawn_file_actions_addclose(&fa, e[0]);
    if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(o[1]);
    ::close(e[1]);
    out = o[0];
    err = e[0];
  }
  ~Program() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(out);
    ::close(err);
  }
  std::string ReadLine(int fd) const {
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, kBoundMs) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST(LaserSim, ServesLinkLogsAndTakesControlLines) {
  TempDir dir;
  const std::string link = dir.path / "COM5", log = dir.path / "log", fifo = dir.path / "ctl";
  Program sim({"--model", "qt2c", "--link", link, "--sn", "77", "--log", log, "--control", fifo});
  ASSERT_GT(sim.pid, 0);
  const std::string slave = sim.ReadLine(sim.out);
  EXPECT_EQ(fs::read_symlink(link), slave);
  EXPECT_NE(sim.ReadLine(sim.out).find("qt2c"), std::string::npos);

  Port port(link);
  ASSERT_GE(port.fd, 0);
  port.Send("r01\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "S/N: 77.000\r\n");
  port.Send("r74\r");
  EXPECT_EQ(port.ReadUntil("\r\n"), "ERROR\r\n");

  std::ofstream(fifo) << "error 93\n";
  EXPECT_EQ(port.ReadUntil("\r\n"), "93\r\n");

  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\tr01\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\tr74\n"), std::string::npos) << text.str();
}

TEST(LaserSim, BadUsageIsAClearMessageAndExitCode2) {
  Program sim({"--link", "/tmp/x", "--drop", "1.5"});
  ASSERT_GT(sim.pid, 0);
  EXPECT_NE(sim.ReadLine(sim.err).find("--drop"), std::string::npos);
  EXPECT_EQ(sim.Wait(), 2);
}

TEST(LaserSim, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // a piece of the message, or "" when the line is good
  } cases[] = {
      {{"--link", "L", "--error", "7:3", "--case=mixed", "--seed", "9"}, ""},
      {{"--model", "qt9", "--link", "L"}, "--model"},
      {{"--link", "L", "--error", "100"}, "--error"},
      {{"--link", "L", "--delay-ms", "-5"}, "--delay-ms"},
      {{"--link", "L", "--pace=1"}, "no value"},
      {{"--link"}, "needs a value"},
      {{"--bogus"}, "unknown option"},
      {{"--sn", "5"}, "--link"},
  };
  for (const auto& c : cases) {
    auto r = ParseCommandLine(c.args);
    if (c.error.empty()) {
      ASSERT_TRUE(std::holds_alternative<CliConfig>(r)) << std::get<std::string>(r);
      const Options& o = std::get<CliConfig>(r).options;
      EXPECT_EQ(o.errors, std::vector<int>{7});
      EXPECT_EQ(o.errorDetails.at(7), 3);
      EXPECT_EQ(o.caseMode, CaseMode::Mixed);
      EXPECT_EQ(o.seed, 9u);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(r)) << c.args[0];
      EXPECT_NE(std::get<std::string>(r).find(c.error), std::string::npos)
          << std::get<std::string>(r);
    }
  }
}

}  // namespace
}  // namespace sim
