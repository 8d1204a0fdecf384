// What recording and the open trend plot cost the running program: the real main window against
// the paced simulator (line rate, qt2, UpdateInterval=100) with neither, recording to a file, and
// recording with the trend window open, side by side in one run. The three take turns in short
// slices, round after round, so that a change of the machine's load touches all alike; each
// round's difference to its own "neither" slice is what recording costs in that round. CPU of this
// process (user + system), the rows written, and the resident memory. It measures; it never fails.
//   laser-recording-cpu-bench [SECONDS_A_PHASE [SECONDS_A_SLICE]]   (defaults 60 and 5)
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "ui/MainForm.h"
#include "ui/Recording.h"
#include "ui/TrendWindow.h"

extern char** environ;

namespace {

using bench::Mean;
using bench::Median;
using bench::RssKb;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
         u.ru_stime.tv_usec / 1e6;
}

void RunFor(double Seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(Seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

enum TState { stNeither, stRecording, stTrends, StateCount };
constexpr const char* StateNames[StateCount] = {"window only", "recording",
                                                "recording, trends open"};

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  const double slice = std::max(argc > 2 ? std::atof(argv[2]) : 5.0, 0.5);
  char pattern[] = "/tmp/laser-rec-bench-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(pattern);
  std::filesystem::create_directories(dir / "com");
  std::filesystem::create_directories(dir / "rec");
  setenv("LASER_COM_DIR", (dir / "com").c_str(), 1);
  const std::string link = (dir / "com" / "COM1").string();
  std::vector<std::string> args = {LASER_SIM_EXE, "--link", link, "--model", "qt2", "--pace"};
  std::vector<char*> argvSim;
  for (std::string& a : args) argvSim.push_back(a.data());
  argvSim.push_back(nullptr);
  pid_t sim = -1;
  if (posix_spawn(&sim, argvSim[0], nullptr, nullptr, argvSim.data(), environ) != 0) {
    std::printf("cannot start %s\n", LASER_SIM_EXE);
    return 0;
  }
  for (int i = 0; i < 100 && !std::filesystem::exists(link); ++i) usleep(20000);

  QApplication app(argc, argv);
  {
    std::ofstream(dir / "QNLaserControl.ini")
        << "[General]\nUpdateInterval=100\n[Recorder]\nFolder=" << (dir / "rec").string() << "\n";
  }
  auto form = std::make_unique<TQNLaserControlMainForm>();
  TQNLaserControlMainForm::TStartup startup;
  startup.SettingsFile = dir / "QNLaserControl.ini";
  startup.ExeFolder = dir;
  startup.Params = {"/PORT:1"};
  form->FormCreate(startup);
  form->CreateDialogs();
  form->show();
  form->FormShow();
  for (int i = 0; i < 150 && !form->Detection().LaserReady(); ++i) RunFor(0.1);
  if (!form->Detection().LaserReady()) {
    std::printf("the laser was not detected\n");
  } else {
    RunFor(2);  // settled
    TRecording& rec = form->Recording();
    rec.ChooseFolder = [&](const std::filesystem::path&) {
      return std::optional<std::filesystem::path>(dir / "rec");
    };
    TTrendWindow& trends = form->ShowTrendsExecute();
    trends.hide();
    const auto enter = [&](TState state) {
      if (state == stNeither && rec.Recording()) rec.StopRecordingExecute();
      if (state != stNeither && !rec.Recording()) rec.StartRecordingExecute();
      if (state == stTrends) {
        form->ShowTrendsExecute();
      } else {
        trends.hide();
      }
      RunFor(0.5);  // the switch itself (a file opened, a first paint) is not what is measured
    };
    const int rounds = std::max(1, static_cast<int>(seconds / slice + 0.5));
    std::vector<double> cpu[StateCount];
    unsigned long long rows[StateCount] = {};
    const long rssStart = RssKb();
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < StateCount; ++i) {
        // Each round in another order, so that no state always follows the same one.
        const auto state = static_cast<TState>((i + round) % StateCount);
        enter(state);
        const unsigned long long rows0 = rec.Recorder().RowsWritten();
        const double cpu0 = CpuSeconds();
        RunFor(slice);
        cpu[state].push_back(100 * (CpuSeconds() - cpu0) / slice);
        rows[state] += rec.Recorder().RowsWritten() - rows0;
      }
    }
    enter(stNeither);
    std::printf(
        "The program against the paced simulator (qt2, UpdateInterval=100): %d rounds of three "
        "%.0f s slices\n",
        rounds, slice);
    std::printf("  %-24s %14s %14s %14s\n", "", "CPU % median", "CPU % mean", "rows written");
    for (int s = 0; s < StateCount; ++s) {
      std::printf("  %-24s %14.2f %14.2f %14llu\n", StateNames[s], Median(cpu[s]), Mean(cpu[s]),
                  rows[s]);
    }
    // Paired within each round: the load a round met is in both of its slices.
    for (int s = stRecording; s < StateCount; ++s) {
      std::vector<double> extra;
      for (int r = 0; r < rounds; ++r) {
        if (cpu[stNeither][r] <= 0) continue;
        extra.push_back(100 * (cpu[s][r] - cpu[stNeither][r]) / cpu[stNeither][r]);
      }
      if (extra.empty()) continue;
      const double mean = Mean(extra);
      double squares = 0;
      for (const double e : extra) squares += (e - mean) * (e - mean);
      // The mean's 95 % interval, from the rounds' spread (normal approximation).
      const double half = extra.size() > 1
                              ? 1.96 * std::sqrt(squares / static_cast<double>(extra.size() - 1) /
                                                 static_cast<double>(extra.size()))
                              : 0;
      std::printf(
          "  %-24s %+.1f %% more CPU than window only (95 %% interval %+.1f to %+.1f %%; "
          "median of the rounds %+.1f %%)\n",
          StateNames[s], mean, mean - half, mean + half, Median(extra));
    }
    std::printf("  RSS %ld -> %ld kB\n", rssStart, RssKb());
  }
  form.reset();
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
