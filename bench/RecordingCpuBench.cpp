// What recording and the open trend plot cost the running program: the real main window against
// the paced simulator (line rate, qt2, UpdateInterval=100), first with neither, then recording to a
// file, then recording with the trend window open, each for the same time, side by side in one run.
// CPU of this process (user + system), the rows written, and the resident memory. It measures; it
// never fails. Argument: the seconds of each phase (default 60).
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
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

struct TPhase {
  const char* Name;
  double CpuPercent;
  unsigned long long Rows;
  long RssStartKb, RssEndKb;
};

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
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
    std::vector<TPhase> phases;
    const auto measure = [&](const char* name) {
      const unsigned long long rows0 = rec.Recorder().RowsWritten();
      const long rss0 = RssKb();
      const double cpu0 = CpuSeconds();
      RunFor(seconds);
      phases.push_back({name, 100 * (CpuSeconds() - cpu0) / seconds,
                        rec.Recorder().RowsWritten() - rows0, rss0, RssKb()});
    };
    measure("window only");
    rec.StartRecordingExecute();
    measure("recording");
    form->ShowTrendsExecute();
    measure("recording, trends open");
    std::printf(
        "The program against the paced simulator (qt2, UpdateInterval=100), %.0f s a phase:\n",
        seconds);
    std::printf("  %-24s %12s %12s %16s\n", "", "CPU % of one core", "rows written",
                "RSS start -> end");
    for (const TPhase& p : phases) {
      std::printf("  %-24s %12.2f %12llu %9ld -> %ld kB\n", p.Name, p.CpuPercent, p.Rows,
                  p.RssStartKb, p.RssEndKb);
    }
  }
  form.reset();
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
