// The window side's fan-out of the laser's events: the engine's handler is set exactly while
// someone listens, every subscriber hears each event in the order it subscribed, and subscribers
// may come and go while an event is handed on, or outlive the fan-out.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "logic/LaserEvents.h"

namespace {

using Lines = std::vector<std::string>;

TEST(LaserEvents, AnEngineHandlerIsSetExactlyWhileSomeoneListens) {
  TLaser laser;
  std::optional<TLaserEvents> events(std::in_place, laser);
  struct {
    const char* Name;
    std::function<bool()> EngineSet;
    std::function<TSubscription()> Listen;
  } cases[] = {
      {"received text (watched by the receiving thread)",
       [&] { return laser.OnReceive.Assigned(); },
       [&] { return events->Receive.Subscribe([](const std::string&) {}); }},
      {"engine's own reads", [&] { return laser.OnResync.Assigned(); },
       [&] { return events->Resync.Subscribe([](const std::string&) {}); }},
      {"connect", [&] { return static_cast<bool>(laser.OnConnect); },
       [&] { return events->Connect.Subscribe([] {}); }},
      {"current", [&] { return static_cast<bool>(laser.OnCurrent); },
       [&] { return events->Current.Subscribe([](std::uint8_t, double) {}); }},
      {"running time", [&] { return static_cast<bool>(laser.OnRunningTime); },
       [&] { return events->RunningTime.Subscribe([](std::uint32_t) {}); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_FALSE(c.EngineSet()) << "nobody listens yet";
    TSubscription first = c.Listen();
    EXPECT_TRUE(c.EngineSet());
    {
      TSubscription second = c.Listen();
      EXPECT_TRUE(c.EngineSet());
    }
    EXPECT_TRUE(c.EngineSet()) << "one still listens";
    TSubscription moved = std::move(first);
    EXPECT_TRUE(c.EngineSet());
    moved.Cancel();
    EXPECT_FALSE(c.EngineSet()) << "the last one left";
    moved.Cancel();  // twice: nothing more
    TSubscription again = c.Listen();
    EXPECT_TRUE(c.EngineSet());
    // The fan-out goes while a subscription remains: the handler goes with it, and the
    // subscription ends harmlessly later.
    events.reset();
    EXPECT_FALSE(c.EngineSet());
    again.Cancel();
    events.emplace(laser);
  }
}

TEST(LaserEvents, EverySubscriberHearsInTheOrderItSubscribed) {
  TLaser laser;
  TLaserEvents events(laser);
  Lines heard;
  TSubscriptions subscriptions;
  subscriptions += events.Current.Subscribe([&](std::uint8_t branch, double value) {
    heard.push_back("panel " + std::to_string(branch) + " " + std::to_string(value));
  });
  subscriptions += events.Current.Subscribe(
      [&](std::uint8_t branch, double) { heard.push_back("detection " + std::to_string(branch)); });
  subscriptions += events.Current.Subscribe({});  // an empty handler is not taken
  EXPECT_EQ(events.Current.Count(), 2u);
  laser.OnCurrent(&laser, 2, 12.5);  // as the engine raises it, its sender dropped
  EXPECT_EQ(heard, (Lines{"panel 2 12.500000", "detection 2"}));
  subscriptions.Clear();
  EXPECT_FALSE(static_cast<bool>(laser.OnCurrent));
}

// A subscriber that ends another's subscription (or its own) or takes a new one while the event
// is handed on: the one that left is not called, the one that joined hears the next event.
TEST(LaserEvents, SubscribersComeAndGoWhileAnEventIsHandedOn) {
  struct {
    const char* Name;
    int Cancels;   // index of the subscription the first subscriber cancels, -1 none
    bool Joins;    // the first subscriber takes a new subscription
    Lines First;   // heard on the first event
    Lines Second;  // on the second
  } cases[] = {
      {"cancels a later one", 2, false, {"a", "b"}, {"a", "b"}},
      {"cancels itself", 0, false, {"a", "b", "c"}, {"b", "c"}},
      {"joins a new one", -1, true, {"a", "b", "c"}, {"a", "b", "c", "d"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TFanOut<> fan;
    Lines heard;
    std::vector<TSubscription> subs(3);
    TSubscription joined;
    bool done = false;
    subs[0] = fan.Subscribe([&] {
      heard.push_back("a");
      if (done) return;
      done = true;
      if (c.Cancels >= 0) subs[c.Cancels].Cancel();
      if (c.Joins) joined = fan.Subscribe([&] { heard.push_back("d"); });
    });
    subs[1] = fan.Subscribe([&] { heard.push_back("b"); });
    subs[2] = fan.Subscribe([&] { heard.push_back("c"); });
    fan();
    EXPECT_EQ(heard, c.First);
    heard.clear();
    fan();
    EXPECT_EQ(heard, c.Second);
  }
}

TEST(LaserEvents, FirstAndLastAreToldOnce) {
  TFanOut<int> fan;
  Lines told;
  fan.OnFirstOrLast([&](bool listen) { told.push_back(listen ? "first" : "last"); });
  {
    TSubscriptions subscriptions;
    subscriptions += fan.Subscribe([](int) {});
    subscriptions += fan.Subscribe([](int) {});
    subscriptions += fan.Subscribe([](int) {});
  }
  TSubscription one = fan.Subscribe([](int) {});
  EXPECT_EQ(told, (Lines{"first", "last", "first"}));
}

}  // namespace
