// What a server of the simulated controller shares with its users, whatever carries its line:
// the device under a lock, its clock, the commands received so far and the hooks. A server
// derives from it and runs the line from a thread of its own. All public methods are
// thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string_view>
#include <vector>

#include "sim/Device.h"

namespace sim {

class DeviceHost {
 public:
  // Throws std::invalid_argument for options that ValidateOptions rejects.
  explicit DeviceHost(Options options);
  virtual ~DeviceHost() = default;
  DeviceHost(const DeviceHost&) = delete;
  DeviceHost& operator=(const DeviceHost&) = delete;

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

  // Close the line: the far end sees a hang-up, and bytes not yet read are lost. The device keeps
  // its state and its clock. Both do nothing before the server has started.
  void Unplug();
  // A new line in place of the old one (unplugging first if need be). False if that failed.
  bool Replug();

  // Set before Start. Both run on the server thread with no lock held; they must not call
  // Unplug or Replug, which wait for that thread.
  void SetOnCommand(std::function<void(const Received&)> fn);
  void SetOnAutoUnplug(std::function<void()> fn);  // the line closed by unplugAfter

 protected:
  enum class Request { Unplug, Replug };

  // Makes the serving thread look at the device's schedule and its requests again.
  virtual void Wake() const = 0;
  // Carries out a request on the serving thread, or once it has stopped; m_ held.
  virtual bool Perform(Request r) = 0;
  // Hands a request to the serving thread and waits for it to be carried out.
  bool Submit(Request r);
  // For the serving thread, `lock` holding m_: gives bytes from the line to the device, then,
  // with the lock let go, tells the waiters and the command hook of the commands they completed.
  // Returns with the lock held again.
  void ReceiveFromLine(std::unique_lock<std::mutex>& lock, std::string_view bytes, double atMs);
  // For the serving thread as it ends, m_ held: requests still waiting are carried out here.
  void FinishRequests();

  const std::chrono::steady_clock::time_point start_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;  // commands arrived
  Device device_;
  std::function<void(const Received&)> onCommand_;
  std::function<void()> onAutoUnplug_;
  bool started_ = false, running_ = false, stop_ = false;
  std::deque<std::pair<Request, std::promise<bool>>> requests_;
};

}  // namespace sim
