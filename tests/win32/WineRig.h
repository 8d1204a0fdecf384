// Test scaffolding under Wine: the COM ports that scripts/wine-test.sh serves with native
// laser-sim processes, their control FIFOs, and a laser whose events are recorded as lines while
// the test plays the UI thread.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "laser/EventLog.h"
#include "laser/QNLaser.h"

namespace wine {

// A simulated controller: its COM number and the FIFO that takes its control lines.
struct TSim {
  TPort Port = 0;
  std::string Control;  // Windows path of the FIFO

  // Sends one control line ("unplug", "replug", "error 12"). laser-sim acts on it in its own
  // time: tests wait for the effect on the line, not for the line to be read.
  bool Say(const std::string& line) const {
    const std::wstring path(Control.begin(), Control.end());
    const HANDLE fifo = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (fifo == INVALID_HANDLE_VALUE) return false;
    const std::string text = line + "\n";
    DWORD written = 0;
    const bool ok =
        WriteFile(fifo, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    CloseHandle(fifo);
    return ok;
  }
};

// LASER_WINE_<NAME>=port;control, set by scripts/wine-test.sh; nothing outside that script.
inline std::optional<TSim> Sim(const char* name) {
  const char* value = std::getenv((std::string("LASER_WINE_") + name).c_str());
  if (!value) return std::nullopt;
  const std::string text(value);
  const std::size_t semicolon = text.find(';');
  TSim sim;
  sim.Port = static_cast<TPort>(std::atoi(text.substr(0, semicolon).c_str()));
  if (semicolon != std::string::npos) sim.Control = text.substr(semicolon + 1);
  if (sim.Port == 0) return std::nullopt;
  return sim;
}

#define WINE_SIM_OR_SKIP(var, name)                                                  \
  const std::optional<wine::TSim> var##Opt = wine::Sim(name);                        \
  if (!var##Opt) GTEST_SKIP() << "needs scripts/wine-test.sh (LASER_WINE_" name ")"; \
  const wine::TSim& var = *var##Opt

// Wine's ntdll has an export of its own that Windows' lacks.
inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

using Clock = std::chrono::steady_clock;

// A laser with every event recorded; the test thread is its UI thread.
class TLaserHarness {
 public:
  explicit TLaserHarness(TLaserTiming timing = TLaserTiming{500, 19000, 10}) : Laser(timing) {
    AttachEventLog(Laser, [this](const std::string& line) { Events.push_back(line); });
  }
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
  std::vector<std::string> Values() const {
    std::vector<std::string> out;
    for (const std::string& e : Events) {
      if (e.rfind("OnSend", 0) != 0 && e.rfind("OnReceive", 0) != 0) out.push_back(e);
    }
    return out;
  }

  std::vector<std::string> Events;  // before Laser: its destructor may still report
  TLaser Laser;
};

}  // namespace wine
