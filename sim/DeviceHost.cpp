#include "sim/DeviceHost.h"

#include <utility>

namespace sim {

DeviceHost::DeviceHost(Options options)
    : start_(std::chrono::steady_clock::now()), device_(std::move(options)) {}

double DeviceHost::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
      .count();
}

void DeviceHost::RaiseError(int code) {
  WithDevice([&](Device& d) { d.RaiseError(code, NowMs()); });
}

void DeviceHost::ClearErrorCode(int code) {
  WithDevice([&](Device& d) { d.ClearErrorCode(code); });
}

void DeviceHost::SetSN(int sn) {
  WithDevice([&](Device& d) { d.SetSN(sn); });
}

void DeviceHost::WithDevice(const std::function<void(Device&)>& fn) {
  {
    std::lock_guard l(m_);
    fn(device_);
  }
  Wake();
}

DeviceState DeviceHost::State() const {
  std::lock_guard l(m_);
  return device_.State();
}

std::vector<Received> DeviceHost::Commands() const {
  std::lock_guard l(m_);
  return device_.Commands();
}

std::vector<JournalEntry> DeviceHost::Journal() const {
  std::lock_guard l(m_);
  return device_.Journal();
}

std::size_t DeviceHost::JournalSize() const {
  std::lock_guard l(m_);
  return device_.Journal().size();
}

bool DeviceHost::WaitForCommands(std::size_t n, int timeoutMs) const {
  std::unique_lock l(m_);
  return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                      [&] { return device_.Commands().size() >= n; });
}

bool DeviceHost::Submit(Request r) {
  std::unique_lock l(m_);
  if (!started_) return false;  // nothing to plug before Start
  if (!running_) return Perform(r);
  std::promise<bool> done;
  auto result = done.get_future();
  requests_.emplace_back(r, std::move(done));
  l.unlock();
  Wake();
  return result.get();
}

void DeviceHost::ReceiveFromLine(std::unique_lock<std::mutex>& lock, std::string_view bytes,
                                 double atMs) {
  const std::size_t before = device_.Commands().size();
  device_.Receive(bytes, atMs);
  const std::vector<Received>& all = device_.Commands();
  if (all.size() == before) return;
  const std::vector<Received> arrived(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  const auto onCommand = onCommand_;
  lock.unlock();
  cv_.notify_all();
  if (onCommand) {
    for (const Received& c : arrived) onCommand(c);
  }
  lock.lock();
}

bool DeviceHost::StartServing(const std::string& linkPath) {
  std::lock_guard l(m_);
  if (started_) return false;
  linkPath_ = linkPath;
  if (!OpenLine()) return false;
  started_ = running_ = true;
  thread_ = std::thread(&DeviceHost::Serve, this);
  return true;
}

void DeviceHost::StopServing() {
  {
    std::lock_guard l(m_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard l(m_);
  for (auto& [r, done] : requests_) done.set_value(false);
  requests_.clear();
  CloseLine();
}

bool DeviceHost::Perform(Request r) {
  CloseLine();
  if (r == Request::Unplug) return true;
  return OpenLine();
}

void DeviceHost::Serve() {
  ThreadStarts();
  std::string out;      // taken off the device, not yet accepted by the line
  bool broken = false;  // the line has ended on its own: wait for a replug
  std::unique_lock l(m_);
  while (!stop_) {
    while (!requests_.empty()) {
      auto [r, done] = std::move(requests_.front());
      requests_.pop_front();
      out.clear();
      broken = false;
      done.set_value(Perform(r));
    }
    Device::Due due = device_.TakeDue(NowMs() + LeadMs());
    if (LineOpen() && !broken) out += due.bytes;  // unplugged: talking into the void
    if (due.hangUp) {
      out.clear();
      Perform(Request::Unplug);
      auto notify = onAutoUnplug_;
      l.unlock();
      if (notify) notify();
      l.lock();
      continue;
    }
    const std::optional<double> next = device_.NextDueMs();
    HoldLine(LineOpen() && !broken);
    l.unlock();

    Exchanged got = Exchange(out, next);
    l.lock();
    if (got.failed) break;
    if (got.broken) broken = true;
    if (!got.in.empty()) ReceiveFromLine(l, got.in, ArrivedMs());
  }
  // Requests still waiting are carried out here.
  running_ = false;
  for (auto& [r, done] : requests_) done.set_value(Perform(r));
  requests_.clear();
}

std::string DeviceHost::LinkPath() const {
  std::lock_guard l(m_);
  return linkPath_;
}

bool DeviceHost::Plugged() const {
  std::lock_guard l(m_);
  return LineOpen();
}

void DeviceHost::Unplug() {
  Submit(Request::Unplug);
}

bool DeviceHost::Replug() {
  return Submit(Request::Replug);
}

void DeviceHost::SetOnCommand(std::function<void(const Received&)> fn) {
  std::lock_guard l(m_);
  onCommand_ = std::move(fn);
}

void DeviceHost::SetOnAutoUnplug(std::function<void()> fn) {
  std::lock_guard l(m_);
  onAutoUnplug_ = std::move(fn);
}

}  // namespace sim
