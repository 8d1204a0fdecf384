// The faults found when the engine was tried as a hostile user would (issue 7, items 1 to 10):
// late replies, refusals of the unwaited error-code read, partial lines, reconnects, a vanished
// device, phases across a disconnect, a fast READY and a busy UI thread. Each test failed before
// its fix.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ScriptedLaser.h"
#include "SimHarness.h"

namespace {

using test::Clock;
using test::MsSince;
using Lines = std::vector<std::string>;

// The engine against a far end that the test scripts byte by byte.
class Faults : public test::TScriptedLaser {
 protected:
  using TScriptedLaser::TScriptedLaser;

  // Plays a UI thread that is busy for `busyMs` between two hand-overs, until pred holds.
  bool BusyUntil(const std::function<bool()>& pred, int busyMs, int timeoutMs = 10000) {
    const auto start = Clock::now();
    while (MsSince(start) < timeoutMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(busyMs));
      H.Laser.Synchronizer().CheckSynchronize();
      if (pred()) return true;
    }
    return false;
  }
};

// A short reply wait and a long wait for each of the engine's own reads, so that "late" is late
// by a wide margin and nothing is retried meanwhile.
class FaultsLate : public Faults {
 protected:
  FaultsLate() : Faults(TLaserTiming{300, 19000, 10, 2500, 50}) {}
};

// Short phases, so that a phase that runs to its cap shows quickly.
class FaultsShortPhase : public Faults {
 protected:
  FaultsShortPhase() : Faults(TLaserTiming{500, 3000, 10, 300, 50}) {}
};

// A continuation grace far longer than the gaps between the chunks of a reply, and a reply wait
// longer still: only a reader held up for long can miss the rest of a reply.
class FaultsLongGrace : public Faults {
 protected:
  FaultsLongGrace() : Faults(TLaserTiming{3000, 19000, 100, 300, 50}) {}
};

// 1. A reply that comes after the reply wait is the late reply of the command that waited for it,
// never the reply of the next command whose pattern it also fits (r61/r62, r73/r74).
TEST_F(FaultsLate, ALateReplyIsItsOwnCommandsAndTheNextWaitsForIt) {
  Connect();
  H.Laser.ReadCurrent(2);
  H.Laser.ReadFrequency(2);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r62");
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadCurrent 2 r62"));
  // The line is out of step: only the serial-number read goes out, whose reply fits nothing else.
  EXPECT_EQ(Next(), "r01");
  H.PumpFor(500);
  EXPECT_FALSE(Device.ReadCommand(0)) << "the next command must wait until the line is in step";
  Device.Write(" 12.50 A\r\n");  // r62's, come late: nothing else written could give it
  H.PumpFor(300);
  EXPECT_FALSE(Device.ReadCommand(0)) << "the serial-number read is still unanswered";
  Device.Write("S/N: 1234\r\n");
  const auto answered = Clock::now();
  EXPECT_EQ(Next(), "r74");
  EXPECT_LT(MsSince(answered), 1500) << "its reply puts the line in step";
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadFrequency 2 r74"));
  EXPECT_EQ(Next(), "r01");
  Device.Write("LASER_ON\r\n");  // fits another command only: not r74's, dropped
  H.PumpFor(100);
  Device.Write("FREQUENCY = 20000.00 HZ\r\nS/N: 1234\r\n");
  EXPECT_EQ(Next(), "r60");
  Device.Write("LASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_EQ(H.Values(), (Lines{"OnCommandTimeout lcReadCurrent 2 r62", "OnCurrent 2 12.50",
                               "OnCommandTimeout lcReadFrequency 2 r74", "OnFrequency 2 20000.00",
                               "OnLaserON false"}));
}

// 1. A line that fits entries of different commands (and no branch group tells them apart) is
// never guessed; one that fits a single entry, or names its branch, still is delivered.
TEST_F(Faults, AReplyThatFitsSeveralBranchesIsNeverGuessed) {
  Connect();
  Device.Write(" 12.50 A\r\nFREQUENCY = 20000.00 HZ\r\n INTERNAL\r\nOK\r\n");
  Device.Write("IMAX2 = 30.00 A\r\nLASER2 CW\r\nLASER_ON\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON true"));
  EXPECT_EQ(H.Values(), (Lines{"OnMaxCurrent 2 30.00", "OnTriggerMode 2 CW", "OnLaserON true"}));
  // With a command pending, its own pattern comes first, whatever else it fits.
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  Device.Write(" 12.50 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCurrent 1 12.50"));
}

