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
#include <thread>
#include <vector>

#include "sim/Device.h"

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

class SimServer {
 public:
  // Throws std::invalid_argument for options that ValidateOptions rejects.
  explicit SimServer(Options options);
  ~SimServer();  // stops the thread, closes the pty, removes the link
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Opens the pty, points linkPath at its slave (an existing symbolic link is replaced, any other
  // file is left alone and fails the start; an empty path makes no link) and starts serving.
  bool Start(const std::string& linkPath);
  std::string SlavePath() const;  // empty while unplugged
  std::string LinkPath() const;
  bool Plugged() const;

  // Close the line: the slave sees a hang-up, the link goes away. Bytes not yet read are lost.
  // The device keeps its state and its clock. Both do nothing before Start.
  void Unplug();
  // A new pty, the link pointed at it (unplugging first if need be). False if that failed.
  bool Replug();

  void RaiseError(int code);  // appears at once as a code line
  void ClearErrorCode(int code);
  void SetSN(int sn);

  using Received = sim::Received;
  std::vector<Received> Commands() const;  // every command received so far
  bool WaitForCommands(std::size_t n, int timeoutMs) const;
  // The device's journal (empty unless Options::journal) and its length, which is cheap.
  std::vector<JournalEntry> Journal() const;
  std::size_t JournalSize() const;

  DeviceState State() const;
  // Runs fn on the device under the server's lock, then lets the server look at its schedule.
  // fn must not call back into the server.
  void WithDevice(const std::function<void(Device&)>& fn);
  double NowMs() const;  // the device clock: milliseconds since construction

  // Set before Start. Both run on the server thread with no lock held; they must not call
  // Unplug or Replug, which wait for that thread.
  void SetOnCommand(std::function<void(const Received&)> fn);
  void SetOnAutoUnplug(std::function<void()> fn);  // the line closed by unplugAfter

 private:
  enum class Request { Unplug, Replug };

  void Run();
  bool Submit(Request r);
  bool Perform(Request r);  // on the server thread, or once it has stopped; m_ held
  bool OpenPty();
  void ClosePty();
  bool PointLink();
  void RemoveLink();
  void Wake() const;

  const std::chrono::steady_clock::time_point start_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;  // commands arrived
  Device device_;
  std::string linkPath_, linkTarget_;
  int master_ = -1, slave_ = -1;  // the slave end is held open so the master never sees EOF
  std::string slavePath_;
  int wake_ = -1;
  bool started_ = false, running_ = false, stop_ = false;
  std::deque<std::pair<Request, std::promise<bool>>> requests_;
  std::function<void(const Received&)> onCommand_;
  std::function<void()> onAutoUnplug_;
  std::thread thread_;
};

}  // namespace sim
