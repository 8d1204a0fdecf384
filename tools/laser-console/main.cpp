// laser-console: drives the laser engine from standard input and prints its events.
#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <chrono>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <string>

#include "laser/EventLog.h"
#include "laser/QNLaser.h"
#include "tools/laser-console/Console.h"

namespace {

using Clock = std::chrono::steady_clock;

// Takes the next input line (without its CR LF or LF) off pending; at the end of input a last
// line without a line end counts too.
bool TakeLine(std::string& pending, bool eof, std::string& line) {
  const std::size_t nl = pending.find('\n');
  if (nl == std::string::npos) {
    if (!eof || pending.empty()) return false;
    line = std::move(pending);
    pending.clear();
    return true;
  }
  line = pending.substr(0, nl);
  pending.erase(0, nl + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

#ifdef _WIN32
// Runs the laser's hand-overs (this thread is its UI thread) and, when asked, reads stdin. A
// console or pipe handle cannot be waited for together with an event, so a reader thread moves
// the input into a buffer and signals an event.
class TLoop {
 public:
  explicit TLoop(TLaser& laser) : FLaser(laser), FInput(std::make_shared<TInput>()) {
    // Blocked in a read until the input ends; it shares the buffer, so it may outlive the loop.
    std::thread([input = FInput] { ReadInput(*input); }).detach();
  }

  // Waits for input or a hand-over; with timeoutMs >= 0 for at most that long.
  void Pump(bool readInput, int timeoutMs) {
    const HANDLE handles[2] = {FLaser.Synchronizer().Handle(), FInput->Ready.Handle()};
    const DWORD n = (readInput && !Eof()) ? 2 : 1;
    WaitForMultipleObjects(n, handles, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    FLaser.Synchronizer().CheckSynchronize();
    if (n == 2) TakeInput();
  }
  bool Eof() const { return FEof; }
  bool NextLine(std::string& line) { return TakeLine(FPending, FEof, line); }

 private:
  struct TInput {
    TEvent Ready{true, false};
    std::mutex Lock;
    std::string Text;
    bool Ended = false;
  };
  static void ReadInput(TInput& input) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    for (;;) {
      DWORD n = 0;
      const bool ok = ReadFile(in, buffer, sizeof buffer, &n, nullptr) != FALSE;
      std::lock_guard lock(input.Lock);
      if (!ok || n == 0) {
        input.Ended = true;
        input.Ready.Set();
        return;
      }
      input.Text.append(buffer, n);
      input.Ready.Set();
    }
  }
  void TakeInput() {
    std::lock_guard lock(FInput->Lock);
    FPending += FInput->Text;
    FInput->Text.clear();
    FEof = FInput->Ended;
    FInput->Ready.Reset();
  }
  TLaser& FLaser;
  std::shared_ptr<TInput> FInput;
  std::string FPending;
  bool FEof = false;
};
#else
// Runs the laser's hand-overs (this thread is its UI thread) and, when asked, reads stdin.
// Returns false at the end of input.
class TLoop {
 public:
  explicit TLoop(TLaser& laser) : FLaser(laser) {}

  // Waits for input or a hand-over; with timeoutMs >= 0 for at most that long.
  void Pump(bool readInput, int timeoutMs) {
    pollfd fds[2] = {{FLaser.Synchronizer().Handle(), POLLIN, 0}, {0, POLLIN, 0}};
    const int n = (readInput && !FEof) ? 2 : 1;
    if (poll(fds, n, timeoutMs) < 0) return;
    FLaser.Synchronizer().CheckSynchronize();
    if (n == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadInput();
  }
  bool Eof() const { return FEof; }
  bool NextLine(std::string& line) { return TakeLine(FPending, FEof, line); }

 private:
  void ReadInput() {
    char buffer[4096];
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) {
      FEof = true;
    } else {
      FPending.append(buffer, static_cast<std::size_t>(n));
    }
  }
  TLaser& FLaser;
  std::string FPending;
  bool FEof = false;
};
#endif

int RemainingMs(Clock::time_point until) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void Linger(TLoop& loop, int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (RemainingMs(until) > 0) loop.Pump(false, RemainingMs(until));
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C");
  TConsoleOptions options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto error = ParseConsoleArgs(args, options)) {
    std::cerr << "laser-console: " << *error << "\n(see laser-console --help)\n";
    return 2;
  }
  if (options.Help) {
    std::cout << ConsoleUsage();
    return 0;
  }

  TLaser laser;
  AttachEventLog(laser, [](const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  laser.SetPort(static_cast<TPort>(options.Port));
  if (!laser.Open()) {
    std::cerr << "laser-console: cannot open COM" << options.Port << " (" << laser.DeviceName()
              << ")\n";
    return 1;
  }
  if (options.Set == "qt") {
    laser.LoadQTCommands(true);
  } else if (options.Set == "ze") {
    laser.LoadZECommands(true);
  } else {
    laser.LoadBaseCommands();
  }

  TLoop loop(laser);
  std::string line;
  while (true) {
    while (loop.NextLine(line)) {
      int waitMs = -1;
      if (auto error = ExecuteLine(laser, line, waitMs)) {
        std::cerr << "laser-console: " << *error << "\n";
      }
      if (waitMs >= 0) Linger(loop, waitMs);
    }
    if (loop.Eof()) break;
    loop.Pump(true, -1);
  }
  // Every queued command ends within its reply wait; the bound only guards against the
  // unexpected.
  const auto bound =
      Clock::now() +
      std::chrono::milliseconds((laser.QueueCount() + 2) * (laser.Timing().ReplyTimeoutMs + 1000));
  while (laser.QueueCount() > 0 && RemainingMs(bound) > 0) loop.Pump(false, 50);
  Linger(loop, options.WaitMs);
  laser.OnDisconnect = nullptr;
  laser.Disconnect();
  return 0;
}
