// The far end of a serial line for the Windows tests under Wine: a localhost TCP connection to
// tests/win32/PtyRelay.cpp (started by scripts/wine-test.sh), which links a new pseudo-terminal
// as the Wine COM device and copies bytes between it and this connection.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/TempDir.h"

namespace test {

class TRelayLine {
 public:
  TRelayLine() = default;
  ~TRelayLine() { Close(); }
  TRelayLine(const TRelayLine&) = delete;
  TRelayLine& operator=(const TRelayLine&) = delete;

  // Connects and has the Wine device `name` ("com7") linked to a new pseudo-terminal; a test
  // failure names the reason when that fails.
  bool Open(const std::string& name) {
    Close();
    static const bool started = [] {
      WSADATA data;
      return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const char* port = std::getenv("LASER_WINE_RELAY");
    if (!started || !port) {
      ADD_FAILURE() << "no pty relay: run the Windows tests with scripts/wine-test.sh";
      return false;
    }
    FSock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    BOOL noDelay = TRUE;  // a test's bytes go out as it writes them, not batched
    setsockopt(FSock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    const std::string hello = name + "\n";
    if (FSock == INVALID_SOCKET ||
        connect(FSock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !Write(hello)) {
      ADD_FAILURE() << "cannot reach the pty relay on port " << port;
      Drop();
      return false;
    }
    // The answer line; nothing else comes before it, as the device cannot talk yet.
    std::string answer;
    char c = 0;
    while (answer.size() < 4096 && Read(&c, 1, 5000) == 1 && c != '\n') answer.push_back(c);
    if (answer.rfind("ok ", 0) != 0) {
      ADD_FAILURE() << "the pty relay refused " << name << ": " << answer;
      Drop();
      return false;
    }
    FSlave = answer.substr(3);
    return true;
  }

  // The hang-up. Returns once the relay has closed the pseudo-terminal and removed the link, so
  // that an open after it finds nothing there.
  void Close() {
    if (FSock == INVALID_SOCKET) return;
    WSAEventSelect(FSock, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(FSock, FIONBIO, &blocking);
    shutdown(FSock, SD_SEND);
    char buffer[512];
    while (Read(buffer, sizeof buffer, 5000) > 0) {
    }
    Drop();
  }

  bool IsOpen() const { return FSock != INVALID_SOCKET; }
  SOCKET Socket() const { return FSock; }
  const std::string& SlavePath() const { return FSlave; }

  // Blocking; for a socket in blocking mode.
  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int n = send(FSock, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Up to `size` bytes once some are there; 0 when none came within timeoutMs, -1 when the
  // connection has ended.
  int Read(char* buffer, int size, int timeoutMs) {
    if (FSock == INVALID_SOCKET) return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(FSock, &readable);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    const int n = recv(FSock, buffer, size, 0);
    return n > 0 ? n : -1;
  }

 private:
  void Drop() {
    if (FSock != INVALID_SOCKET) closesocket(FSock);
    FSock = INVALID_SOCKET;
    FSlave.clear();
  }

  SOCKET FSock = INVALID_SOCKET;
  std::string FSlave;
};

// The COM devices of the Wine prefix: the relay links them in its dosdevices folder. The folder
// is the test's own, for the files that sit beside the COM entries on Linux (a settings file).
class TComDir {
 public:
  std::string Entry(int port) const { return "com" + std::to_string(port); }
  std::string Path() const { return FFolder.String(); }

 private:
  TTempDir FFolder;
};

// The device end that TScriptedDevice reads and writes.
class TDeviceEnd {
 public:
  TDeviceEnd(const TComDir& dir, int port) { FLine.Open(dir.Entry(port)); }
  void Close() { FLine.Close(); }
  int Read(char* buffer, int size, int timeoutMs) {
    return FLine.Read(buffer, size, std::max(timeoutMs, 0));
  }
  void Write(const std::string& bytes) { FLine.Write(bytes); }

 private:
  TRelayLine FLine;
};

}  // namespace test