// 1, against the simulator: replies later than the reply wait (600 ms), later than the wait and
// one of the engine's own reads together (900, 1500 ms), and later than two of them (3000 ms) go to
// their own commands, on both families; a current never shows under the other branch.
TEST(FaultsSim, RepliesLaterThanTheWaitGoToTheirOwnCommands) {
  struct TRun {
    int DelayMs;
    const char* Model;
    std::vector<std::function<void(TLaser&)>> Reads;
    Lines Values;
  };
  const auto r = [](auto fn) { return std::function<void(TLaser&)>(fn); };
  const std::vector<std::function<void(TLaser&)>> qtReads = {
      r([](TLaser& l) { l.ReadCurrent(2); }), r([](TLaser& l) { l.ReadFrequency(2); }),
      r([](TLaser& l) { l.ReadStatus(); }), r([](TLaser& l) { l.ReadCurrent(1); }),
      r([](TLaser& l) { l.ReadFrequency(1); })};
  const Lines qtValues = {"OnCurrent 2 12.50", "OnFrequency 2 20000.00", "OnLaserON false",
                          "OnCurrent 1 10.00", "OnFrequency 1 30000.00"};
  const std::vector<std::function<void(TLaser&)>> zeReads = {
      r([](TLaser& l) { l.ReadCurrent(2); }), r([](TLaser& l) { l.ReadFrequency(1); }),
      r([](TLaser& l) { l.ReadMaxCurrent(2); })};
  // the single-branch family keeps its one branch in the simulator's second slot
  const Lines zeValues = {"OnCurrent 2 12.50", "OnFrequency 1 20000.00", "OnMaxCurrent 2 30.00"};
  const std::vector<TRun> runs = {
      {600, "qt2", qtReads, qtValues},
      {900, "qt2", qtReads, qtValues},
      {1500, "qt2", qtReads, qtValues},
      {3000, "qt2", {qtReads[0], qtReads[3]}, {qtValues[0], qtValues[3]}},
      {600, "ze", zeReads, zeValues},
      {900, "ze", zeReads, zeValues},
      {1500, "ze", zeReads, zeValues},
      {3000, "ze", {zeReads[0], zeReads[1]}, {zeValues[0], zeValues[1]}},
  };
  for (const TRun& run : runs) {
    SCOPED_TRACE(std::string(run.Model) + ", delay " + std::to_string(run.DelayMs));
    test::TComDir dir;
    sim::Options options;
    options.model = run.Model;
    options.delayMs = run.DelayMs;
    sim::SimServer server(options);
    ASSERT_TRUE(server.Start(dir.Entry(5)));
    test::TLaserHarness h;
    h.Laser.SetPort(5);
    ASSERT_TRUE(h.Laser.Open());
    if (std::string(run.Model) == "ze") {
      h.Laser.LoadZECommands(true);
    } else {
      h.Laser.LoadQTCommands(true);
    }
    h.Events.clear();
    for (const auto& read : run.Reads) read(h.Laser);
    // a late reply is delivered after its command left the queue: wait for it, not a fixed time
    const auto valuesNow = [&] {
      Lines values;
      for (const std::string& e : h.Values()) {
        if (e.rfind("OnCommandTimeout", 0) != 0) values.push_back(e);
      }
      return values;
    };
    ASSERT_TRUE(h.PumpUntil([&] { return h.Laser.QueueCount() == 0; }, 60000));
    h.PumpUntil([&] { return valuesNow().size() >= run.Values.size(); }, 10000);
    h.PumpFor(100);
    const Lines values = valuesNow();
    EXPECT_EQ(values, run.Values);
  }
}

