// What goes first on the line and what the operator hears: Laser OFF ahead of everything not yet
// written, the operator's commands ahead of refresh reads, one refresh round at a time, every
// operator's command that fails or is dropped reported, and a line out of step brought back
// before anything but Laser OFF is written again.
#include <gtest/gtest.h>

#include <algorithm>

#include "ScriptedLaser.h"
#include "SimHarness.h"

namespace {

using test::Clock;
using test::MsSince;
using Lines = std::vector<std::string>;

class Priority : public test::TScriptedLaser {
 protected:
  using TScriptedLaser::TScriptedLaser;

  // The window's refresh round of a two-branch laser: the engine itself refuses a round while
  // the last is not through.
  void RefreshRound() {
    TLaser::TRequestScope refresh(H.Laser, TOrigin::Refresh);
    H.Laser.ReadStatus();
    for (std::uint8_t b = 1; b <= 2; ++b) H.Laser.ReadCurrent(b);
    for (std::uint8_t b = 1; b <= 2; ++b) H.Laser.ReadTriggerMode(b);
  }
  Lines Reports() const {
    Lines out;
    for (const std::string& e : H.Events) {
      if (e.rfind("OnCommandReport", 0) == 0) out.push_back(e);
    }
    return out;
  }
};

// A long reply wait: nothing is written after a command but its answer's doing.
class PrioritySlow : public Priority {
 protected:
  PrioritySlow() : Priority(TLaserTiming{8000, 19000, 10}) {}
};

// Short waits for the engine's own reads and the silence that gives a line up.
class PriorityShortResync : public Priority {
 protected:
  PriorityShortResync() : Priority(TLaserTiming{300, 19000, 10, 300, 50, 1200}) {}
};

// A long wait for each of the engine's own reads: anything that waited for one would show.
class PriorityLongResync : public Priority {
 protected:
  PriorityLongResync() : Priority(TLaserTiming{300, 19000, 10, 8000, 50, 30000}) {}
};

TEST_F(PrioritySlow, LaserOffIsTheNextCommandWrittenAfterTheOneInFlight) {
  Connect();
  RefreshRound();
  EXPECT_EQ(Next(), "r60");  // in flight: it keeps the line until it is answered
  H.Laser.SetCurrent(1, 12.5);
  RefreshRound();  // the last round is still out: nothing more is queued
  EXPECT_EQ(H.Laser.QueueCount(), 6);
  H.Laser.SetLaserOn(false);
  H.Laser.ReadCurrent(2);
  Device.Write("LASER_ON\r\n");
  EXPECT_EQ(Next(), "w60 0");
  Device.Write("OK\r\n");
  // Then the operator's commands in the order given, then the rest of the refresh round.
  for (const char* text : {"w61 12.50", "r62", "r61", "r62", "r71", "r72"}) {
    EXPECT_EQ(Next(), text);
    Device.Write(text[0] == 'w' ? "OK\r\n" : "ERROR\r\n");
  }
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  EXPECT_TRUE(H.Laser.RefreshDue());
}

TEST_F(PrioritySlow, LaserOffCancelsALaserOnStillWaiting) {
  Connect();
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  H.Laser.SetLaserOn(true);
  H.Laser.SendRaw("w60 1", -1);  // typed in the console, too
  H.Laser.SetCurrent(2, 3);
  H.Laser.SetLaserOn(false);
  Device.Write("LASER_OFF\r\n");
  EXPECT_EQ(Next(), "w60 0");
  Device.Write("OK\r\n");
  EXPECT_EQ(Next(), "w62 3.00");
  Device.Write("OK\r\n");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  EXPECT_FALSE(Device.ReadCommand(200)) << "no Laser ON after the operator's Laser OFF";
  EXPECT_EQ(Reports(),
            (Lines{"OnCommandReport cancelled w60 1", "OnCommandReport cancelled w60 1"}));
  // A Laser ON given after the OFF is the operator's last word, and goes.
  H.Laser.SetLaserOn(false);
  H.Laser.SetLaserOn(true);
  EXPECT_EQ(Next(), "w60 0");
  Device.Write("OK\r\n");
  EXPECT_EQ(Next(), "w60 1");
}

TEST_F(PrioritySlow, OneRefreshRoundAtATime) {
  Connect();
  EXPECT_TRUE(H.Laser.RefreshDue());
  for (int tick = 0; tick < 50; ++tick) RefreshRound();  // a fast timer over a slow line
  // Once the round's first read is on the line (in flight, still counted), the round stays five.
  EXPECT_EQ(Next(), "r60");
  for (int tick = 0; tick < 50; ++tick) RefreshRound();
  EXPECT_EQ(H.Laser.QueueCount(), 5) << "one round, however many ticks";
  for (const char* text : {"r60", "r61", "r62", "r71", "r72"}) {
    if (text[2] != '0') {
      EXPECT_EQ(Next(), text);
    }
    EXPECT_FALSE(H.Laser.RefreshDue()) << text << " is queued or unanswered";
    Device.Write(text[1] == '6' && text[2] == '0' ? "LASER_OFF\r\n" : "ERROR\r\n");
  }
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.RefreshDue(); }));
  EXPECT_TRUE(Reports().empty()) << "refresh reads are not the operator's";
}

