// The engine end to end on the Win32 backend: Wine's COM ports lead to native laser-sim
// processes (scripts/wine-test.sh), so the bytes cross a real serial driver emulation.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "WineRig.h"

namespace {

using Lines = std::vector<std::string>;
using Request = std::function<void(TLaser&)>;

// Runs each request to its reply or failure and returns the events it raised.
Lines RunEach(wine::TLaserHarness& h, const std::vector<Request>& requests) {
  Lines got;
  for (const Request& request : requests) {
    const std::size_t before = h.Values().size();
    request(h.Laser);
    h.PumpUntil([&] { return h.Values().size() > before; });
    const Lines values = h.Values();
    got.push_back(values.size() > before ? values[before] : "(nothing)");
  }
  return got;
}

TEST(WineEngine, ProbeOrdersOfBothFamilies) {
  const Request sn = [](TLaser& l) { l.ReadSN(); };
  auto current = [](int b) { return Request([b](TLaser& l) { l.ReadCurrent(b); }); };
  auto maxCurrent = [](int b) { return Request([b](TLaser& l) { l.ReadMaxCurrent(b); }); };
  auto frequency = [](int b) { return Request([b](TLaser& l) { l.ReadFrequency(b); }); };
  auto trigger = [](int b) { return Request([b](TLaser& l) { l.ReadTriggerMode(b); }); };
  const Request qt = [](TLaser& l) { l.LoadQTCommands(false); };
  const Request ze = [](TLaser& l) { l.LoadZECommands(false); };
  struct TStep {
    Request Do;
    const char* Expected;  // nullptr: a table change, no event
  };
  struct {
    const char* Sim;
    std::vector<TStep> Steps;
  } cases[] = {
      {"QT2",
       {{sn, "OnSN 1234"},
        {current(1), "OnCurrent 1 10.00"},
        {current(2), "OnCurrent 2 12.50"},
        {qt, nullptr},
        {maxCurrent(2), "OnMaxCurrent 2 30.00"},
        {frequency(2), "OnFrequency 2 20000.00"},
        {trigger(2), "OnTriggerMode 2 External"},
        {maxCurrent(1), "OnMaxCurrent 1 40.00"},
        {trigger(1), "OnTriggerMode 1 Internal"}}},
      {"ZE",
       {{sn, "OnSN 1234"},
        {current(1), "OnCommandError lcReadCurrent 1 r61"},
        {current(2), "OnCurrent 2 12.50"},
        {ze, nullptr},
        {maxCurrent(2), "OnMaxCurrent 2 30.00"},
        {frequency(1), "OnFrequency 1 20000.00"},
        {trigger(1), "OnTriggerMode 1 External"}}},
  };
  for (const auto& c : cases) {
    const std::optional<wine::TSim> sim = wine::Sim(c.Sim);
    if (!sim) GTEST_SKIP() << "needs scripts/wine-test.sh";
    wine::TLaserHarness h;
    h.Laser.SetPort(sim->Port);
    ASSERT_TRUE(h.Laser.Open()) << c.Sim;
    h.Laser.LoadBaseCommands();
    for (const TStep& step : c.Steps) {
      if (!step.Expected) {
        step.Do(h.Laser);
        continue;
      }
      EXPECT_EQ(RunEach(h, {step.Do}), Lines{step.Expected}) << c.Sim;
    }
    EXPECT_EQ(h.Count("OnCommandTimeout"), 0) << c.Sim;
  }
}

TEST(WineEngine, SetThenReadRoundTripsAndARefusalIsReported) {
  WINE_SIM_OR_SKIP(sim, "QT2");
  wine::TLaserHarness h;
  h.Laser.SetPort(sim.Port);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadQTCommands(true);
  h.Events.clear();
  TLaser& l = h.Laser;
  l.SetCurrent(2, 20.25);
  l.ReadCurrent(2);
  l.SetFrequency(2, 12345.5);
  l.ReadFrequency(2);
  l.SetCurrent(2, 99);  // above the branch maximum: refused
  l.ReadCurrent(2);
  l.SetFrequency(2, 20000);  // as the other tests expect them
  l.SetCurrent(2, 12.5);
  l.ReadCurrent(2);
  ASSERT_TRUE(h.PumpUntil([&] { return l.QueueCount() == 0 && h.Count("OnCurrent 2") == 3; }));
  EXPECT_EQ(h.Values(), (Lines{"OnCurrent 2 20.25", "OnFrequency 2 12345.50",
                               "OnCommandError lcSetCurrent 2 w62 99.00", "OnCurrent 2 20.25",
                               "OnCurrent 2 12.50"}));
}

TEST(WineEngine, AnErrorLineIsTakenOutAndReportedOnce) {
  WINE_SIM_OR_SKIP(sim, "QT2");
  wine::TLaserHarness h;
  h.Laser.SetPort(sim.Port);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadQTCommands(true);
  ASSERT_TRUE(sim.Say("error 12"));
  // The control line is read by laser-sim in its own time: ask until the code is there.
  bool reported = false;
  for (int i = 0; i < 10 && !reported; ++i) {
    h.Laser.ReadErrorCode();
    reported = h.WaitEvent("OnLaserError 12", 1000);
  }
  EXPECT_TRUE(reported);
  h.Laser.ReadSN();
  EXPECT_TRUE(h.WaitEvent("OnSN 1234")) << "the error line did not spoil the next reply";
  ASSERT_TRUE(sim.Say("clear 12"));
}

TEST(WineEngine, AVanishedDeviceClosesThePortAndAReplugOpensAgain) {
  WINE_SIM_OR_SKIP(sim, "UNPLUG");
  wine::TLaserHarness h;
  TLaser& l = h.Laser;
  l.SetPort(sim.Port);
  // A replug asked for by an earlier test may still be on its way.
  ASSERT_TRUE(h.PumpUntil([&] { return l.Open(); }, 5000));
  l.LoadBaseCommands();
  l.ReadSN();
  ASSERT_TRUE(h.WaitEvent("OnSN 1234"));
  ASSERT_TRUE(sim.Say("unplug"));
  l.ReadSN();  // a write on the dead line finds it too, whichever thread notices first
  ASSERT_TRUE(h.WaitEvent("OnDisconnect", 5000)) << "the engine notices the hang-up";
  EXPECT_FALSE(l.Connected());
  ASSERT_TRUE(sim.Say("replug"));
  ASSERT_TRUE(h.PumpUntil([&] { return l.Open(); }, 5000)) << "the new line behind the link";
  h.Events.clear();
  l.ReadSN();
  EXPECT_TRUE(h.WaitEvent("OnSN 1234"));
}

TEST(WineEngine, ClearErrorAndResetPhasesEndOnReady) {
  WINE_SIM_OR_SKIP(sim, "QT2");
  wine::TLaserHarness h;
  h.Laser.SetPort(sim.Port);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadQTCommands(true);
  ASSERT_TRUE(sim.Say("error 93"));
  bool reported = false;
  for (int i = 0; i < 10 && !reported; ++i) {
    h.Laser.ReadErrorCode();
    reported = h.WaitEvent("OnLaserError 93", 1000);
  }
  ASSERT_TRUE(reported);
  h.Laser.ClearError();
  ASSERT_TRUE(h.WaitEvent("OnClearError"));
  ASSERT_TRUE(h.WaitEvent("OnReseted"));
  h.Laser.Reset();
  ASSERT_TRUE(h.WaitEvent("OnReset"));
  ASSERT_TRUE(h.PumpUntil([&] { return h.Count("OnReseted") == 2; }));
  EXPECT_FALSE(h.Laser.Reseting());
  EXPECT_EQ(h.Count("OnClearedError"), 0);
}

// Teardown with workers blocked in hand-overs, in reply waits, in comm-event waits and in the
// middle of a split reply: every overlapped operation must have ended before its record goes.
TEST(WineEngine, DestroyedInTheMiddleOfTrafficManyTimes) {
  WINE_SIM_OR_SKIP(sim, "SPLIT");
  std::mt19937 random(3);
  for (int i = 0; i < 60; ++i) {
    auto h = std::make_unique<wine::TLaserHarness>();
    TLaser& l = h->Laser;
    l.SetPort(sim.Port);
    ASSERT_TRUE(l.Open()) << i;
    l.LoadQTCommands(true);
    for (int k = 0; k < 10; ++k) {
      l.ReadCurrent(1 + k % 2);
      l.SendCommand(lcReadRunningTime, 0, "");
    }
    if (i % 3 == 0) l.ClearError();
    h->PumpFor(static_cast<int>(random() % 25));
    h.reset();
  }
  wine::TLaserHarness last;
  last.Laser.SetPort(sim.Port);
  ASSERT_TRUE(last.Laser.Open()) << "the port is free again after every teardown";
  last.Laser.LoadBaseCommands();
  last.Laser.ReadSN();
  EXPECT_TRUE(last.WaitEvent("OnSN 1234"));
}

}  // namespace
