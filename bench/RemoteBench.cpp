// What the remote control costs a script: SOURce1:CURRent? through a TCP socket into the running
// window (real main window, offscreen) beside the window's own read of the same current through the
// engine, and beside a pyserial script on a bare line of its own, in rounds against laser-sim
// without pacing; then, with the simulator pacing the line at 57600 bit/s, the rate a client
// reaches asking back to back, as a share of what the line can carry. It measures; it never fails.
//   laser-remote-bench [--quick]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <thread>

#include "bench/BenchLoops.h"
#include "ui/MainForm.h"
#include "ui/RemoteServer.h"

namespace {

using namespace bench;
namespace fs = std::filesystem;

// Runs the event loop until `done` or the bound passes; `wake` ends a wait early.
struct TWaiter {
  QEventLoop* Loop = nullptr;
  void Wake() {
    if (Loop) Loop->quit();
  }
  bool Until(const std::function<bool()>& done, int boundMs = kBoundMs) {
    const auto until = Clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
      if (Clock::now() > until) return false;
      QEventLoop loop;
      Loop = &loop;
      QTimer::singleShot(50, &loop, &QEventLoop::quit);
      loop.exec();
      Loop = nullptr;
    }
    return true;
  }
};

// The window's own read: ReadCurrent 1 through the engine to the current's event in the window.
TLoop WindowLoop(TQNLaserControlMainForm& form, int count, int warmUp) {
  TLoop loop;
  TWaiter waiter;
  int replies = 0;
  TSubscription heard = form.Events().Current.Subscribe([&](std::uint8_t branch, double) {
    if (branch == 1) ++replies;
    waiter.Wake();
  });
  Clock::time_point start;
  for (int i = 0; i < warmUp + count; ++i) {
    if (i == warmUp) start = Clock::now();
    const auto sent = Clock::now();
    form.Laser().ReadCurrent(1);
    if (!waiter.Until([&] { return replies > i; })) {
      ++loop.Failed;
      break;
    }
    if (i >= warmUp) {
      loop.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
  }
  loop.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return loop;
}

// A client on its own thread asking SOURce1:CURRent? back to back, as a script does, while this
// thread runs the window's event loop. With a depth above 1 it keeps that many queries under way
// (a script that sends before it reads); each latency runs from its query to its answer.
TLoop SocketLoop(std::uint16_t port, int count, int warmUp, int depth = 1) {
  TLoop loop;
  bool finished = false;
  TWaiter waiter;
  std::thread client([&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      loop.Failed = 1;
    } else {
      static constexpr char query[] = "SOURce1:CURRent?\n";
      const int total = warmUp + count;
      std::vector<Clock::time_point> sent(static_cast<std::size_t>(total));
      std::string pending;
      Clock::time_point start;
      int asked = 0;
      int answered = 0;
      while (answered < total) {
        while (asked < total && asked - answered < depth) {
          sent[static_cast<std::size_t>(asked)] = Clock::now();
          if (::send(fd, query, sizeof query - 1, 0) != sizeof query - 1) break;
          ++asked;
        }
        char buffer[512];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kBoundMs) != 1) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
          loop.ReplyBytes = end + 1;
          pending.erase(0, end + 1);
          if (answered == warmUp) start = Clock::now();
          if (answered >= warmUp) {
            loop.Us.push_back(std::chrono::duration<double, std::micro>(
                                  Clock::now() - sent[static_cast<std::size_t>(answered)])
                                  .count());
          }
          ++answered;
        }
      }
      if (answered < total) ++loop.Failed;
      loop.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    ::close(fd);
    QMetaObject::invokeMethod(qApp, [&] {
      finished = true;
      waiter.Wake();
    });
  });
  waiter.Until([&] { return finished; }, 10 * 60 * 1000);
  client.join();
  return loop;
}

// The real window on COMn of `dir` with the remote control on `port`, ready; none if not.
std::unique_ptr<TQNLaserControlMainForm> StartWindow(const fs::path& dir, int com,
                                                     std::uint16_t port) {
  const fs::path ini = dir / ("window" + std::to_string(com) + ".ini");
  std::ofstream(ini) << "[General]\nAutoUpdate=0\n";
  auto form = std::make_unique<TQNLaserControlMainForm>();
  TQNLaserControlMainForm::TStartup startup;
  startup.SettingsFile = ini;
  startup.ExeFolder = dir;
  startup.Params = {"/PORT:" + std::to_string(com), "/REMOTE:" + std::to_string(port)};
  form->FormCreate(startup);
  form->CreateDialogs();
  form->show();
  form->FormShow();
  TWaiter waiter;
  if (!waiter.Until([&] { return form->Detection().LaserReady(); }, 20000) ||
      !form->Remote().Listening()) {
    return nullptr;
  }
  return form;
}

