// The one-shot timer thread that ends a clear-error or reset phase when no confirmation comes.
#include <chrono>
#include <thread>

#include "laser/QNLaser.h"
#include "laser/Threads.h"

TInnerTimer::TInnerTimer(TLaser* laser) : TMonitorThread(laser, "TInnerTimer") {}

void TInnerTimer::Pause() {
  TMonitorThread::Pause();
  WakeEvent.Set();
}

void TInnerTimer::Stop() {
  TMonitorThread::Stop();
  WakeEvent.Set();
}

void TInnerTimer::Start(std::uint32_t ms) {
  SetInterval(ms);
  WakeEvent.Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TMonitorThread::Resume();
}

void TInnerTimer::Execute() {
  while (!Terminated()) {
    WaitRun();
    if (Terminated()) break;
    const int woken = TEvent::WaitForAny({&WakeEvent}, static_cast<int>(FInterval.load()));
    if (woken == -1 && !Terminated()) {
      Synchronize([this] {
        if (OnTimer) OnTimer();
      });
      Pause();
    }
  }
}