// 2. Replies come back in the order of the commands: an ERROR that follows the unwaited
// error-code read is that read's, not the set written right after it.
TEST_F(Faults, ARefusalOfTheErrorCodeReadIsTheReadsOwn) {
  Connect();
  struct {
    const char* Name;
    const char* Answer;  // to r90 and w62 together
    Lines Expected;
  } cases[] = {
      {"refused read, then OK",
       "ERROR\r\nOK\r\n",
       {"OnCommandError lcReadErrorCode 0 r90", "OnCurrent 2 21.00"}},
      {"refused read with an error line after it",
       "ERROR\r\n93\r\nOK\r\n",
       {"OnCommandError lcReadErrorCode 0 r90", "OnLaserError 93", "OnCurrent 2 21.00"}},
      // answered with its codes: an ERROR after them is the set's
      {"codes, then the set refused",
       "93\r\nERROR\r\n",
       {"OnLaserError 93", "OnCommandError lcSetCurrent 2 w62 21.00", "OnCurrent 2 21.00"}},
      // the read says nothing: no reply of the set follows the ERROR, so it was the set's
      {"silent read, the set refused",
       "ERROR\r\n",
       {"OnCommandError lcSetCurrent 2 w62 21.00", "OnCurrent 2 21.00"}},
      {"both refused",
       "ERROR\r\nERROR\r\n",
       {"OnCommandError lcReadErrorCode 0 r90", "OnCommandError lcSetCurrent 2 w62 21.00",
        "OnCurrent 2 21.00"}},
  };
  for (const auto& c : cases) {
    H.Events.clear();
    H.Laser.ReadErrorCode();
    H.Laser.SetCurrent(2, 21);
    H.Laser.ReadCurrent(2);
    EXPECT_EQ(Next(), "r90") << c.Name;
    EXPECT_EQ(Next(), "w62 21.00") << c.Name;
    Device.Write(c.Answer);
    EXPECT_EQ(Next(), "r62") << c.Name;
    Device.Write(" 21.00 A\r\n");
    ASSERT_TRUE(H.WaitEvent("OnCurrent 2 21.00")) << c.Name;
    // An error line is reported by the receiving thread, possibly before the line ahead of it.
    Lines values = H.Values();
    Lines expected = c.Expected;
    std::sort(values.begin(), values.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(values, expected) << c.Name;
    EXPECT_EQ(H.Count("OnCommandTimeout"), 0) << c.Name;
  }
}

// 3. Text that never became a line (a reply ending in a lone CR, noise without CR LF) does not
// spoil the reply to the next command; a line still arriving is not cut.
TEST_F(Faults, IncompleteTextDoesNotSpoilTheNextReply) {
  Connect();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  Device.Write("10.00 A\r");
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadCurrent 1 r61"));
  AnswerSync();  // the stale start of a line must not spoil it either
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  Device.Write("LASER_ON\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON true"));

  Device.Write("~#$%&");  // line noise, and then nothing
  H.PumpFor(200);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  Device.Write("LASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_EQ(H.Count("OnCommandTimeout"), 1);

  // An error line ended by a lone CR is taken, not thrown away, once nothing follows it.
  Device.Write("12\r");
  H.PumpFor(200);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  ASSERT_TRUE(H.WaitEvent("OnLaserError 12"));
  Device.Write("LASER_ON\r\n");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Count("OnLaserON true") == 2; }));

  // The start of a line that is still coming, right behind a reply, stays.
  H.Events.clear();
  H.Laser.SetLaserOn(false);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "w60 0");
  Device.Write("OK\r\n9");
  EXPECT_EQ(Next(), "r60");
  Device.Write("3\r\nLASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_TRUE(H.Has("OnLaserError 93"));
  EXPECT_EQ(H.Count("OnLaserError"), 1);
}

// 4 and 5. A close forgets what it had meant to write, and the command written last ends
// without a failure: nothing of the old connection reaches the new one. The options dialog's
// port change closes and opens just the same.
TEST_F(Faults, ACloseForgetsTheQueueAndThePendingCommand) {
  test::TScriptedDevice other(Dir, 8);
  struct {
    const char* Name;
    std::function<void()> Reopen;
    test::TScriptedDevice* Next;
  } cases[] = {
      {"Disconnect, Open",
       [&] {
         EXPECT_TRUE(H.Laser.Disconnect());
         EXPECT_EQ(H.Laser.QueueCount(), 0) << "emptied by the close itself";
         H.PumpFor(200);
         EXPECT_TRUE(H.Laser.Open());
       },
       &Device},
      {"port change", [&] { H.Laser.SetPort(8); }, &other},
  };
  for (const auto& c : cases) {
    Connect();
    H.Laser.ReadCurrent(1);
    EXPECT_EQ(Next(), "r61") << c.Name;  // never answered
    H.Laser.SetLaserOn(true);
    H.PumpFor(50);
    c.Reopen();
    ASSERT_TRUE(H.Laser.Connected()) << c.Name;
    H.PumpFor(1200);
    EXPECT_FALSE(NextWithin(50, *c.Next)) << c.Name << ": written on the new connection";
    EXPECT_EQ(H.Count("OnCommandTimeout"), 0) << c.Name;
    EXPECT_EQ(H.Laser.CommandErrors(), 0) << c.Name;
    EXPECT_EQ(H.Laser.VariousCommandErrors(), 0) << c.Name;
    // The new connection works.
    H.Laser.ReadStatus();
    EXPECT_EQ(NextWithin(5000, *c.Next).value_or("<nothing>"), "r60") << c.Name;
    c.Next->Write("LASER_OFF\r\n");
    ASSERT_TRUE(H.WaitEvent("OnLaserON false")) << c.Name;
    H.Laser.SetPort(7);
    H.Laser.Disconnect();
  }
}

