#include "laser/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
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

TSynchronizer::TSynchronizer() : FMainThread(std::this_thread::get_id()) {}

void TSynchronizer::Synchronize(const std::function<void()>& fn) {
  if (IsMainThread()) {
    std::unique_lock lock(FLock);
    if (FShutdown) return;
    lock.unlock();
    fn();
    return;
  }
  TCall call{&fn};
  std::function<void()> wakeUp;
  {
    std::unique_lock lock(FLock);
    if (FShutdown) return;
    FCalls.push_back(&call);
    FPending.Set();
    wakeUp = FWakeUp;
  }
  if (wakeUp) wakeUp();
  std::unique_lock lock(FLock);
  FDone.wait(lock, [&] { return call.Done; });
}

bool TSynchronizer::CheckSynchronize() {
  bool ran = false;
  for (;;) {
    TCall* call = nullptr;
    {
      std::lock_guard lock(FLock);
      if (FCalls.empty()) {
        FPending.Reset();
        return ran;
      }
      call = FCalls.front();
      FCalls.pop_front();
    }
    ran = true;
    auto release = [&] {
      std::lock_guard lock(FLock);
      call->Done = true;
      FDone.notify_all();
    };
    try {
      (*call->Fn)();
    } catch (...) {
      release();
      throw;
    }
    release();
  }
}

bool TSynchronizer::WaitPending(int timeoutMs) {
  return FPending.Wait(timeoutMs);
}

void TSynchronizer::SetWakeUp(std::function<void()> wakeUp) {
  std::lock_guard lock(FLock);
  FWakeUp = std::move(wakeUp);
}

void TSynchronizer::Shutdown() {
  std::lock_guard lock(FLock);
  FShutdown = true;
  for (TCall* call : FCalls) call->Done = true;
  FCalls.clear();
  FPending.Reset();
  FDone.notify_all();
}
