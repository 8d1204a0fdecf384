// A laser on COM7 against a far end the test scripts byte by byte, the test playing the UI thread.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Harness.h"

namespace test {

class TScriptedLaser : public ::testing::Test {
 protected:
  explicit TScriptedLaser(TLaserTiming timing = FastTiming()) : H(timing) {}

  void Connect(bool qt = true) {
    H.Laser.SetPort(7);
    ASSERT_TRUE(H.Laser.Open());
    if (qt) {
      H.Laser.LoadQTCommands(true);
    } else {
      H.Laser.LoadZECommands(true);
    }
    H.Events.clear();
  }
  // The next command the engine writes to `device`, if any comes within `ms`.
  std::optional<std::string> NextWithin(int ms, TScriptedDevice& device) {
    std::optional<std::string> command;
    H.PumpUntil(
        [&] {
          command = device.ReadCommand(5);
          return command.has_value();
        },
        ms);
    return command;
  }
  std::optional<std::string> NextWithin(int ms) { return NextWithin(ms, Device); }
  std::string Next(int ms = 10000) { return NextWithin(ms).value_or("<nothing>"); }
  // After a reply wait ran out the engine reads the serial number before anything else, and takes
  // no reply for a later command until that read is answered.
  void AnswerSync() {
    EXPECT_EQ(Next(), "r01");
    Device.Write("S/N: 1234\r\n");
  }

  TComDir Dir;
  TScriptedDevice Device{Dir};
  TLaserHarness H;
};

}  // namespace test
