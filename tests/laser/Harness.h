// Test scaffolding for the engine: a serial line whose far end a test scripts byte by byte, and
// a laser whose events are recorded as lines while the test plays the UI thread. On Linux the
// line is a pseudo-terminal linked as COMn; under Wine, one that the pty relay serves.
#pragma once

#if defined(_WIN32)
#include "../win32/RelayLine.h"  // TComDir and TDeviceEnd
#else
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "laser/EventLog.h"
#include "laser/QNLaser.h"

namespace test {

using Clock = std::chrono::steady_clock;

inline int MsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

#if !defined(_WIN32)
// A temporary folder that LASER_COM_DIR names, so COMn entries in it are found as ports.
class TComDir {
 public:
  TComDir() {
    char pattern[] = "/tmp/laser-test-XXXXXX";
    FPath = mkdtemp(pattern);
    setenv("LASER_COM_DIR", FPath.c_str(), 1);
  }
  ~TComDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string Entry(int port) const { return FPath + "/COM" + std::to_string(port); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

// The master of a pseudo-terminal whose slave is linked as COMn.
class TDeviceEnd {
 public:
  TDeviceEnd(const TComDir& dir, int port) {
    int slave = -1;
    char name[256];
    openpty(&FMaster, &slave, name, nullptr, nullptr);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    FSlave = slave;  // kept open so the master never sees a hang-up while the port reopens
    FLink = dir.Entry(port);
    std::filesystem::remove(FLink);
    std::filesystem::create_symlink(name, FLink);
  }
  ~TDeviceEnd() {
    Close();
    std::error_code ec;
    std::filesystem::remove(FLink, ec);
  }
  TDeviceEnd(const TDeviceEnd&) = delete;
  TDeviceEnd& operator=(const TDeviceEnd&) = delete;
  // The hang-up.
  void Close() {
    if (FMaster >= 0) close(FMaster);
    if (FSlave >= 0) close(FSlave);
    FMaster = FSlave = -1;
  }
  // Up to `size` bytes once some are there; 0 when none came within timeoutMs, -1 when the line
  // has ended.
  int Read(char* buffer, int size, int timeoutMs) {
    if (FMaster < 0) return -1;
    pollfd p{FMaster, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 0;
    const ssize_t n = read(FMaster, buffer, static_cast<std::size_t>(size));
    return n > 0 ? static_cast<int>(n) : -1;
  }
  void Write(const std::string& bytes) {
    [[maybe_unused]] ssize_t n = write(FMaster, bytes.data(), bytes.size());
  }

 private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FLink;
};
#endif

// The device end of a serial line linked as COMn: the test reads the commands the engine writes
// and answers with exactly the bytes (and chunks) it wants.
class TScriptedDevice {
 public:
  explicit TScriptedDevice(const TComDir& dir, int port = 7) : FEnd(dir, port) {}
  ~TScriptedDevice() { Unplug(); }
  void Unplug() { FEnd.Close(); }

  // The next command (text up to CR), or nothing within timeoutMs.
  std::optional<std::string> ReadCommand(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const std::size_t cr = FPending.find('\r');
      if (cr != std::string::npos) {
        std::string command = FPending.substr(0, cr);
        FPending.erase(0, cr + 1);
        return command;
      }
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      if (left <= 0) return std::nullopt;
      char buffer[256];
      const int n = FEnd.Read(buffer, sizeof buffer, left);
      if (n < 0) return std::nullopt;  // unplugged: nothing more comes
      FPending.append(buffer, static_cast<std::size_t>(n));
    }
  }
  void Write(const std::string& bytes) { FEnd.Write(bytes); }

 private:
  TDeviceEnd FEnd;
  std::string FPending;
};

inline TLaserTiming FastTiming() {
  return TLaserTiming{500, 19000, 10};
}

// A laser with every event recorded; the test thread is its UI thread.
class TLaserHarness {
 public:
  explicit TLaserHarness(TLaserTiming timing = FastTiming()) : Laser(timing) {
    AttachEventLog(Laser, [this](const std::string& line) { Events.push_back(line); });
  }

  // Plays the UI thread until pred holds or timeoutMs pass.
  bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      Laser.Synchronizer().CheckSynchronize();
      if (pred()) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      Laser.Synchronizer().WaitPending(static_cast<int>(std::min<long long>(left, 50)));
    }
  }
  // Plays the UI thread for a while (to see that something does NOT happen).
  void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
  }
  bool WaitEvent(const std::string& line, int timeoutMs = 10000) {
    return PumpUntil([&] { return Has(line); }, timeoutMs);
  }
  bool Has(const std::string& line) const {
    return std::find(Events.begin(), Events.end(), line) != Events.end();
  }
  int Count(const std::string& prefix) const {
    return static_cast<int>(std::count_if(Events.begin(), Events.end(), [&](const std::string& e) {
      return e.compare(0, prefix.size(), prefix) == 0;
    }));
  }
  // Events without the transport chatter (OnSend / OnReceive / OnResync) and the operator's
  // reports.
  std::vector<std::string> Values() const {
    std::vector<std::string> out;
    for (const std::string& e : Events) {
      if (e.rfind("OnSend", 0) != 0 && e.rfind("OnReceive", 0) != 0 &&
          e.rfind("OnCommandReport", 0) != 0 && e.rfind("OnResync", 0) != 0) {
        out.push_back(e);
      }
    }
    return out;
  }

  std::vector<std::string> Events;  // before Laser: its destructor may still report
  TLaser Laser;
};

}  // namespace test