// 6. After a hang-up that the receiving thread has been failing on for a while, a reopen finds
// it awake: the first reply is read at once.
TEST(FaultsSim, TheFirstReplyAfterAHangUpAndAReopenIsRead) {
  test::TComDir dir;
  sim::SimServer server(sim::Options{});
  ASSERT_TRUE(server.Start(dir.Entry(5)));
  test::TLaserHarness h;
  h.Laser.SetPort(5);
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadBaseCommands();
  for (int trial = 0; trial < 8; ++trial) {
    if (trial % 2 == 0) {
      server.Unplug();
      h.PumpFor(2000);
      ASSERT_TRUE(server.Replug()) << trial;
    }
    // Back to back, as a script does: the pause signal of the one is withdrawn by the other
    // before the receiving thread may have seen it.
    EXPECT_TRUE(h.Laser.Disconnect()) << trial;
    ASSERT_TRUE(h.Laser.Open()) << trial;
    h.Events.clear();
    h.Laser.ReadCurrent(2);
    ASSERT_TRUE(h.PumpUntil([&] { return h.Laser.QueueCount() == 0; })) << trial;
    h.PumpFor(50);
    EXPECT_EQ(h.Values(), (Lines{"OnCurrent 2 12.50"})) << trial;
  }
}

// 7. A device that vanishes (unplugged, the line closed after some command, the simulator
// gone) is noticed: the engine closes the port once, with OnDisconnect, and Open opens afresh.
TEST(FaultsSim, AVanishedDeviceClosesThePort) {
  struct {
    const char* Name;
    int UnplugAfter;
  } cases[] = {{"unplugged", -1}, {"line closed by the device", 2}, {"simulator gone", 0}};
  for (const auto& c : cases) {
    test::TComDir dir;
    sim::Options options;
    options.unplugAfter = c.UnplugAfter > 0 ? c.UnplugAfter : -1;
    auto server = std::make_unique<sim::SimServer>(options);
    ASSERT_TRUE(server->Start(dir.Entry(5)));
    test::TLaserHarness h;
    h.Laser.SetPort(5);
    ASSERT_TRUE(h.Laser.Open());
    h.Laser.LoadBaseCommands();
    h.Laser.ReadSN();
    ASSERT_TRUE(h.WaitEvent("OnSN 1234")) << c.Name;
    h.Laser.ReadCurrent(2);
    h.Laser.ReadCurrent(1);
    if (c.UnplugAfter < 0) server->Unplug();
    if (c.UnplugAfter == 0) server.reset();
    ASSERT_TRUE(h.WaitEvent("OnDisconnect", 5000)) << c.Name;
    EXPECT_FALSE(h.Laser.Connected()) << c.Name;
    EXPECT_EQ(h.Laser.QueueCount(), 0) << c.Name;
    h.PumpFor(800);
    EXPECT_EQ(h.Count("OnDisconnect"), 1) << c.Name;
    EXPECT_EQ(h.Count("OnCommandTimeout"), 0) << c.Name << ": the close ended the command";
    EXPECT_FALSE(h.Laser.Open()) << c.Name << ": nothing behind the link";
    if (!server) continue;
    ASSERT_TRUE(server->Replug()) << c.Name;
    ASSERT_TRUE(h.Laser.Open()) << c.Name;
    h.Events.clear();
    h.Laser.ReadSN();
    ASSERT_TRUE(h.WaitEvent("OnSN 1234")) << c.Name;
  }
}

// 7. Open on a port whose device has gone, before anything noticed, opens afresh (and fails
// while nothing is there) instead of reporting the dead line as connected.
TEST(FaultsSim, OpenOnAVanishedDeviceOpensAfresh) {
  test::TComDir dir;
  sim::SimServer server(sim::Options{});
  ASSERT_TRUE(server.Start(dir.Entry(5)));
  test::TLaserHarness h;
  h.Laser.SetPort(5);
  ASSERT_TRUE(h.Laser.Open());
  server.Unplug();
  EXPECT_FALSE(h.Laser.Open());  // the UI thread has run nothing since
  EXPECT_FALSE(h.Laser.Connected());
  h.PumpFor(300);
  EXPECT_EQ(h.Count("OnDisconnect"), 1);
  EXPECT_EQ(h.Count("OnConnectFail"), 1);
  ASSERT_TRUE(server.Replug());
  ASSERT_TRUE(h.Laser.Open());
  h.Laser.LoadBaseCommands();
  h.Laser.ReadSN();
  ASSERT_TRUE(h.WaitEvent("OnSN 1234"));
}

