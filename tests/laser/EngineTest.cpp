// The engine against a scripted far end: the test reads each command the engine writes and
// answers with exactly the bytes and chunks it wants.
#include <gtest/gtest.h>

#include <time.h>

#include "ScriptedLaser.h"

namespace {

using test::Clock;
using test::MsSince;

class Engine : public test::TScriptedLaser {
 protected:
  using TScriptedLaser::TScriptedLaser;
};

// Long reply wait: anything that arrives quickly was not held back by it.
class EngineSlowTimeout : public Engine {
 protected:
  EngineSlowTimeout() : Engine(TLaserTiming{8000, 19000, 10}) {}
};

// Short phases, for phases that end by time.
class EngineShortPhase : public Engine {
 protected:
  EngineShortPhase() : Engine(TLaserTiming{500, 800, 10}) {}
};

// A generous continuation grace so that split replies do not depend on scheduling luck.
class EngineLongGrace : public Engine {
 protected:
  EngineLongGrace() : Engine(TLaserTiming{3000, 19000, 300}) {}
};

TEST_F(Engine, QueuedTextIsTrimmedAndWrittenWithOneCarriageReturn) {
  Connect();
  H.Laser.SendRaw("  r61 ", -1);
  EXPECT_EQ(Next(), "r61");
  Device.Write("12.50 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCurrent 1 12.50"));
  EXPECT_TRUE(H.Has("OnSend r61"));
}

TEST_F(EngineSlowTimeout, NextCommandOnlyAfterTheReply) {
  Connect();
  H.Laser.ReadCurrent(1);
  H.Laser.ReadCurrent(2);
  EXPECT_EQ(Next(), "r61");
  EXPECT_FALSE(NextWithin(300)) << "r62 must wait for the reply to r61";
  Device.Write("12.50 A\r\n");
  EXPECT_EQ(Next(3000), "r62");
  Device.Write(" 7.25 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCurrent 2 7.25"));
  EXPECT_EQ(H.Values(), (std::vector<std::string>{"OnCurrent 1 12.50", "OnCurrent 2 7.25"}));
}

TEST_F(Engine, UnansweredCommandTimesOutAfterTheReplyWaitThenTheNextIsSent) {
  Connect();
  H.Laser.ReadCurrent(2);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r62");
  const auto written = Clock::now();
  EXPECT_EQ(Next(), "r01");
  EXPECT_GE(MsSince(written), 450);
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadCurrent 2 r62"));
  EXPECT_EQ(H.Laser.CommandErrors(), 1);
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 1);
  Device.Write("S/N: 1234\r\n");
  EXPECT_EQ(Next(), "r60");
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcReadStatus 0 r60"));
  EXPECT_EQ(H.Laser.CommandErrors(), 2) << "the engine's own read ends no streak";
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 2);
  AnswerSync();
  H.Laser.ReadCurrent(2);
  EXPECT_EQ(Next(), "r62");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.CommandErrors() == 3; }));
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 2) << "the same command again is no new kind";
  AnswerSync();
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  Device.Write("LASER_ON\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON true"));
  // The matching thread ends the streak right after the reply has been handed over.
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.CommandErrors() == 0; }));
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 0);
  EXPECT_EQ(H.Count("OnSN"), 0) << "the engine's own reads are nobody's values";
}

TEST_F(EngineSlowTimeout, ErrorCodeReadIsNotWaitedFor) {
  Connect();
  H.Laser.ReadErrorCode();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r90");
  const auto written = Clock::now();
  EXPECT_EQ(Next(), "r61");
  EXPECT_LT(MsSince(written), 4000) << "the 8 s reply wait must not apply to r90";
}

TEST_F(EngineSlowTimeout, ErrorReplyReleasesTheSenderAndCounts) {
  Connect();
  H.Laser.ReadCurrent(1);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r61");
  Device.Write("ERROR\r\n");
  const auto answered = Clock::now();
  EXPECT_EQ(Next(), "r60");
  EXPECT_LT(MsSince(answered), 4000);
  ASSERT_TRUE(H.WaitEvent("OnCommandError lcReadCurrent 1 r61"));
  EXPECT_EQ(H.Laser.CommandErrors(), 1);
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 1);
  EXPECT_EQ(H.Count("OnCommandTimeout"), 0);
}