// Every command of the operator that is refused, unanswered or never written is reported once,
// with its text; the program's own probes and refresh reads are not.
TEST_F(Priority, TheOperatorHearsOfEveryFailedCommandOnce) {
  Connect();
  H.Laser.SetCurrent(1, 33.3);
  EXPECT_EQ(Next(), "w61 33.30");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCommandReport refused w61 33.30"));
  H.Laser.SetLaserOn(true);
  EXPECT_EQ(Next(), "w60 1");
  ASSERT_TRUE(H.WaitEvent("OnCommandReport no-reply w60 1"));
  EXPECT_EQ(Next(), "r01");
  Device.Write("S/N: 1234\r\n");
  {
    TLaser::TRequestScope program(H.Laser, TOrigin::Program);
    H.Laser.ReadCurrent(1);  // a probe: its failure is the detection's business
  }
  EXPECT_EQ(Next(), "r61");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCommandError lcReadCurrent 1 r61"));
  // A typed text the table does not know is reported too.
  H.Laser.SendRaw("x17 4", -1);
  EXPECT_EQ(Next(), "x17 4");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCommandReport refused x17 4"));
  // Queued, then the line closes: never written.
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  H.Laser.SetCurrent(1, 15.5);
  H.Laser.SetFrequency(1, 100);
  H.Laser.Disconnect();
  EXPECT_EQ(Reports(),
            (Lines{"OnCommandReport refused w61 33.30", "OnCommandReport no-reply w60 1",
                   "OnCommandReport refused x17 4", "OnCommandReport no-reply r60",
                   "OnCommandReport not-sent w61 15.50", "OnCommandReport not-sent w73 100.00"}));
}

// Whoever asks may be told how each of their commands ended, on the UI thread.
TEST_F(Priority, ACallbackLearnsHowItsCommandEnded) {
  Connect();
  std::vector<std::string> ends;
  const auto record = [&](const char* name) {
    return [&ends, name](TCommandOutcome outcome, const TLaserMsg& groups) {
      const char* what[] = {"answered", "refused", "no reply", "not sent", "cancelled"};
      ends.push_back(std::string(name) + " " + what[static_cast<int>(outcome)] +
                     (groups.size() > 1 ? " " + groups[1] : ""));
    };
  };
  {
    TLaser::TRequestScope scope(H.Laser, TOrigin::Operator, TPriority::Normal, record("read"));
    H.Laser.ReadCurrent(1);
  }
  {
    TLaser::TRequestScope scope(H.Laser, TOrigin::Operator, TPriority::Normal, record("set"));
    H.Laser.SetCurrent(1, 40);
  }
  EXPECT_EQ(Next(), "r61");
  Device.Write(" 12.50 A\r\n");
  EXPECT_EQ(Next(), "w61 40.00");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.PumpUntil([&] { return ends.size() == 2; }));
  EXPECT_EQ(ends, (Lines{"read answered 12.50", "set refused"}));
}

