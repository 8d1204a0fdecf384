// The engine end to end against the simulated controller over a pseudo-terminal.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>

#include "Harness.h"
#include "SimHarness.h"

namespace {

using Lines = std::vector<std::string>;

struct TSimRig {
  explicit TSimRig(sim::Options options, TLaserTiming timing = test::FastTiming())
      : Server(std::move(options)), H(timing) {
    Server.Start(Dir.Entry(5));
    H.Laser.SetPort(5);
  }
  // Runs the requests one after the other, each to its reply or failure.
  void Run(const std::function<void(TLaser&)>& request) {
    const std::size_t before = H.Events.size();
    request(H.Laser);
    H.PumpUntil([&] {
      for (std::size_t i = before; i < H.Events.size(); ++i) {
        const std::string& e = H.Events[i];
        if (e.rfind("OnSend", 0) != 0 && e.rfind("OnReceive", 0) != 0) return true;
      }
      return false;
    });
  }
  std::string Last() const { return H.Values().empty() ? "" : H.Values().back(); }

  test::TComDir Dir;
  sim::SimServer Server;
  test::TLaserHarness H;
};

TEST(SimEngine, ProbeOrdersOfEveryModel) {
  using Request = std::function<void(TLaser&)>;
  const Request sn = [](TLaser& l) { l.ReadSN(); };
  auto current = [](int b) { return Request([b](TLaser& l) { l.ReadCurrent(b); }); };
  auto maxCurrent = [](int b) { return Request([b](TLaser& l) { l.ReadMaxCurrent(b); }); };
  auto frequency = [](int b) { return Request([b](TLaser& l) { l.ReadFrequency(b); }); };
  auto trigger = [](int b) { return Request([b](TLaser& l) { l.ReadTriggerMode(b); }); };
  const Request qt = [](TLaser& l) { l.LoadQTCommands(false); };
  const Request ze = [](TLaser& l) { l.LoadZECommands(false); };
  struct TStep {
    Request Do;
    const char* Expected;  // nullptr: no event expected (a table change)
  };
  struct {
    const char* Model;
    std::vector<TStep> Steps;
  } models[] = {
      {"qt2",
       {{sn, "OnSN 1234"},
        {current(1), "OnCurrent 1 10.00"},
        {current(2), "OnCurrent 2 12.50"},
        {qt, nullptr},
        {maxCurrent(2), "OnMaxCurrent 2 30.00"},
        {frequency(2), "OnFrequency 2 20000.00"},
        {trigger(2), "OnTriggerMode 2 External"},
        {maxCurrent(1), "OnMaxCurrent 1 40.00"},
        {frequency(1), "OnFrequency 1 30000.00"},
        {trigger(1), "OnTriggerMode 1 Internal"}}},
      {"qt2c",
       {{sn, "OnSN 1234"},
        {current(1), "OnCurrent 1 10.00"},
        {current(2), "OnCurrent 2 12.50"},
        {qt, nullptr},
        {maxCurrent(2), "OnMaxCurrent 2 30.00"},
        {frequency(2), "OnCommandError lcReadFrequency 2 r74"},
        {trigger(2), "OnTriggerMode 2 External"},
        {frequency(1), "OnFrequency 1 30000.00"}}},
      {"qt1",
       {{sn, "OnSN 1234"},
        {current(1), "OnCurrent 1 10.00"},
        {current(2), "OnCommandError lcReadCurrent 2 r62"},
        {qt, nullptr},
        {maxCurrent(1), "OnMaxCurrent 1 40.00"},
        {frequency(1), "OnFrequency 1 30000.00"},
        {trigger(1), "OnTriggerMode 1 Internal"}}},
      {"ze",
       {{sn, "OnSN 1234"},
        {current(1), "OnCommandError lcReadCurrent 1 r61"},
        {current(2), "OnCurrent 2 12.50"},
        {ze, nullptr},
        {maxCurrent(2), "OnMaxCurrent 2 30.00"},
        {frequency(1), "OnFrequency 1 20000.00"},  // its one branch has the second's settings
        {trigger(1), "OnTriggerMode 1 External"}}},
      {"sn-only",
       {{sn, "OnSN 1234"},
        {current(1), "OnCommandTimeout lcReadCurrent 1 r61"},
        {current(2), "OnCommandTimeout lcReadCurrent 2 r62"}}},
      {"mute", {{sn, "OnCommandTimeout lcReadSN 0 r01"}}},
  };
  for (const auto& model : models) {
    sim::Options options;
    options.model = model.Model;
    TSimRig rig(options);
    ASSERT_TRUE(rig.H.Laser.Open()) << model.Model;
    rig.H.Laser.LoadBaseCommands();
    for (const TStep& step : model.Steps) {
      if (step.Expected == nullptr) {
        step.Do(rig.H.Laser);
        continue;
      }
      rig.Run(step.Do);
      EXPECT_EQ(rig.Last(), step.Expected) << model.Model;
      rig.H.PumpUntil([&] { return rig.H.Laser.QueueCount() == 0; });
    }
  }
}

TEST(SimEngine, SetThenReadRoundTrips) {
  TSimRig rig(sim::Options{});
  ASSERT_TRUE(rig.H.Laser.Open());
  rig.H.Laser.LoadQTCommands(true);
  rig.H.Events.clear();
  TLaser& l = rig.H.Laser;
  l.SetCurrent(2, 20.25);
  l.ReadCurrent(2);
  l.SetTriggerMode(2, 1);
  l.ReadTriggerMode(1);
  l.SetTriggerMode(1, 2);
  l.ReadTriggerMode(2);
  l.SetFrequency(1, 12345.5);
  l.ReadFrequency(1);
  l.SetLaserOn(true);
  l.ReadStatus();
  l.SetCurrent(1, 99);  // above the branch maximum: refused
  l.ReadCurrent(1);
  l.SendCommand(lcReadRunningTime, 0, "");
  ASSERT_TRUE(rig.H.PumpUntil([&] { return l.QueueCount() == 0 && rig.H.Count("OnRunningTime"); }));
  EXPECT_EQ(rig.H.Values(), (Lines{"OnCurrent 2 20.25", "OnTriggerMode 1 CW",
                                   "OnTriggerMode 2 External", "OnFrequency 1 12345.50",
                                   "OnLaserON true", "OnCommandError lcSetCurrent 1 w61 99.00",
                                   "OnCurrent 1 10.00", "OnRunningTime 74045"}));
}

TEST(SimEngine, ClearErrorAndResetPhases) {
  sim::Options options;
  options.clearDelayMs = 100;
  options.resetMs = 300;
  TSimRig rig(options);
  ASSERT_TRUE(rig.H.Laser.Open());
  rig.H.Laser.LoadQTCommands(true);
  rig.Server.RaiseError(93);
  ASSERT_TRUE(rig.H.WaitEvent("OnLaserError 93"));
  rig.H.Laser.ClearError();
  ASSERT_TRUE(rig.H.WaitEvent("OnClearError"));
  ASSERT_TRUE(rig.H.WaitEvent("OnReseted"));
  rig.H.Laser.Reset();
  ASSERT_TRUE(rig.H.WaitEvent("OnReset"));
  ASSERT_TRUE(rig.H.PumpUntil([&] { return rig.H.Count("OnReseted") == 2; }));
  EXPECT_FALSE(rig.H.Laser.Reseting());
  EXPECT_EQ(rig.H.Count("OnClearedError"), 0);
}

TEST(SimEngine, UnclearableErrorIsRefused) {
  sim::Options options;
  options.unclearableErrors = {95};
  TSimRig rig(options);
  ASSERT_TRUE(rig.H.Laser.Open());
  rig.H.Laser.LoadQTCommands(true);
  rig.H.Laser.ReadErrorCode();
  ASSERT_TRUE(rig.H.WaitEvent("OnLaserError 95"));
  rig.H.Laser.ClearError();
  ASSERT_TRUE(rig.H.WaitEvent("OnClearedError"));
  EXPECT_TRUE(rig.H.Has("OnCommandError lcClearError 0 w97 347"));
}

// Under every fault the simulator can inject, whatever the engine delivers is right, and every
// request ends (answered, refused or timed out) without a hang.
TEST(SimEngine, FaultInjectionDeliversOnlyRightValues) {
  struct {
    const char* Name;
    std::function<void(sim::Options&)> Faults;
  } runs[] = {
      {"drop", [](sim::Options& o) { o.drop = 0.25; }},
      {"split", [](sim::Options& o) { o.split = true; }},
      {"garbage", [](sim::Options& o) { o.garbage = 0.4; }},
      {"lower", [](sim::Options& o) { o.caseMode = sim::CaseMode::Lower; }},
      {"mixed+blanks",
       [](sim::Options& o) {
         o.caseMode = sim::CaseMode::Mixed;
         o.blanks = true;
       }},
      {"unsolicited", [](sim::Options& o) { o.unsolicitedErrorRate = 0.3; }},
      {"error-rate", [](sim::Options& o) { o.errorRate = 0.2; }},
      {"paced+delay",
       [](sim::Options& o) {
         o.pace = true;
         o.delayMs = 20;
       }},
      {"all",
       [](sim::Options& o) {
         o.drop = 0.1;
         o.split = true;
         o.garbage = 0.2;
         o.caseMode = sim::CaseMode::Mixed;
         o.unsolicitedErrorRate = 0.1;
       }},
  };
  const std::map<std::string, std::string> right = {
      {"OnCurrent 1", "10.00"},
      {"OnCurrent 2", "12.50"},
      {"OnMaxCurrent 1", "40.00"},
      {"OnMaxCurrent 2", "30.00"},
      {"OnFrequency 1", "30000.00"},
      {"OnFrequency 2", "20000.00"},
      {"OnTriggerMode 1", "Internal"},
      {"OnTriggerMode 2", "External"},
      {"OnSN", "1234"},
      {"OnRunningTime", "74045"},
      {"OnLaserON", "false"},
      {"OnFlowRate", "3.50"},
      {"OnHumidity 1", "35.20"},
      {"OnSeederFrequency", "80500000.00"},
      {"OnLaserError", "93"},
  };
  for (const auto& run : runs) {
    sim::Options options;
    options.seed = 7;
    run.Faults(options);
    TSimRig rig(options);
    TLaser& l = rig.H.Laser;
    ASSERT_TRUE(l.Open()) << run.Name;
    l.LoadQTCommands(true);
    for (int round = 0; round < 4; ++round) {
      l.ReadSN();
      l.ReadCurrent(1);
      l.ReadCurrent(2);
      l.ReadMaxCurrent(1);
      l.ReadMaxCurrent(2);
      l.ReadFrequency(1);
      l.ReadFrequency(2);
      l.ReadTriggerMode(1);
      l.ReadTriggerMode(2);
      l.ReadStatus();
      l.SendCommand(lcReadRunningTime, 0, "");
      l.SendCommand(lcReadFlowRate, 0, "");
      l.SendCommand(lcReadHumidity, 1, "");
      l.SendCommand(lcReadSeederFrequency, 0, "");
    }
    ASSERT_TRUE(rig.H.PumpUntil([&] { return l.QueueCount() == 0; }, 60000)) << run.Name;
    rig.H.PumpFor(100);
    int values = 0;
    for (const std::string& e : rig.H.Values()) {
      if (e.rfind("OnCommand", 0) == 0 || e == "OnReseted" || e == "OnConnect") continue;
      const std::size_t cut = e.rfind(' ');
      ASSERT_NE(cut, std::string::npos) << e;
      const auto it = right.find(e.substr(0, cut));
      ASSERT_NE(it, right.end()) << run.Name << ": unexpected " << e;
      EXPECT_EQ(e.substr(cut + 1), it->second) << run.Name << ": " << e;
      ++values;
    }
    EXPECT_GT(values, 20) << run.Name << ": most requests must come through";
  }
}

TEST(SimEngine, UnplugAndReplug) {
  TSimRig rig(sim::Options{});
  TLaser& l = rig.H.Laser;
  ASSERT_TRUE(l.Open());
  l.LoadBaseCommands();
  rig.Run([](TLaser& x) { x.ReadSN(); });
  EXPECT_EQ(rig.Last(), "OnSN 1234");
  rig.Server.Unplug();
  ASSERT_TRUE(rig.H.WaitEvent("OnDisconnect")) << "the engine notices the hang-up";
  EXPECT_FALSE(l.Connected());
  EXPECT_TRUE(l.Disconnect());
  EXPECT_FALSE(l.Open()) << "nothing behind the link while unplugged";
  ASSERT_TRUE(rig.Server.Replug());
  ASSERT_TRUE(l.Open());
  rig.Run([](TLaser& x) { x.ReadSN(); });
  EXPECT_EQ(rig.Last(), "OnSN 1234");
}

TEST(SimEngine, DestroyedInTheMiddleOfTrafficManyTimes) {
  test::TComDir dir;
  sim::Options options;
  options.split = true;
  options.unsolicitedErrorRate = 0.2;
  sim::SimServer server(options);
  ASSERT_TRUE(server.Start(dir.Entry(5)));
  std::mt19937 random(3);
  for (int i = 0; i < 120; ++i) {
    auto h = std::make_unique<test::TLaserHarness>();
    TLaser& l = h->Laser;
    l.SetPort(5);
    ASSERT_TRUE(l.Open()) << i;
    l.LoadQTCommands(true);
    for (int k = 0; k < 10; ++k) {
      l.ReadCurrent(1 + k % 2);
      l.SendCommand(lcReadRunningTime, 0, "");
    }
    if (i % 3 == 0) l.ClearError();
    // Leave workers blocked in hand-overs, in reply waits and in the middle of a reply.
    h->PumpFor(static_cast<int>(random() % 25));
    h.reset();
  }
}

}  // namespace
