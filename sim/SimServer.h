// Serves one simulated controller on a pseudo-terminal from a thread of its own, with a symbolic
// link to the slave side so that the program finds it as a COM port. All public methods are
// thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "sim/DeviceHost.h"

namespace sim {

// How late this thread wakes from its timed waits, learnt from the waits themselves. A paced line
// looks this much ahead when it sends and dates what it receives this much back, so that its own
// wake-up latency does not slow the simulated line down; capped below a byte time, so a byte is
// never early by more than that.
class WakeLead {
 public:
  static constexpr double kMaxMs = 0.1;
  double Ms() const { return leadMs_; }
  void Observe(double lateMs);  // a timed wait ended lateMs after it was meant to

 private:
  double leadMs_ = 0;
};

class SimServer : public DeviceHost {
 public:
  // Throws std::invalid_argument for options that ValidateOptions rejects.
  explicit SimServer(Options options);
  ~SimServer() override;  // stops the thread, closes the pty, removes the link

  // Opens the pty, points linkPath at its slave (an existing symbolic link is replaced, any other
  // file is left alone and fails the start; an empty path makes no link) and starts serving.
  bool Start(const std::string& linkPath);
  std::string SlavePath() const;  // empty while unplugged

 private:
  // The line is a new pty with the link pointed at it; closing it removes the link.
  bool OpenLine() override;
  void CloseLine() override;
  bool LineOpen() const override { return master_ >= 0; }
  void HoldLine(bool usable) override { held_ = usable ? master_ : -1; }
  Exchanged Exchange(std::string& out, std::optional<double> nextMs) override;
  void Wake() const override;
  void ThreadStarts() override;
  double LeadMs() const override { return lead_.Ms(); }
  double ArrivedMs() const override;
  bool OpenPty();
  void ClosePty();
  bool PointLink();
  void RemoveLink();

  const bool paced_;
  std::string linkTarget_;
  int master_ = -1, slave_ = -1;  // the slave end is held open so the master never sees EOF
  std::string slavePath_;
  int wake_ = -1;
  // The serving thread's own.
  int held_ = -1;
  WakeLead lead_;
  double lookedMs_ = 0;  // when the last Exchange began to wait
};

}  // namespace sim
