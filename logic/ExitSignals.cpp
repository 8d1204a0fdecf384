#include "logic/ExitSignals.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {
int WriteEnd = -1;
int ReadEnd = -1;

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a close request: nothing is lost.
  [[maybe_unused]] const ssize_t n = ::write(WriteEnd, &byte, 1);
  errno = saved;
}
}  // namespace

int InstallExitSignals() {
  if (ReadEnd >= 0) return ReadEnd;
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  for (const int fd : fds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ReadEnd = fds[0];
  WriteEnd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
  return ReadEnd;
}

int DrainExitSignals(int Fd) {
  int count = 0;
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(Fd, buffer, sizeof buffer);
    if (n > 0) {
      count += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return count;
  }
}

#else
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::function<void()> CloseRequest;
std::mutex Lock;
std::condition_variable Handled;
bool Done = false;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (CloseRequest) CloseRequest();
  // Windows ends the process when the handler returns (for a closed console, logoff and
  // shutdown): wait for the settings first, within the few seconds it allows.
  std::unique_lock lock(Lock);
  Handled.wait_for(lock, std::chrono::seconds(4), [] { return Done; });
  return TRUE;
}
}  // namespace

bool InstallExitSignals(std::function<void()> Close) {
  CloseRequest = std::move(Close);
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void ExitSignalHandled() {
  {
    std::lock_guard lock(Lock);
    Done = true;
  }
  Handled.notify_all();
}
#endif
