#include <gtest/gtest.h>

#include "Harness.h"
#include "tools/laser-console/Console.h"

namespace {

TEST(ConsoleArgs, GoodAndBad) {
  struct {
    std::vector<std::string> Args;
    bool Ok;
  } cases[] = {
      {{"--port", "5"}, true},
      {{"--port", "5", "--set", "qt", "--wait-ms", "0"}, true},
      {{"--help"}, true},
      {{}, false},
      {{"--port"}, false},
      {{"--port", "0"}, false},
      {{"--port", "5x"}, false},
      {{"--port", "5", "--set", "xx"}, false},
      {{"--port", "5", "--wait-ms", "-1"}, false},
      {{"--port", "5", "--bogus"}, false},
  };
  for (const auto& c : cases) {
    TConsoleOptions options;
    EXPECT_EQ(!ParseConsoleArgs(c.Args, options).has_value(), c.Ok)
        << (c.Args.empty() ? "" : c.Args.back());
  }
  TConsoleOptions options;
  ASSERT_FALSE(ParseConsoleArgs({"--port", "12", "--set", "ze"}, options));
  EXPECT_EQ(options.Port, 12);
  EXPECT_EQ(options.Set, "ze");
}

TEST(ConsoleLines, RequestsByNameAndRawTexts) {
  test::TComDir dir;
  test::TScriptedDevice device(dir);
  test::TLaserHarness h;
  h.Laser.SetPort(7);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadQTCommands(true);
  struct {
    const char* Line;
    const char* Sent;  // nullptr: nothing is queued
    bool Error;
  } cases[] = {
      {"ReadCurrent 2", "r62", false},
      {"SetCurrent 2 12.5", "w62 12.50", false},
      {"SetTriggerMode 1 1", "w71 1", false},
      {"SetLaserOn 1", "w60 1", false},
      {"SendCommand lcSetPassword 0 my secret", "w01 my secret", false},
      {"SendValue 30 2 100", "w74 100.00", false},
      {"SendRaw  r061 ", "r061", false},
      {"r99", "r99", false},
      {"  # a comment", nullptr, false},
      {"", nullptr, false},
      {"ReadCurrent", nullptr, true},
      {"ReadCurrent x", nullptr, true},
      {"SetCurrent 2 12,5", nullptr, true},
      {"SendCommand lcBogus 0", nullptr, true},
      {"SetLaserOn 2", nullptr, true},
  };
  for (const auto& c : cases) {
    int waitMs = -1;
    const auto error = ExecuteLine(h.Laser, c.Line, waitMs);
    EXPECT_EQ(error.has_value(), c.Error) << c.Line;
    if (c.Sent == nullptr) {
      EXPECT_EQ(h.Laser.QueueCount(), 0) << c.Line;
      continue;
    }
    std::optional<std::string> sent;
    ASSERT_TRUE(h.PumpUntil([&] { return (sent = device.ReadCommand(5)).has_value(); })) << c.Line;
    EXPECT_EQ(*sent, c.Sent);
    device.Write(c.Sent[0] == 'r' ? "ERROR\r\n" : "OK\r\n");  // an answer either way
    ASSERT_TRUE(h.PumpUntil([&] { return h.Laser.QueueCount() == 0; })) << c.Line;
  }
  int waitMs = -1;
  EXPECT_FALSE(ExecuteLine(h.Laser, "Wait 250", waitMs));
  EXPECT_EQ(waitMs, 250);
}

}  // namespace