TEST_F(EngineSlowTimeout, ErrorWithNoCommandPendingIsThrownAway) {
  Connect();
  Device.Write("ERROR\r\nLASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_EQ(H.Laser.CommandErrors(), 0);
  EXPECT_EQ(H.Count("OnCommandError"), 0);
}

TEST_F(EngineSlowTimeout, ThreeLineReplyInOneChunk) {
  Connect();
  H.Laser.SendCommand(lcReadRunningTime, 0, "");
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r51");
  Device.Write("OPERATING TIME:\r\n  1234 H\r\n5 M\r\n");
  EXPECT_EQ(Next(3000), "r60") << "the matched reply releases the sender";
  ASSERT_TRUE(H.WaitEvent("OnRunningTime 74045"));
  EXPECT_EQ(H.Laser.RunningTime(), 74045u);
  EXPECT_EQ(H.Laser.RxText(), "");
}

TEST_F(EngineLongGrace, ThreeLineReplySplitAtAndInsideLines) {
  Connect();
  const std::vector<std::vector<std::string>> splits = {
      {"OPERATING TIME:\r\n", "1234 H\r\n5 M\r\n"},
      {"OPERATING TIME:\r\n12", "34 H\r\n5", " M\r\n"},
      {"OPERATING TIME:\r", "\n1234 H\r\n5 M\r\n"},
  };
  for (const auto& chunks : splits) {
    H.Events.clear();
    H.Laser.SendCommand(lcReadRunningTime, 0, "");
    EXPECT_EQ(Next(), "r51");
    for (const std::string& chunk : chunks) {
      const int before = H.Count("OnReceive");
      Device.Write(chunk);
      ASSERT_TRUE(H.PumpUntil([&] { return H.Count("OnReceive") > before; }));
    }
    ASSERT_TRUE(H.WaitEvent("OnRunningTime 74045")) << chunks[0];
    ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
    EXPECT_EQ(H.Count("OnCommandTimeout"), 0);
  }
}

TEST_F(EngineSlowTimeout, ErrorAnswerToAThreeLineCommand) {
  Connect();
  H.Laser.SendCommand(lcReadRunningTime, 0, "");
  EXPECT_EQ(Next(), "r51");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCommandError lcReadRunningTime 0 r51"));
}

TEST_F(EngineSlowTimeout, OtherBranchReplyIsDeliveredButDoesNotRelease) {
  Connect();
  H.Laser.ReadMaxCurrent(1);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r67");
  Device.Write("IMAX2 = 30.00 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnMaxCurrent 2 30.00"));
  EXPECT_FALSE(NextWithin(300)) << "a branch-2 reply must not release the branch-1 read";
  Device.Write("IMAX1 = 40.00 A\r\n");
  EXPECT_EQ(Next(3000), "r60");
  ASSERT_TRUE(H.WaitEvent("OnMaxCurrent 1 40.00"));
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(1), 40.0);
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(2), 30.0);
}

TEST_F(EngineSlowTimeout, TypedTextIsMatchedWithItsTableEntry) {
  Connect();
  H.Laser.SendRaw("r062", -1);
  H.Laser.SendRaw("r91", -1);
  EXPECT_EQ(Next(), "r062");
  Device.Write("12.50 A\r\n");
  EXPECT_EQ(Next(3000), "r91") << "the typed r062 found its entry and was released";
  ASSERT_TRUE(H.WaitEvent("OnCurrent 2 12.50"));
  H.Laser.SendRaw("x5", -1);  // no entry: its reply is tried against the whole table
  H.Laser.ReadStatus();
  Device.Write("FLOW: 3.50 L/MIN\r\n");
  ASSERT_TRUE(H.WaitEvent("OnFlowRate 3.50"));
  EXPECT_EQ(Next(), "x5");
  Device.Write("IMAX2 = 31.00 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnMaxCurrent 2 31.00"));
}

TEST_F(Engine, UnknownTypedTextThatTimesOutCountsWithoutEvent) {
  Connect();
  H.Laser.SendRaw("x5", -1);
  EXPECT_EQ(Next(), "x5");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.CommandErrors() == 1; }));
  H.PumpFor(100);
  EXPECT_EQ(H.Count("OnCommandTimeout"), 0);
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 0);
}

