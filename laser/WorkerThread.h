// The pausable worker thread that the laser's four workers derive from.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "laser/Sync.h"

class TLaser;

// Launch() starts the thread; it then runs to its first WaitRun and blocks there until Resume.
// Its owner stops and joins it. It reaches the program only through the laser's hand-over.
class TMonitorThread {
 public:
  TMonitorThread(TLaser* laser, const char* className);
  virtual ~TMonitorThread();
  TMonitorThread(const TMonitorThread&) = delete;
  TMonitorThread& operator=(const TMonitorThread&) = delete;

  void Launch();
  virtual void Resume();
  virtual void Pause();
  virtual void Stop();
  void Join();

  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Running() const { return RunEvent.IsSet(); }
  const char* ClassName() const { return FClassName; }

 protected:
  virtual void Execute() = 0;
  virtual void ReportError();
  void WaitRun();
  void Synchronize(const std::function<void()>& fn);
  // New error codes were taken out of the input: ends a running phase, then OnLaserError for
  // each code in the order received.
  void ReportErrorCodes(const std::vector<std::uint8_t>& codes);

  TLaser* Laser;
  TEvent RunEvent{true, false};
  int ErrorCode = 0;
  std::string ErrorMessage;

 private:
  const char* FClassName;
  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};
