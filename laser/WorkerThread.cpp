#include "laser/WorkerThread.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>

#include "laser/QNLaser.h"

TMonitorThread::TMonitorThread(TLaser* laser, const char* className)
    : Laser(laser), FClassName(className) {}

TMonitorThread::~TMonitorThread() {
  if (FThread.joinable()) {
    Stop();
    Join();
  }
}

void TMonitorThread::Launch() {
  FThread = std::thread([this] {
    try {
      Execute();
    } catch (const std::exception& e) {
      ErrorCode = 0;
      ErrorMessage = e.what();
      Synchronize([this] { ReportError(); });
    }
  });
}

void TMonitorThread::Resume() {
  RunEvent.Set();
}

void TMonitorThread::Pause() {
  RunEvent.Reset();
}

void TMonitorThread::Stop() {
  FTerminated.store(true, std::memory_order_release);
  RunEvent.Set();
}

void TMonitorThread::Join() {
  if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id()) return;
  try {
    FThread.join();
  } catch (const std::system_error& e) {
    // Destructors must not throw: tell the program and leave the thread to the process.
    if (Laser && Laser->OnMointorError) {
      Laser->OnMointorError(Laser, std::string("Thread Error occured in ") + FClassName);
    }
    FThread.detach();
  }
}

void TMonitorThread::WaitRun() {
  // A thread may pause itself just after Stop signalled it; the flag, set before that signal,
  // still ends the wait.
  if (Terminated()) return;
  if (TEvent::WaitForAny({&RunEvent}, -1) == 0) return;
  ErrorCode = LastSystemError();
  ErrorMessage = SystemErrorText(ErrorCode);
  Synchronize([this] { ReportError(); });
  // A wait that keeps failing must not turn into a busy loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void TMonitorThread::ReportError() {
  if (!Laser || !Laser->OnMointorError) return;
  char text[512];
  std::snprintf(text, sizeof text, "%s failed with error %d: %s", FClassName, ErrorCode,
                ErrorMessage.c_str());
  Laser->OnMointorError(Laser, text);
}

void TMonitorThread::Synchronize(const std::function<void()>& fn) {
  Laser->Synchronizer().Synchronize(fn);
}

void TMonitorThread::ReportErrorCodes(const std::vector<std::uint8_t>& codes) {
  if (codes.empty()) return;
  if (Laser->Reseting()) Synchronize([this] { Laser->ResetDone(); });
  // One hand-over for the batch: the lines stay together and in order.
  Synchronize([this, &codes] {
    for (const std::uint8_t code : codes) {
      if (Laser->OnLaserError) Laser->OnLaserError(Laser, code);
    }
  });
}
