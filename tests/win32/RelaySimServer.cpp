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
  StopServing();
  CloseHandle(network_);
  CloseHandle(wake_);
}

void SimServer::Wake() const {
  SetEvent(wake_);
}

bool SimServer::OpenLine() {
  if (!line_.Open(linkPath_)) return false;
  // Non-blocking from here on: the server thread waits on network_ instead.
  WSAEventSelect(line_.Socket(), network_, FD_READ | FD_WRITE | FD_CLOSE);
  return true;
}

bool SimServer::Start(const std::string& linkPath) {
  return StartServing(linkPath);
}

DeviceHost::Exchanged SimServer::Exchange(std::string& out, std::optional<double> nextMs) {
  const SOCKET sock = held_;
  while (sock != INVALID_SOCKET && !out.empty()) {
    const int n = send(sock, out.data(), static_cast<int>(out.size()), 0);
    if (n <= 0) break;  // full: FD_WRITE says when it takes more
    out.erase(0, static_cast<std::size_t>(n));
  }
  DWORD timeout = INFINITE;
  if (nextMs) timeout = static_cast<DWORD>(std::max(0.0, std::ceil(*nextMs - NowMs())));
  const HANDLE events[2] = {wake_, network_};
  WaitForMultipleObjects(sock != INVALID_SOCKET ? 2 : 1, events, FALSE, timeout);

  Exchanged got;
  if (sock != INVALID_SOCKET) {
    WSANETWORKEVENTS happened{};
    WSAEnumNetworkEvents(sock, network_, &happened);
    if (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) {
      for (;;) {
        char buffer[4096];
        const int n = recv(sock, buffer, sizeof buffer, 0);
        if (n > 0) {
          got.in.append(buffer, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) got.broken = true;
        break;
      }
    }
  }
  return got;
}

std::string SimServer::SlavePath() const {
  std::lock_guard l(m_);
  return line_.SlavePath();
}

}  // namespace sim