TEST_F(Engine, UnrecognisedLineThenReplyInOneChunk) {
  Connect();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  Device.Write("GARBAGE\r\n12.50 A\r\n");
  ASSERT_TRUE(H.WaitEvent("OnCurrent 1 12.50"));
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  H.PumpFor(50);
  EXPECT_EQ(H.Count("OnCommandTimeout"), 0);
}

TEST_F(Engine, ReceivedTextIsUpperCasedButReportedAsReceived) {
  Connect();
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r60");
  Device.Write("laser_on\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON true"));
  std::string received;  // the chunks as reported, whatever their cut
  ASSERT_TRUE(H.PumpUntil([&] {
    received.clear();
    for (const std::string& e : H.Events) {
      if (e.rfind("OnReceive ", 0) == 0) received += e.substr(10);
    }
    return received == "laser_on\\r\\n";
  })) << received;
  Device.Write("ready\r\nAB");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.RxText() == "AB"; }));
}

// Every code of a batch, in order (an open interlock must not hide behind the fault after it);
// a code already reported is not repeated until the codes are read again.
TEST_F(Engine, ErrorLinesAreReportedOnceUntilTheCodesAreReadAgain) {
  Connect();
  Device.Write("12\r\n34\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserError 34"));
  Device.Write("12\r\n07 (03)\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserError 7"));
  Device.Write(" 34\r\n12\r\nLASER_OFF\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON false"));
  EXPECT_EQ(H.Values(), (std::vector<std::string>{"OnLaserError 12", "OnLaserError 34",
                                                  "OnLaserError 7", "OnLaserON false"}));
  H.Laser.ReadErrorCode();
  EXPECT_EQ(Next(), "r90");
  Device.Write("12\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserError 12"));
  EXPECT_EQ(H.Laser.RxText(), "");
}

TEST_F(EngineLongGrace, ErrorLinesBeforeBetweenAndInsideFramedReplies) {
  Connect();
  const std::vector<std::vector<std::string>> chunkings = {
      {"80\r\nOPERATING TIME:\r\n81\r\n1234 H\r\n5 M\r\n82\r\n"},
      {"OPERATING TIME:\r\n8", "3\r\n1234 H\r\n", "84\r\n5 M\r\n"},
      {"OPERATING TIME:\r\n1234 H\r\n", "85\r", "\n5 M\r\n"},
  };
  for (const auto& chunks : chunkings) {
    H.Events.clear();
    H.Laser.ReadErrorCode();  // so earlier codes are reported again
    EXPECT_EQ(Next(), "r90");
    H.Laser.SendCommand(lcReadRunningTime, 0, "");
    EXPECT_EQ(Next(), "r51");
    for (const std::string& chunk : chunks) {
      const int before = H.Count("OnReceive");
      Device.Write(chunk);
      ASSERT_TRUE(H.PumpUntil([&] { return H.Count("OnReceive") > before; }));
    }
    ASSERT_TRUE(H.WaitEvent("OnRunningTime 74045")) << chunks[0];
    ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
    EXPECT_EQ(H.Count("OnCommandTimeout"), 0) << chunks[0];
    EXPECT_GE(H.Count("OnLaserError"), 1) << chunks[0];
    EXPECT_EQ(H.Laser.RxText(), "") << chunks[0];
  }
}

TEST_F(Engine, ReadyDuringAClearErrorPhaseEndsItAndTheClearCommandTimesOut) {
  Connect();
  H.Laser.ClearError();
  EXPECT_EQ(Next(), "w97 347");
  ASSERT_TRUE(H.WaitEvent("OnClearError"));
  EXPECT_TRUE(H.Laser.Reseting());
  Device.Write("READY\r\n");
  ASSERT_TRUE(H.WaitEvent("OnReseted"));
  EXPECT_FALSE(H.Laser.Reseting());
  ASSERT_TRUE(H.WaitEvent("OnCommandTimeout lcClearError 0 w97 347"));
  EXPECT_EQ(H.Count("OnClearedError"), 0);
}

