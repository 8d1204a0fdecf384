// What a server of the simulated controller shares with its users, whatever carries its line:
// the device under a lock, its clock, the commands received so far, the hooks, and the loop that
// serves the line from a thread of its own. A server derives from it for the line itself:
// opening and closing it and one exchange of bytes. All public methods are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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

  std::string LinkPath() const;
  bool Plugged() const;

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

  // What one exchange on the line brought: the bytes read, whether the line has ended (the loop
  // then leaves it alone until a replug), or whether waiting itself failed (the loop ends).
  struct Exchanged {
    std::string in;
    bool broken = false;
    bool failed = false;
  };

  // Opens the line (at linkPath_) and starts the serving thread. False if already started or the
  // line did not open.
  bool StartServing(const std::string& linkPath);
  // For the derived destructor: stops the thread and closes the line; requests still waiting
  // fail.
  void StopServing();
  // Hands a request to the serving thread and waits for it to be carried out.
  bool Submit(Request r);

  // The line, m_ held. OpenLine leaves nothing open when it fails.
  virtual bool OpenLine() = 0;
  virtual void CloseLine() = 0;
  virtual bool LineOpen() const = 0;
  // m_ held: the line that the next Exchange uses, or none when !usable.
  virtual void HoldLine(bool usable) = 0;
  // On the serving thread with no lock held: writes what it can of `out` (erasing it from there)
  // to the held line, then waits for bytes, a Wake or the device's next due time (nextMs, on
  // the device clock), and reads what came.
  virtual Exchanged Exchange(std::string& out, std::optional<double> nextMs) = 0;
  // Makes the serving thread look at the device's schedule and its requests again.
  virtual void Wake() const = 0;
  // On the serving thread as it starts.
  virtual void ThreadStarts() {}
  // How far ahead of the clock the device's due bytes are taken (the serving thread's own
  // wake-up latency).
  virtual double LeadMs() const { return 0; }
  // m_ held, right after an Exchange: when the bytes it read came, on the device clock.
  virtual double ArrivedMs() const { return NowMs(); }

  const std::chrono::steady_clock::time_point start_;
  mutable std::mutex m_;
  Device device_;
  std::string linkPath_;

 private:
  // Carries out a request on the serving thread, or once it has stopped; m_ held.
  bool Perform(Request r);
  // The serving thread.
  void Serve();
  // For the serving thread, `lock` holding m_: gives bytes from the line to the device, then,
  // with the lock let go, tells the waiters and the command hook of the commands they completed.
  // Returns with the lock held again.
  void ReceiveFromLine(std::unique_lock<std::mutex>& lock, std::string_view bytes, double atMs);

  mutable std::condition_variable cv_;  // commands arrived
  std::function<void(const Received&)> onCommand_;
  std::function<void()> onAutoUnplug_;
  bool started_ = false, running_ = false, stop_ = false;
  std::deque<std::pair<Request, std::promise<bool>>> requests_;
  std::thread thread_;
};

}  // namespace sim