// Out of step the line carries nothing but the engine's own reads and Laser OFF, which goes at
// once; the status read after it waits until the line is in step.
TEST_F(PriorityLongResync, LaserOffGoesAtOnceWhileTheLineIsOutOfStep) {
  Connect();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadCurrent 1 r61"));
  EXPECT_EQ(Next(), "r01");
  EXPECT_FALSE(H.Laser.InStep());
  H.Laser.SetCurrent(1, 20);
  H.Laser.SetLaserOn(false);
  H.Laser.ReadStatus();
  const auto clicked = Clock::now();
  EXPECT_EQ(Next(), "w60 0");
  EXPECT_LT(MsSince(clicked), 4000) << "held up by the engine's own read";
  // The serial number's reply, then OFF's: the line is in step, and the rest follows.
  Device.Write("S/N: 1234\r\nOK\r\n");
  EXPECT_EQ(Next(), "w61 20.00");
  Device.Write("OK\r\n");
  EXPECT_EQ(Next(), "r60");
  Device.Write("LASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_EQ(H.Count("OnSN"), 0) << "the engine's own read is nobody's value";
}

// A line that says nothing at all has nothing more on its way: after a silence the engine writes
// the next command again, whose own failure then counts.
TEST_F(PriorityShortResync, ASilentLineIsGivenUpAfterASilence) {
  Connect();
  H.Laser.ReadCurrent(1);
  H.Laser.ReadCurrent(2);
  EXPECT_EQ(Next(), "r61");
  EXPECT_EQ(Next(), "r01");
  EXPECT_EQ(Next(), "r60");
  EXPECT_EQ(Next(), "r51");
  const auto lastSync = Clock::now();
  EXPECT_EQ(Next(), "r62");
  EXPECT_GE(MsSince(lastSync), 1000) << "after the silence, not before";
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadCurrent 2 r62"));
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 2);
}

}  // namespace

namespace {

// Against the simulator with every reply 400 ms late and a refresh timer of 20 ms: the queue
// holds one round at most, and Laser OFF is the next command written after the one in flight
// (or the one the sender had already taken up when the click came).
TEST(PrioritySim, LaserOffOverASlowLineWithAFastRefresh) {
  test::TComDir dir;
  sim::Options options;
  options.delayMs = 400;
  sim::SimServer server(options);
  ASSERT_TRUE(server.Start(dir.Entry(5)));
  // a reply wait well beyond the delay, so that a loaded machine cannot turn a reply late
  test::TLaserHarness h(TLaserTiming{2000, 19000, 10});
  h.Laser.SetPort(5);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadQTCommands(true);
  int deepest = 0;
  const auto start = Clock::now();
  while (MsSince(start) < 3000) {
    if (h.Laser.RefreshDue()) {
      TLaser::TRequestScope refresh(h.Laser, TOrigin::Refresh);
      h.Laser.ReadStatus();
      for (std::uint8_t b = 1; b <= 2; ++b) h.Laser.ReadCurrent(b);
      for (std::uint8_t b = 1; b <= 2; ++b) h.Laser.ReadMaxCurrent(b);
      for (std::uint8_t b = 1; b <= 2; ++b) h.Laser.ReadTriggerMode(b);
      for (std::uint8_t b = 1; b <= 2; ++b) h.Laser.ReadFrequency(b);
    }
    deepest = std::max(deepest, h.Laser.QueueCount());
    h.PumpFor(20);
  }
  EXPECT_LE(deepest, 9) << "one refresh round at a time";
  const std::size_t before = server.Commands().size();
  h.Laser.SetLaserOn(false);
  ASSERT_TRUE(h.PumpUntil([&] { return server.Commands().size() >= before + 2; }, 5000));
  const auto received = server.Commands();
  EXPECT_TRUE(received[before].text == "w60 0" || received[before + 1].text == "w60 0")
      << received[before].text << ", " << received[before + 1].text;
  EXPECT_EQ(h.Count("OnCommandTimeout"), 0) << "400 ms is well within the reply wait";
}

}  // namespace
