#include "RelaySimServer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace sim {

SimServer::SimServer(Options options)
    : DeviceHost(std::move(options)),
      wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      network_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!wake_ || !network_) throw std::runtime_error("CreateEvent failed");
}

SimServer::~SimServer() {
  {
    std::lock_guard l(m_);
    stop_ = true;
  }
  SetEvent(wake_);
  if (thread_.joinable()) thread_.join();
  std::lock_guard l(m_);
  for (auto& [r, done] : requests_) done.set_value(false);
  requests_.clear();
  line_.Close();
  CloseHandle(network_);
  CloseHandle(wake_);
}

void SimServer::Wake() const {
  SetEvent(wake_);
}

bool SimServer::Plug() {
  if (!line_.Open(linkPath_)) return false;
  // Non-blocking from here on: the server thread waits on network_ instead.
  WSAEventSelect(line_.Socket(), network_, FD_READ | FD_WRITE | FD_CLOSE);
  return true;
}

bool SimServer::Start(const std::string& linkPath) {
  std::lock_guard l(m_);
  if (started_) return false;
  linkPath_ = linkPath;
  if (!Plug()) return false;
  started_ = running_ = true;
  thread_ = std::thread(&SimServer::Run, this);
  return true;
}

bool SimServer::Perform(Request r) {
  line_.Close();
  if (r == Request::Unplug) return true;
  return Plug();
}

void SimServer::Run() {
  std::string out;      // taken off the device, not yet accepted by the socket
  bool broken = false;  // the relay ended the line: wait for a replug
  std::unique_lock l(m_);
  while (!stop_) {
    while (!requests_.empty()) {
      auto [r, done] = std::move(requests_.front());
      requests_.pop_front();
      out.clear();
      broken = false;
      done.set_value(Perform(r));
    }
    Device::Due due = device_.TakeDue(NowMs());
    if (line_.IsOpen() && !broken) out += due.bytes;  // unplugged: talking into the void
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
    const SOCKET sock = line_.IsOpen() && !broken ? line_.Socket() : INVALID_SOCKET;
    l.unlock();

    while (sock != INVALID_SOCKET && !out.empty()) {
      const int n = send(sock, out.data(), static_cast<int>(out.size()), 0);
      if (n <= 0) break;  // full: FD_WRITE says when it takes more
      out.erase(0, static_cast<std::size_t>(n));
    }
    DWORD timeout = INFINITE;
    if (next) timeout = static_cast<DWORD>(std::max(0.0, std::ceil(*next - NowMs())));
    const HANDLE events[2] = {wake_, network_};
    WaitForMultipleObjects(sock != INVALID_SOCKET ? 2 : 1, events, FALSE, timeout);

    std::string in;
    if (sock != INVALID_SOCKET) {
      WSANETWORKEVENTS happened{};
      WSAEnumNetworkEvents(sock, network_, &happened);
      if (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) {
        for (;;) {
          char buffer[4096];
          const int n = recv(sock, buffer, sizeof buffer, 0);
          if (n > 0) {
            in.append(buffer, static_cast<std::size_t>(n));
            continue;
          }
          if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) broken = true;
          break;
        }
      }
    }
    l.lock();
    if (!in.empty()) ReceiveFromLine(l, in, NowMs());
  }
  FinishRequests();
}

std::string SimServer::SlavePath() const {
  std::lock_guard l(m_);
  return line_.SlavePath();
}

std::string SimServer::LinkPath() const {
  std::lock_guard l(m_);
  return linkPath_;
}

bool SimServer::Plugged() const {
  std::lock_guard l(m_);
  return line_.IsOpen();
}

}  // namespace sim