// 8. A disconnect ends a running phase with its end event (a waiting box closes), and the next
// connection starts without it.
TEST_F(Faults, ADisconnectEndsARunningPhase) {
  struct {
    const char* Name;
    std::function<void()> Begin;
    const char* Begun;
    const char* Ended;
    const char* Code;
  } cases[] = {
      {"clear error",
       [&] {
         H.Laser.ClearError();
         EXPECT_EQ(Next(), "w97 347");
       },
       "OnClearError", "OnClearedError", "93"},
      {"reset",
       [&] {
         H.Laser.Reset();
         EXPECT_EQ(Next(), "w99 347");
         Device.Write("QXC03 OK\r\n");
       },
       "OnReset", "OnReseted", "94"},
  };
  for (const auto& c : cases) {
    Connect();
    c.Begin();
    ASSERT_TRUE(H.WaitEvent(c.Begun)) << c.Name;
    ASSERT_TRUE(H.Laser.Reseting()) << c.Name;
    EXPECT_TRUE(H.Laser.Disconnect());
    EXPECT_FALSE(H.Laser.Reseting()) << c.Name;
    EXPECT_EQ(H.Values(), (Lines{c.Begun, c.Ended, "OnDisconnect"})) << c.Name;
    ASSERT_TRUE(H.Laser.Open());
    Device.Write(std::string(c.Code) + "\r\n");
    ASSERT_TRUE(H.WaitEvent(std::string("OnLaserError ") + c.Code)) << c.Name;
    H.PumpFor(100);
    EXPECT_EQ(H.Count("OnReseted"), std::string(c.Ended) == "OnReseted" ? 1 : 0) << c.Name;
    EXPECT_EQ(H.Count("OnClearedError"), std::string(c.Ended) == "OnClearedError" ? 1 : 0)
        << c.Name;
    H.Laser.Disconnect();
  }
}

// 9. A controller that says READY at once, while the UI thread is busy, ends the phase: it has
// begun before the command went out. The same for a reset that is over at once.
TEST_F(FaultsShortPhase, AnImmediateReadyEndsThePhase) {
  Connect();
  std::atomic<bool> stop{false};
  std::thread controller([&] {
    while (!stop) {
      const std::optional<std::string> command = Device.ReadCommand(20);
      if (command == "w97 347") Device.Write("READY\r\n");
      if (command == "w99 347") Device.Write("QXC03 OK\r\nREADY\r\n");
    }
  });
  H.Laser.ClearError();
  EXPECT_TRUE(BusyUntil([&] { return H.Has("OnReseted") || H.Has("OnClearedError"); }, 20));
  EXPECT_TRUE(H.Has("OnReseted"));
  EXPECT_FALSE(H.Has("OnClearedError")) << "the phase ran to its cap: READY was missed";
  BusyUntil([&] { return H.Laser.QueueCount() == 0; }, 20);
  H.Laser.Reset();
  const auto written = Clock::now();
  EXPECT_TRUE(BusyUntil([&] { return H.Count("OnReseted") == 2; }, 20));
  EXPECT_LT(MsSince(written), 2000) << "the reset phase ran to its cap: READY was missed";
  stop = true;
  controller.join();
}

// 10. Without an OnReceive handler the receiving thread never waits for the UI thread: a busy
// UI thread does not hold up the rest of a reply split into chunks.
TEST_F(FaultsLongGrace, ABusyUiThreadDoesNotHoldUpReadingWithoutAReceiveHandler) {
  Connect();
  H.Laser.OnReceive = nullptr;  // as in the program while its console is hidden
  std::thread controller([&] {
    if (Device.ReadCommand(5000) != "r51") return;
    for (const char* chunk : {"OPERATING TIME:\r\n", "1234 H\r\n", "5 M\r\n"}) {
      Device.Write(chunk);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  H.Laser.SendCommand(lcReadRunningTime, 0, "");
  EXPECT_TRUE(BusyUntil([&] { return H.Laser.QueueCount() == 0; }, 300));
  controller.join();
  EXPECT_EQ(H.Values(), (Lines{"OnRunningTime 74045"}));
}

}  // namespace