std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/laser-remote-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  setenv("LASER_COM_DIR", dir.c_str(), 1);
  const std::string loadBefore = LoadAverage();
  QApplication app(argc, argv);

  const int rounds = quick ? 2 : 5;
  const int perRound = quick ? 200 : 1000;
  const int warmUp = 20;
  TLoop window, socket, py;
  {
    // The window's line and a bare line of its own for pyserial, from one simulator program each.
    std::unique_ptr<TChild> sim = StartSimulator(LASER_SIM_EXE, dir.string(), 1, false);
    std::unique_ptr<TChild> bare = StartSimulator(LASER_SIM_EXE, dir.string(), 2, false);
    const std::uint16_t port = FreePort();
    std::unique_ptr<TQNLaserControlMainForm> form = sim ? StartWindow(dir, 1, port) : nullptr;
    if (!form || !bare) {
      std::fprintf(stderr, "laser-remote-bench: the simulator or the window did not start\n");
      return 1;
    }
    for (int r = 0; r < rounds; ++r) {
      window.Merge(WindowLoop(*form, perRound, warmUp));
      socket.Merge(SocketLoop(port, perRound, warmUp));
      py.Merge(PySerialLoop((dir / "COM2").string(), perRound, warmUp));
    }
    form->FormDestroy();
  }
  AddLoop("the window's own read (engine)", window);
  AddLoop("SOURce1:CURRent? through the socket", socket);
  AddLoop("pyserial readline(), bare line", py);
  if (!window.Us.empty() && !socket.Us.empty()) {
    Add("the server adds to the engine's median", socket.Median() - window.Median(), "us");
  }

  // Paced: a client asking back to back, beside what the line can carry.
  TLoop pacedSocket, pacedDeep, pacedPy;
  {
    std::unique_ptr<TChild> sim = StartSimulator(LASER_SIM_EXE, dir.string(), 3, true);
    std::unique_ptr<TChild> bare = StartSimulator(LASER_SIM_EXE, dir.string(), 4, true);
    const std::uint16_t port = FreePort();
    std::unique_ptr<TQNLaserControlMainForm> form = sim ? StartWindow(dir, 3, port) : nullptr;
    if (form && bare) {
      const int pacedRounds = quick ? 1 : 5;
      for (int r = 0; r < pacedRounds; ++r) {
        pacedSocket.Merge(SocketLoop(port, 100, 5));
        pacedDeep.Merge(SocketLoop(port, 100, 5, 4));
        pacedPy.Merge(PySerialLoop((dir / "COM4").string(), 100, 5));
      }
      form->FormDestroy();
    }
  }
  AddLoop("through the socket, paced 57600", pacedSocket);
  AddLoop("through the socket, 4 under way, paced 57600", pacedDeep);
  AddLoop("pyserial, bare line, paced 57600", pacedPy);
  if (pacedPy.ReplyBytes > 0) {
    const std::size_t wire = 4 + pacedPy.ReplyBytes;  // "r61\r" and the reply
    const double lineRate = 57600.0 / (10.0 * static_cast<double>(wire));
    Add("line round trips/s (" + std::to_string(wire) + " bytes both ways at 57600)", lineRate,
        "1/s");
    Add("through the socket, paced: share of the line's round-trip rate",
        100.0 * pacedSocket.Rate() / lineRate, "%");
    Add("through the socket, 4 under way, paced: share of the line's round-trip rate",
        100.0 * pacedDeep.Rate() / lineRate, "%");
    if (!pacedSocket.Us.empty()) {
      // From the median, which a few round trips delayed by other programs do not move.
      Add("through the socket, paced: line round-trip time / median latency",
          100.0 * 1e6 / lineRate / pacedSocket.Median(), "%");
    }
    Add("pyserial, paced: share of the line's round-trip rate", 100.0 * pacedPy.Rate() / lineRate,
        "%");
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  AddText("load average before / after", loadBefore + " / " + LoadAverage());
  PrintRows();
  return 0;
}
