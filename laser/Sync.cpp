// The hand-over from worker threads to the UI thread; the events are in SyncPosix.cpp and
// SyncWin32.cpp.
#include "laser/Sync.h"

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