TEST_F(Engine, ReadyOutsideAPhaseIsTheClearErrorReply) {
  Connect();
  H.Laser.SendRaw("w97 347", -1);  // typed: no phase... but the sender still sees the command
  EXPECT_EQ(Next(), "w97 347");
  ASSERT_TRUE(H.WaitEvent("OnClearError"));
  Device.Write("READY\r\n");
  ASSERT_TRUE(H.WaitEvent("OnReseted"));
  AnswerSync();  // the READY was the phase's: the command itself went unanswered
  // Outside a phase READY is just the reply of the clear-error entry.
  H.Laser.SendRaw("w97 347", -1);
  EXPECT_EQ(Next(), "w97 347");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Count("OnClearError") == 2; }));
  H.Laser.ResetDone();  // end the phase from here, then answer
  Device.Write("READY\r\n");
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  H.PumpFor(100);
  EXPECT_EQ(H.Count("OnCommandTimeout"), 1) << "only the first w97, whose READY ended the phase";
}

TEST_F(Engine, ErrorLinesDuringAPhaseEndIt) {
  Connect();
  H.Laser.ClearError();
  EXPECT_EQ(Next(), "w97 347");
  ASSERT_TRUE(H.WaitEvent("OnClearError"));
  Device.Write("93\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserError 93"));
  EXPECT_TRUE(H.Has("OnReseted"));
  EXPECT_FALSE(H.Laser.Reseting());
}

TEST_F(Engine, ClearErrorRefused) {
  Connect();
  H.Laser.ClearError();
  EXPECT_EQ(Next(), "w97 347");
  Device.Write("ERROR\r\n");
  ASSERT_TRUE(H.WaitEvent("OnClearedError"));
  EXPECT_TRUE(H.Has("OnCommandError lcClearError 0 w97 347"));
  EXPECT_FALSE(H.Laser.Reseting());
}

TEST_F(EngineShortPhase, PhasesEndByTimeout) {
  Connect();
  H.Laser.ClearError();
  EXPECT_EQ(Next(), "w97 347");
  ASSERT_TRUE(H.WaitEvent("OnClearError"));
  const auto begun = Clock::now();
  ASSERT_TRUE(H.WaitEvent("OnClearedError"));
  EXPECT_GE(MsSince(begun), 700);
  EXPECT_FALSE(H.Laser.Reseting());
  AnswerSync();  // not while the controller was busy: after the phase

  H.Laser.Reset();
  EXPECT_EQ(Next(), "w99 347");
  Device.Write("QXC03 OK\r\n");
  ASSERT_TRUE(H.WaitEvent("OnReset"));
  EXPECT_TRUE(H.Laser.Reseting());
  ASSERT_TRUE(H.WaitEvent("OnReseted"));
  EXPECT_FALSE(H.Laser.Reseting());
  H.PumpFor(1000);
  EXPECT_EQ(H.Count("OnReseted"), 1);
  EXPECT_EQ(H.Count("OnClearedError"), 1);
}

TEST_F(EngineShortPhase, ATimeoutAfterThePhaseEndedRaisesNothing) {
  H.Laser.BeginClearError();
  H.Laser.ClearErrorRefused();
  H.Laser.ClearErrorTimeout();
  H.PumpFor(1200);
  EXPECT_EQ(H.Values(), (std::vector<std::string>{"OnClearError", "OnClearedError"}));
}

TEST_F(EngineShortPhase, ASecondStartRestartsThePhaseCount) {
  H.Laser.BeginReset();
  H.PumpFor(500);
  H.Laser.BeginReset();
  const auto restarted = Clock::now();
  ASSERT_TRUE(H.WaitEvent("OnReseted"));
  EXPECT_GE(MsSince(restarted), 700);
  H.PumpFor(1000);
  EXPECT_EQ(H.Count("OnReseted"), 1);
}

TEST_F(Engine, ResetReplyBeginsTheResetPhaseAndReadyEndsIt) {
  Connect();
  H.Laser.Reset();
  EXPECT_EQ(Next(), "w99 347");
  Device.Write("QXC03 OK\r\n");
  ASSERT_TRUE(H.WaitEvent("OnReset"));
  Device.Write("READY\r\n");
  ASSERT_TRUE(H.WaitEvent("OnReseted"));
  EXPECT_FALSE(H.Laser.Reseting());
}

