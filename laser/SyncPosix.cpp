// TEvent on POSIX: an eventfd that is readable while the event is signalled, so that a thread
// waits for it and a serial port in one poll().
#include "laser/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Remaining milliseconds of a bounded wait (rounded up so a wait never ends early), -1 unbounded.
int Remaining(int timeoutMs, Clock::time_point deadline) {
  if (timeoutMs < 0) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

// The descriptor holds a count of 1 exactly while the event is signalled; FLock keeps the flag
// and the count together, so Set and Reset from different threads never disagree.
TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset), FHandle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (initialState) Set();
}

TEvent::~TEvent() {
  if (FHandle >= 0) close(FHandle);
}

void TEvent::Set() {
  std::lock_guard lock(FLock);
  if (FSignalled) return;
  FSignalled = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(FHandle, &one, sizeof one);
}

void TEvent::Reset() {
  std::lock_guard lock(FLock);
  if (!FSignalled) return;
  FSignalled = false;
  std::uint64_t count = 0;
  [[maybe_unused]] ssize_t n = read(FHandle, &count, sizeof count);
}

bool TEvent::IsSet() const {
  std::lock_guard lock(FLock);
  return FSignalled;
}

bool TEvent::TryConsume() {
  std::lock_guard lock(FLock);
  if (!FSignalled) return false;
  if (!FManualReset) {
    FSignalled = false;
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(FHandle, &count, sizeof count);
  }
  return true;
}

bool TEvent::Wait(int timeoutMs) {
  return WaitForAny({this}, timeoutMs) == 0;
}

int TEvent::WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (TEvent* e : events) fds.push_back({e->FHandle, POLLIN, 0});
  for (;;) {
    // Checked before every wait: the signal may already be there (and an auto-reset event may
    // have been taken by another waiter since the descriptor became readable).
    int index = 0;
    for (TEvent* e : events) {
      if (e->TryConsume()) return index;
      ++index;
    }
    const int wait = Remaining(timeoutMs, deadline);
    if (timeoutMs >= 0 && wait == 0) return -1;
    const int rc = poll(fds.data(), fds.size(), wait);
    if (rc < 0 && errno != EINTR) return -2;
    for (const pollfd& p : fds) {
      if (p.revents & (POLLERR | POLLNVAL)) return -2;
    }
  }
}

int LastSystemError() {
  return errno;
}

std::string SystemErrorText(int code) {
  return std::strerror(code);
}
