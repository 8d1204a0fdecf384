// sim::SimServer for the Windows tests under Wine: the simulated controller runs in the test, as
// on Linux, and its line is a pseudo-terminal of the pty relay (RelayLine.h) instead of one of its
// own. The interface is sim/SimServer.h's, so the engine's tests use either unchanged; the pty
// server itself is Linux-only, and this one exists only for the tests.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "RelayLine.h"
#include "sim/DeviceHost.h"

namespace sim {

class SimServer : public DeviceHost {
 public:
  explicit SimServer(Options options);
  ~SimServer() override;  // stops the thread, hangs the line up

  // linkPath is the Wine device name (test::TComDir::Entry: "com5").
  bool Start(const std::string& linkPath);
  std::string SlavePath() const;  // empty while unplugged

 private:
  bool OpenLine() override;
  void CloseLine() override { line_.Close(); }
  bool LineOpen() const override { return line_.IsOpen(); }
  void HoldLine(bool usable) override {
    held_ = usable && line_.IsOpen() ? line_.Socket() : INVALID_SOCKET;
  }
  Exchanged Exchange(std::string& out, std::optional<double> nextMs) override;
  void Wake() const override;

  test::TRelayLine line_;
  HANDLE wake_;                   // auto-reset
  HANDLE network_;                // the socket's events
  SOCKET held_ = INVALID_SOCKET;  // the serving thread's own
};

}  // namespace sim