TEST_F(Engine, DisconnectClearsCountersAndReceiveTextAndDropsLaterRequests) {
  Connect();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  Device.Write("ERROR\r\n12.5");
  // the refusal is counted on the UI thread, after the command left the queue
  ASSERT_TRUE(H.PumpUntil([&] {
    return H.Laser.RxText() == "12.5" && H.Laser.QueueCount() == 0 && H.Laser.CommandErrors() == 1;
  }));
  EXPECT_TRUE(H.Laser.Disconnect());
  EXPECT_TRUE(H.Has("OnDisconnect"));
  EXPECT_FALSE(H.Laser.Connected());
  EXPECT_EQ(H.Laser.CommandErrors(), 0);
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 0);
  EXPECT_EQ(H.Laser.RxText(), "");
  H.Laser.ReadCurrent(1);
  H.Laser.SendRaw("r60", -1);
  EXPECT_EQ(H.Laser.QueueCount(), 0);
  EXPECT_TRUE(H.Laser.Disconnect()) << "already closed";
  EXPECT_EQ(H.Count("OnDisconnect"), 1);
}

TEST_F(Engine, ClosingThroughConnectedFalseKeepsCountersAndText) {
  Connect();
  H.Laser.ReadCurrent(1);
  EXPECT_EQ(Next(), "r61");
  Device.Write("ERROR\r\n12.5");
  // The refusal is counted when it is reported, a little after its line was taken.
  ASSERT_TRUE(
      H.PumpUntil([&] { return H.Laser.RxText() == "12.5" && H.Laser.CommandErrors() == 1; }));
  H.Laser.SetConnected(false);
  EXPECT_TRUE(H.Has("OnDisconnect"));
  EXPECT_EQ(H.Laser.CommandErrors(), 1);
  EXPECT_EQ(H.Laser.RxText(), "12.5");
}

TEST_F(Engine, OpenRaisesConnectEveryTimeAndFailsWithConnectFail) {
  H.Laser.SetPort(200);  // no device behind it
  EXPECT_FALSE(H.Laser.Open());
  EXPECT_EQ(H.Values(), (std::vector<std::string>{"OnConnectFail"}));
  H.Laser.SetPort(7);
  EXPECT_TRUE(H.Laser.Open());
  EXPECT_TRUE(H.Laser.Open());
  EXPECT_EQ(H.Count("OnConnect"), 3);  // "OnConnectFail" shares the prefix
  EXPECT_EQ(H.Count("OnConnectFail"), 1);
  H.Laser.SetPort(200);  // open: closes and fails to open the new number
  EXPECT_EQ(H.Count("OnDisconnect"), 1);
  EXPECT_EQ(H.Count("OnConnectFail"), 2);
  EXPECT_FALSE(H.Laser.Connected());
}

TEST_F(Engine, CommandsWaitingWhenThePortClosesAreNeverWritten) {
  Connect();
  H.Laser.ReadCurrent(1);
  H.Laser.ReadCurrent(2);
  H.Laser.ReadStatus();
  EXPECT_EQ(Next(), "r61");
  EXPECT_TRUE(H.Laser.Disconnect());
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  EXPECT_EQ(H.Laser.QueueCount(), 0);
  EXPECT_TRUE(H.Laser.Open());
  H.PumpFor(700);
  EXPECT_FALSE(Device.ReadCommand(50)) << "nothing of the old queue may follow";
}

TEST_F(Engine, RequestTextsPerFamily) {
  struct {
    bool QT;
    std::function<void(TLaser&)> Request;
    const char* Text;
  } cases[] = {
      {true, [](TLaser& l) { l.SetTriggerMode(1, 1); }, "w71 1"},
      {true, [](TLaser& l) { l.SetTriggerMode(1, 2); }, "w72 1"},
      {true, [](TLaser& l) { l.SetTriggerMode(2, 0); }, "w71 2"},
      {true, [](TLaser& l) { l.SetTriggerMode(7, 2); }, "w72 2"},
      {true, [](TLaser& l) { l.SetTriggerMode(0, 2); }, "w70 1"},
      {true, [](TLaser& l) { l.SetLaserOn(true); }, "w60 1"},
      {true, [](TLaser& l) { l.SetLaserOn(false); }, "w60 0"},
      {true, [](TLaser& l) { l.SetCurrent(2, 12.5); }, "w62 12.50"},
      {true, [](TLaser& l) { l.SetFrequency(1, 30000); }, "w73 30000.00"},
      {true, [](TLaser& l) { l.ReadTriggerMode(0); }, "r71"},
      {true, [](TLaser& l) { l.SaveSettings(); }, "w98 347"},
      {false, [](TLaser& l) { l.SetTriggerMode(1, 1); }, "w70 0"},
      {false, [](TLaser& l) { l.SetTriggerMode(0, 1); }, "w70 1"},
      {false, [](TLaser& l) { l.SetTriggerMode(2, 1); }, "w70 2"},
      {false, [](TLaser& l) { l.SetFrequency(1, 1000.005); }, "w71 1000.00"},
      {false, [](TLaser& l) { l.ReadCurrent(2); }, "r62"},
      {false, [](TLaser& l) { l.ReadTriggerMode(1); }, "r70"},
  };
  for (const auto& c : cases) {
    Connect(c.QT);
    c.Request(H.Laser);
    EXPECT_EQ(Next(), c.Text);
    Device.Write(c.Text[0] == 'r' ? "ERROR\r\n" : "OK\r\n");
    ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0; }));
  }
  // Requests the table lacks send nothing.
  Connect(false);
  H.Laser.ReadCurrent(1);
  H.Laser.SetTriggerMode(0, 2);
  EXPECT_EQ(H.Laser.QueueCount(), 0);
}

TEST_F(Engine, FailureCountersSaturate) {
  H.Laser.LoadBaseCommands();
  for (int i = 0; i < 300; ++i) H.Laser.CommandTimeout("r61");
  EXPECT_EQ(H.Laser.CommandErrors(), 255);
  EXPECT_EQ(H.Laser.VariousCommandErrors(), 1);
  EXPECT_EQ(H.Count("OnCommandTimeout lcReadCurrent 1 r61"), 300);
  H.Laser.ClearCommandErrors();
  EXPECT_EQ(H.Laser.CommandErrors(), 0);
}

TEST_F(Engine, ACommandPushedAsTheSenderPausesIsStillSent) {
  Connect();
  for (int i = 0; i < 200; ++i) {
    H.Laser.ReadStatus();
    ASSERT_EQ(Next(5000), "r60") << "round " << i;
    Device.Write("LASER_OFF\r\n");
    // Push the next one right as the sender pops this one and looks at the queue.
    ASSERT_TRUE(H.PumpUntil([&] { return H.Count("OnLaserON") == i + 1; })) << i;
  }
  EXPECT_EQ(H.Count("OnCommandTimeout"), 0);
}

TEST_F(Engine, UnpluggedDeviceIsClosedAndDoesNotMakeTheReceiverSpin) {
  Connect();
  Device.Unplug();
  ASSERT_TRUE(H.WaitEvent("OnDisconnect"));
  EXPECT_FALSE(H.Laser.Connected());
  timespec before{}, after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  const double cpu = (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
  EXPECT_LT(cpu, 0.3) << "a spinning thread would use the whole 1.5 s";
  H.Laser.ReadStatus();
  EXPECT_EQ(H.Laser.QueueCount(), 0) << "dropped: the port is closed";
  EXPECT_TRUE(H.Laser.Disconnect());
  EXPECT_EQ(H.Count("OnDisconnect"), 1);
}

TEST_F(Engine, LongLineWithoutEndIsCapped) {
  Connect();
  const std::string block(4096, 'X');
  for (int i = 0; i < 20; ++i) {
    Device.Write(block);  // in steps, so the pty never fills while we are not pumping
    H.PumpFor(30);
  }
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.RxText().size() >= 60000; }));
  H.PumpFor(200);
  EXPECT_LE(H.Laser.RxText().size(), 64u * 1024u);
  Device.Write("\r\nLASER_ON\r\n");
  ASSERT_TRUE(H.WaitEvent("OnLaserON true"));
}

}  // namespace
