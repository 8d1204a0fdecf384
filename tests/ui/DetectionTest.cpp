// The connect-and-detect sequence against the simulated controller: a real TLaser on a
// pseudo-terminal, a fake window that records what the sequence asks of it, and the test thread
// playing the UI thread (the fake's cover panel lets pending events run, as the real one does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include "laser/ErrorExplan.h"
#include "logic/Detection.h"
#include "logic/PortAccess.h"
#include "tests/laser/Harness.h"
#include "tests/laser/SimHarness.h"

#if !defined(_WIN32)
#include <sys/stat.h>

#include "tests/serial/Unprivileged.h"
#endif

namespace {

using Lines = std::vector<std::string>;

constexpr int Port = 5;
// Answering models never wait out a reply, so their wait costs nothing and can be long enough
// for a loaded machine; the silent ones pay it on every probe.
constexpr int LongReplyMs = 1500;
constexpr int ShortReplyMs = 250;

class TFakeView : public IDetectionView {
 public:
  explicit TFakeView(TLaser& laser) : FLaser(laser) {}

  void ApplyCurrentLayout(int Layout, bool ShowActual) override {
    Record("ApplyCurrentLayout " + std::to_string(Layout) + " " + std::to_string(ShowActual));
  }
  void ApplyTriggerLayout(int Layout) override {
    Record("ApplyTriggerLayout " + std::to_string(Layout));
  }
  void RefreshLaserState() override { Record("RefreshLaserState"); }
  void ShowConnectionState(bool Disconnected) override {
    Record("ShowConnectionState " + std::to_string(Disconnected));
    if (DuringSlide) std::exchange(DuringSlide, nullptr)(Disconnected);
    // The slide lets pending events run between its steps.
    for (int step = 0; step < 8; ++step) {
      FLaser.Synchronizer().CheckSynchronize();
      FLaser.Synchronizer().WaitPending(5);
    }
  }
  void UpdateCaption(int SN) override { Record("UpdateCaption " + std::to_string(SN)); }
  void SetFrequencyEntry(std::uint8_t Branch, int Value) override {
    Record("SetFrequencyEntry " + std::to_string(Branch) + " " + std::to_string(Value));
  }
  void ShowConnectFailure(const std::string& Message) override {
    Record("ShowConnectFailure");
    Messages.push_back(Message);
  }
  void CloseAdvanced() override { Record("CloseAdvanced"); }
  void ClearConsole() override { Record("ClearConsole"); }
  void StartTimer(int IntervalMs) override {
    Record("StartTimer " + std::to_string(IntervalMs));
    Timer = IntervalMs;
  }
  void StopTimer() override {
    Record("StopTimer");
    Timer.reset();
  }
  bool LoadTemplate(const std::string& FileName) override {
    Record("LoadTemplate " + FileName);
    return Template ? Template(FileName) : false;
  }

  bool Has(const std::string& call) const {
    return std::find(Calls.begin(), Calls.end(), call) != Calls.end();
  }

  Lines Calls;
  Lines Messages;
  std::optional<int> Timer;  // the running period, if the timer runs
  std::function<bool(const std::string&)> Template;
  std::function<void(bool Disconnected)> DuringSlide;  // runs once, inside the next slide

 private:
  void Record(std::string call) { Calls.push_back(std::move(call)); }
  TLaser& FLaser;
};

TLaserTiming Timing(int replyMs) {
  TLaserTiming timing;
  timing.ReplyTimeoutMs = replyMs;
  // The simulator never answers late; the silent models would only wait longer to be given up.
  timing.SyncWaitMs = std::min(timing.SyncWaitMs, replyMs);
  timing.SilenceMs = std::min(timing.SilenceMs, 4 * replyMs);
  return timing;
}

struct TRig {
  explicit TRig(sim::Options options, int replyMs = LongReplyMs, bool startSim = true)
      : Server(std::move(options)),
        Laser(Timing(replyMs)),
        View(Laser),
        Detection(Laser, View, Explanations, Log) {
    if (startSim) Server.Start(Dir.Entry(Port));
    Laser.SetPort(Port);
    Laser.OnConnect = [this](TComPort*) { Detection.LaserConnect(); };
    Laser.OnConnectFail = [this](TLaser*) { Detection.LaserConnectFail(); };
    Laser.OnDisconnect = [this](TComPort*) { Detection.LaserDisconnect(); };
    Laser.OnSN = [this](TLaser*, int sn) { Detection.LaserSN(sn); };
    Laser.OnCurrent = [this](TLaser*, std::uint8_t b, double v) { Detection.LaserCurrent(b, v); };
    Laser.OnMaxCurrent = [this](TLaser*, std::uint8_t b, double v) {
      Detection.LaserMaxCurrent(b, v);
    };
    Laser.OnFrequency = [this](TLaser*, std::uint8_t b, double v) {
      Detection.LaserFrequency(b, v);
    };
    Laser.OnTriggerMode = [this](TLaser*, std::uint8_t b, TTriggerMode m) {
      Detection.LaserTriggerMode(b, m);
    };
    auto failed = [this](TLaser*, TLaserCommand c, std::uint8_t s, const std::string& text) {
      ++Failures;
      Detection.LaserCommandError(c, s, text);
    };
    Laser.OnCommandError = failed;
    Laser.OnCommandTimeout = failed;
    Detection.FindTemplateLink = [this](int sn, std::string& file) {
      Keys.push_back("SN" + std::to_string(sn));
      if (!TemplateFile) return false;
      file = *TemplateFile;
      return true;
    };
  }
  ~TRig() { Laser.OnDisconnect = nullptr; }  // as the window does before it goes

  bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 15000) {
    const auto deadline = test::Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      Laser.Synchronizer().CheckSynchronize();
      if (pred()) return true;
      if (test::Clock::now() >= deadline) return false;
      Laser.Synchronizer().WaitPending(20);
    }
  }
  void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
  }
  Lines Sent() const {
    Lines out;
    for (const auto& c : Server.Commands()) out.push_back(c.text);
    return out;
  }
  bool Closed() const {
    return !Laser.Connected() && !Detection.LaserReady() && Detection.DetectionStage == dsIdle;
  }
  // Ready with the closing status read answered, or closed.
  bool WaitSettled() {
    return PumpUntil([&] {
      if (Closed()) return true;
      const Lines sent = Sent();
      return Detection.LaserReady() && !sent.empty() && sent.back() == "r60" &&
             Laser.QueueCount() == 0;
    });
  }

  test::TComDir Dir;
  sim::SimServer Server;
  Lines Log;
  TExplanationList Explanations;
  TLaser Laser;
  TFakeView View;
  TDetection Detection;
  int Failures = 0;
  Lines Keys;                               // template link keys looked up
  std::optional<std::string> TemplateFile;  // the link's value, if there is one
};

sim::Options Model(const char* name) {
  sim::Options o;
  o.model = name;
  return o;
}

Lines ExplanationLines(const TExplanationList& list) {
  Lines out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.DisplayLine(list.Items(i).Code));
  return out;
}

Lines Explained(const char* family) {
  TExplanationList list;
  if (std::string(family) == "QT") list.LoadQTExplanations();
  if (std::string(family) == "ZE") list.LoadZEExplanations();
  return ExplanationLines(list);
}

// Which family's command set the table holds, told by its branch-1 trigger-mode read.
std::string Family(const TLaser& laser) {
  const int i = laser.CommandList().IndexOf(lcReadTriggerMode, 1);
  if (i < 0) return "";
  const std::string& text = laser.CommandList().Items(i).Command;
  return text == "r71" ? "QT" : text == "r70" ? "ZE" : text;
}

const Lines ClosedCalls = {"StopTimer",       "ClearConsole",  "StartTimer 1000",
                           "UpdateCaption 0", "CloseAdvanced", "ShowConnectionState 1"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Detection, EveryModelIsProbedInItsOrder) {
  struct {
    const char* Model;
    std::function<void(sim::Options&)> Tune;
    int ReplyMs;
    Lines Sent, Log, Calls;
    bool Ready;
    const char* Family;  // command set and error table
  } cases[] = {
      {"qt2",
       nullptr,
       LongReplyMs,
       {"r01", "r61", "r62", "r69", "r74", "r72", "r67", "r73", "r71", "r60"},
       {"Read SN --> OK", "Read I1 --> OK", "Read I2 --> OK", "Read Imax2 --> OK", "Read f2 --> OK",
        "Read trigger mode2 --> OK", "Read Imax1 --> OK", "Read f1 --> OK",
        "Read trigger mode1 --> OK"},
       {"UpdateCaption 1234", "ApplyCurrentLayout 6 0", "ApplyTriggerLayout 2",
        "SetFrequencyEntry 2 20000", "SetFrequencyEntry 1 30000", "StartTimer 1000",
        "ShowConnectionState 0"},
       true,
       "QT"},
      {"qt2c",
       nullptr,
       LongReplyMs,
       {"r01", "r61", "r62", "r69", "r74", "r74", "r74", "r72", "r67", "r73", "r71", "r60"},
       {"Read SN --> OK", "Read I1 --> OK", "Read I2 --> OK", "Read Imax2 --> OK",
        "Read f2[\"r74\"] --> Fail", "Read trigger mode2 --> OK", "Read Imax1 --> OK",
        "Read f1 --> OK", "Read trigger mode1 --> OK"},
       {"UpdateCaption 1234", "ApplyCurrentLayout 6 0", "ApplyTriggerLayout 1",
        "SetFrequencyEntry 1 30000", "StartTimer 1000", "ShowConnectionState 0"},
       true,
       "QT"},
      {"qt1",  // and the entry gets the whole hertz of 29999.99
       [](sim::Options& o) { o.frequency1 = 29999.99; },
       LongReplyMs,
       {"r01", "r61", "r62", "r62", "r62", "r67", "r73", "r71", "r60"},
       {"Read SN --> OK", "Read I1 --> OK", "Read I2[\"r62\"] --> Fail", "Read Imax1 --> OK",
        "Read f1 --> OK", "Read trigger mode1 --> OK"},
       {"UpdateCaption 1234", "ApplyCurrentLayout 2 0", "ApplyTriggerLayout 0",
        "SetFrequencyEntry 1 29999", "StartTimer 1000", "ShowConnectionState 0"},
       true,
       "QT"},
      {"ze",
       nullptr,
       LongReplyMs,
       {"r01", "r61", "r61", "r61", "r62", "r65", "r71", "r70", "r60"},
       {"Read SN --> OK", "Read I1[\"r61\"] --> Fail", "Read I2 --> OK", "Read Imax2 --> OK",
        "Read f1 --> OK", "Read trigger mode1 --> OK"},
       {"UpdateCaption 1234", "ApplyCurrentLayout 4 0", "ApplyTriggerLayout 0",
        "SetFrequencyEntry 1 20000", "StartTimer 1000", "ShowConnectionState 0"},
       true,
       "ZE"},
      // The second current read follows three failures with no reply between them, so its
      // first failure is already the third in a row: it is not sent again. After each reply wait
      // that ran out the line is brought back in step by the serial-number read, whose reply
      // is nobody's value and ends no streak of failures.
      {"sn-only",
       nullptr,
       ShortReplyMs,
       {"r01", "r61", "r01", "r61", "r01", "r61", "r01", "r62"},
       {"Read SN --> OK", "Read I1[\"r61\"] --> Fail", "Read I2[\"r62\"] --> Fail"},
       Concat({"UpdateCaption 1234"}, ClosedCalls),
       false,
       ""},
      // The serial-number read itself unanswered: the status and running-time reads stand in
      // for it, and a line that says nothing at all is given up after a silence.
      {"mute",
       nullptr,
       ShortReplyMs,
       {"r01", "r60", "r51", "r01", "r60", "r51", "r01"},
       {"Read SN[\"r01\"] --> Fail"},
       ClosedCalls,
       false,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Model);
    sim::Options options = Model(c.Model);
    if (c.Tune) c.Tune(options);
    TRig rig(options, c.ReplyMs);
    rig.Detection.OpenSilently();
    ASSERT_TRUE(rig.WaitSettled());
    EXPECT_EQ(rig.Sent(), c.Sent);
    EXPECT_EQ(rig.Log, c.Log);
    EXPECT_EQ(rig.View.Calls, c.Calls);
    EXPECT_EQ(rig.Detection.LaserReady(), c.Ready);
    EXPECT_EQ(rig.Laser.Connected(), c.Ready);
    EXPECT_EQ(rig.Detection.DetectionStage, dsIdle);
    EXPECT_EQ(rig.Detection.TimerRole(),
              c.Ready ? TDetection::TTimerRole::Refresh : TDetection::TTimerRole::RetryConnect);
    EXPECT_EQ(ExplanationLines(rig.Explanations), Explained(c.Family));
    if (c.Ready) {
      EXPECT_EQ(Family(rig.Laser), c.Family);
    }
    EXPECT_EQ(rig.Keys, c.Log.front() == "Read SN --> OK" ? Lines{"SN1234"} : Lines{});
  }
}

// A laser that answers only its serial number is given up and, with AutoDetect, looked for again
// at the next tick; without it the cover stays until the operator connects.
TEST(Detection, FailedDetectionRetriesOnlyWithAutoDetect) {
  for (bool autoDetect : {true, false}) {
    SCOPED_TRACE(autoDetect);
    TRig rig(Model("sn-only"), ShortReplyMs);
    rig.Detection.AutoDetect = autoDetect;
    rig.Detection.DetectInterval = 700;
    rig.Detection.OpenSilently();
    ASSERT_TRUE(rig.WaitSettled());
    ASSERT_TRUE(rig.Closed());
    EXPECT_TRUE(rig.View.Has("ShowConnectionState 1"));
    EXPECT_EQ(rig.View.Timer, autoDetect ? std::optional<int>(700) : std::nullopt);

    rig.Detection.TimerTick();
    if (!autoDetect) {
      EXPECT_FALSE(rig.Laser.Connected());
      EXPECT_EQ(rig.Sent().size(), 8u);
      continue;
    }
    ASSERT_TRUE(rig.Laser.Connected());
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Log.size() == 6 && rig.Closed(); }));
    const Lines once = {"r01", "r61", "r01", "r61", "r01", "r61", "r01", "r62"};
    EXPECT_EQ(rig.Sent(), Concat(once, once));
    EXPECT_EQ(Lines(rig.Log.begin() + 3, rig.Log.end()),
              Lines(rig.Log.begin(), rig.Log.begin() + 3));
    EXPECT_EQ(rig.View.Timer, 700);
  }
}

// A stored template link: applied, the laser is ready right after its serial number; refused or
// absent, the laser is probed.
TEST(Detection, TemplateLinkMakesReadyOrFallsBackToProbing) {
  const Lines probed = {"r01", "r61", "r62", "r69", "r74", "r72", "r67", "r73", "r71", "r60"};
  struct {
    const char* Name;
    std::optional<std::string> Link;
    bool Applies;
    Lines Sent;
    Lines Calls;
  } cases[] = {
      {"applied",
       "LaserA.ini",
       true,
       {"r01"},
       {"UpdateCaption 1234", "LoadTemplate LaserA.ini", "ApplyCurrentLayout 6 0",
        "ApplyTriggerLayout 2", "RefreshLaserState", "StartTimer 1000", "ShowConnectionState 0"}},
      {"refused",
       "Broken.ini",
       false,
       probed,
       {"UpdateCaption 1234", "LoadTemplate Broken.ini", "ApplyCurrentLayout 6 0",
        "ApplyCurrentLayout 6 0", "ApplyTriggerLayout 2", "SetFrequencyEntry 2 20000",
        "SetFrequencyEntry 1 30000", "StartTimer 1000", "ShowConnectionState 0"}},
      {"no link",
       std::nullopt,
       false,
       probed,
       {"UpdateCaption 1234", "ApplyCurrentLayout 6 0", "ApplyTriggerLayout 2",
        "SetFrequencyEntry 2 20000", "SetFrequencyEntry 1 30000", "StartTimer 1000",
        "ShowConnectionState 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig(Model("qt2"));
    rig.TemplateFile = c.Link;
    rig.View.Template = [&](const std::string&) {
      // what an applied two-branch template does; a refused one may have set a layout already
      rig.View.ApplyCurrentLayout(clBranch1 | clBranch2, false);
      if (!c.Applies) return false;
      rig.View.ApplyTriggerLayout(2);
      rig.Laser.LoadQTCommands(false);
      rig.Explanations.LoadQTExplanations();
      return true;
    };
    rig.Detection.OpenSilently();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Detection.LaserReady(); }));
    rig.PumpUntil(
        [&] { return rig.Laser.QueueCount() == 0 && rig.Sent().size() >= c.Sent.size(); });
    rig.PumpFor(200);  // nothing more may go out
    EXPECT_EQ(rig.Sent(), c.Sent);
    EXPECT_EQ(rig.View.Calls, c.Calls);
    EXPECT_EQ(rig.Log.size(), c.Applies ? 1u : 9u);
    EXPECT_EQ(rig.Log.front(), "Read SN --> OK");
    EXPECT_EQ(ExplanationLines(rig.Explanations), Explained("QT"));
    EXPECT_EQ(Family(rig.Laser), "QT");
    EXPECT_EQ(rig.Detection.TimerRole(), TDetection::TTimerRole::Refresh);
  }
}

// A template that throws: probing still starts, and the error reaches the application's handler.
TEST(Detection, ThrowingTemplateStillProbes) {
  TRig rig(Model("qt1"));
  rig.TemplateFile = "Bad.ini";
  rig.View.Template = [](const std::string&) -> bool {
    throw std::out_of_range("List index out of bounds (7)");
  };
  rig.Detection.OpenSilently();
  EXPECT_THROW(rig.PumpUntil([&] { return rig.Log.size() == 1; }), std::out_of_range);
  EXPECT_EQ(rig.Detection.DetectionStage, dsCurrent1);
  ASSERT_TRUE(rig.WaitSettled());
  EXPECT_TRUE(rig.Detection.LaserReady());
  EXPECT_EQ(rig.Log.back(), "Read trigger mode1 --> OK");
}

// Serial numbers below 100 count from 100, for the caption and for the template key.
TEST(Detection, SmallSerialNumbersGetAHundred) {
  struct {
    int Reported, Shown;
  } cases[] = {{42, 142}, {0, 100}, {99, 199}, {100, 100}, {5000, 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Reported);
    sim::Options options = Model("qt2");
    options.sn = c.Reported;
    TRig rig(options);
    rig.Detection.OpenSilently();
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.Log.empty(); }));
    EXPECT_EQ(rig.View.Calls.front(), "UpdateCaption " + std::to_string(c.Shown));
    EXPECT_EQ(rig.Keys, Lines{"SN" + std::to_string(c.Shown)});
  }
}

// Ready: a failing command is neither logged nor resent; the third different one in a row
// closes the connection and, with AutoDetect, starts the retries.
TEST(Detection, ThreeDifferentFailuresCloseAReadyLaser) {
  TRig rig(Model("qt2"));
  rig.Detection.DetectInterval = 800;
  rig.Detection.OpenSilently();
  ASSERT_TRUE(rig.WaitSettled());
  ASSERT_TRUE(rig.Detection.LaserReady());
  const Lines log = rig.Log;
  rig.View.Calls.clear();

  // Readings of a ready laser fill no entry, write no log line and lead to no further probe.
  // Counted before queuing: the sending thread may write the first read at once.
  const std::size_t sent = rig.Sent().size() + 4;
  rig.Laser.ReadCurrent(2);
  rig.Laser.ReadMaxCurrent(1);
  rig.Laser.ReadFrequency(2);
  rig.Laser.ReadTriggerMode(1);
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Sent().size() == sent && !rig.Laser.QueueCount(); }));
  rig.PumpFor(150);
  EXPECT_EQ(rig.Sent().size(), sent);
  EXPECT_TRUE(rig.View.Calls.empty());
  EXPECT_EQ(rig.Log, log);

  const std::function<void()> failing[] = {
      [&] { rig.Laser.SetCurrent(1, 99); },    // above the maximum: refused
      [&] { rig.Laser.SetCurrent(2, 99); },    // the same kind on the other branch
      [&] { rig.Laser.SetFrequency(1, 1e9); }  // above the highest frequency
  };
  for (int i = 0; i < 2; ++i) {
    failing[i]();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Failures == i + 1; }));
    rig.PumpFor(150);
    EXPECT_EQ(rig.Sent().size(), sent + i + 1) << "a failure in the ready state is not resent";
    EXPECT_EQ(rig.Log, log);
    EXPECT_TRUE(rig.Detection.LaserReady());
    EXPECT_TRUE(rig.View.Calls.empty());
  }
  failing[2]();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Closed(); }));
  EXPECT_EQ(rig.Sent().size(), sent + 3);
  EXPECT_EQ(rig.Log, log);
  EXPECT_EQ(rig.View.Calls, (Lines{"StopTimer", "ClearConsole", "StartTimer 800", "UpdateCaption 0",
                                   "CloseAdvanced", "ShowConnectionState 1"}));
  EXPECT_TRUE(rig.Explanations.Count() == 0);
}

// The Connect command: ignored while a detection runs, a disconnect without retries while ready,
// and a new connection (with a message if the port will not open) otherwise.
TEST(Detection, ConnectCommandByState) {
  TRig rig(Model("qt2"));
  rig.Detection.ConnectLaserExecute();
  ASSERT_TRUE(rig.Laser.Connected());
  EXPECT_TRUE(rig.Detection.ReportConnectFailure);
  rig.Detection.ConnectLaserExecute();  // detecting, serial number asked
  rig.Laser.OnMaxCurrent = [&](TLaser*, std::uint8_t b, double v) {
    rig.Detection.LaserMaxCurrent(b, v);
    rig.Detection.ConnectLaserExecute();  // detecting, currents read
  };
  ASSERT_TRUE(rig.WaitSettled());
  EXPECT_EQ(rig.Sent(),
            (Lines{"r01", "r61", "r62", "r69", "r74", "r72", "r67", "r73", "r71", "r60"}));
  ASSERT_TRUE(rig.Detection.LaserReady());

  rig.View.Calls.clear();
  rig.Detection.ConnectLaserExecute();  // ready: disconnect, no auto-detect
  EXPECT_TRUE(rig.Closed());
  EXPECT_EQ(rig.View.Calls, (Lines{"StopTimer", "ClearConsole", "StopTimer", "UpdateCaption 0",
                                   "CloseAdvanced", "ShowConnectionState 1"}));
  EXPECT_EQ(rig.View.Timer, std::nullopt);
  EXPECT_EQ(rig.Detection.TimerRole(), TDetection::TTimerRole::None);

  rig.Detection.ConnectLaserExecute();  // closed: connect again
  ASSERT_TRUE(rig.WaitSettled());
  EXPECT_TRUE(rig.Detection.LaserReady());
  EXPECT_EQ(rig.Log.size(), 18u);
}

// A port that does not open: a message only for the operator's connect; the start-up attempt and
// the retries stay silent, and the start-up attempt schedules nothing.
TEST(Detection, PortThatWillNotOpen) {
  TRig rig(Model("qt2"), LongReplyMs, /*startSim=*/false);
  rig.Laser.SetPort(9);
  rig.Detection.OpenSilently();
  EXPECT_FALSE(rig.Laser.Connected());
  EXPECT_TRUE(rig.View.Calls.empty());
  EXPECT_EQ(rig.Detection.TimerRole(), TDetection::TTimerRole::None);

  rig.Detection.ConnectLaserExecute();
  EXPECT_EQ(rig.View.Calls, Lines{"ShowConnectFailure"});
  EXPECT_EQ(rig.View.Messages,
            Lines{"Cannot open port: COM9. \r\n\r\nPlease check:\r\n1) if the port number is "
                  "correct, \r\n2) if another program is using this port."});

  rig.View.Calls.clear();
  rig.Detection.StartRetryTimer();
  rig.Detection.TimerTick();
  rig.Detection.TimerTick();
  EXPECT_EQ(rig.View.Calls, Lines{"StartTimer 1000"});
  EXPECT_FALSE(rig.Detection.ReportConnectFailure);

  // AutoDetect switched on after a failed start-up attempt finds the laser once it is there.
  rig.Server.Start(rig.Dir.Entry(9));
  rig.Detection.TimerTick();
  ASSERT_TRUE(rig.WaitSettled());
  EXPECT_TRUE(rig.Detection.LaserReady());
}

// The device goes away by itself: the window shows a closed connection and looks for it again,
// silently while it is missing, and finds it once it is back.
TEST(Detection, VanishedDeviceCoversAndRetries) {
  struct {
    const char* Name;
    std::function<void(TRig&)> Vanish, Return;
  } cases[] = {
      {"port closed under us", [](TRig& r) { r.Laser.SetConnected(false); }, nullptr},
      {"cable pulled", [](TRig& r) { r.Server.Unplug(); }, [](TRig& r) { r.Server.Replug(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TRig rig(Model("qt2"));
    rig.Detection.OpenSilently();
    ASSERT_TRUE(rig.WaitSettled());
    ASSERT_TRUE(rig.Detection.LaserReady());
    rig.View.Calls.clear();

    c.Vanish(rig);
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Closed(); }));
    rig.PumpFor(100);
    EXPECT_EQ(rig.View.Calls, (Lines{"ClearConsole", "StartTimer 1000", "UpdateCaption 0",
                                     "CloseAdvanced", "ShowConnectionState 1"}));
    EXPECT_EQ(rig.Explanations.Count(), 0);
    EXPECT_EQ(rig.Detection.TimerRole(), TDetection::TTimerRole::RetryConnect);

    if (c.Return) {
      rig.Detection.TimerTick();  // still missing: tried silently
      EXPECT_TRUE(rig.Closed());
      EXPECT_TRUE(rig.View.Messages.empty());
      c.Return(rig);
    }
    rig.Detection.TimerTick();
    ASSERT_TRUE(rig.WaitSettled());
    EXPECT_TRUE(rig.Detection.LaserReady());
    EXPECT_EQ(rig.View.Calls.back(), "ShowConnectionState 0");
    EXPECT_EQ(rig.Log.size(), 18u);
  }
}

// Events that arrive while the cover panel slides find the state already final: a device that
// vanishes while the panel is being revealed leaves the retries running, not the refresh.
TEST(Detection, DisconnectWhileThePanelSlides) {
  TRig rig(Model("qt2"));
  rig.View.DuringSlide = [&](bool disconnected) {
    if (!disconnected) rig.Laser.SetConnected(false);
  };
  rig.Detection.OpenSilently();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.View.Has("ShowConnectionState 1"); }));
  rig.PumpFor(100);
  EXPECT_TRUE(rig.Closed());
  EXPECT_EQ(rig.Detection.TimerRole(), TDetection::TTimerRole::RetryConnect);
  EXPECT_EQ(rig.View.Timer, 1000);
  const Lines tail(rig.View.Calls.end() - 7, rig.View.Calls.end());
  EXPECT_EQ(tail,
            (Lines{"StartTimer 1000", "ShowConnectionState 0", "ClearConsole", "StartTimer 1000",
                   "UpdateCaption 0", "CloseAdvanced", "ShowConnectionState 1"}));
}

#if !defined(_WIN32)  // file modes and users of a pseudo-terminal
// A port that is there but refused to the user: the operator's connect shows the message with
// the permission line after it.
TEST(Detection, RefusedPortAddsThePermissionLine) {
  TRig rig(Model("qt2"), LongReplyMs, /*startSim=*/false);
  test::TDeviceEnd device(rig.Dir, 9);
  const std::string slave = std::filesystem::canonical(rig.Dir.Entry(9)).string();
  ASSERT_EQ(::chmod(slave.c_str(), 0), 0);
  ASSERT_EQ(::chmod(rig.Dir.Path().c_str(), 0755), 0);  // the link is found by any user
  rig.Laser.SetPort(9);
  {
    TUnprivileged nobody;
    if (!nobody.Ok()) GTEST_SKIP() << "cannot drop root's file-system ids here";
    rig.Detection.ConnectLaserExecute();
  }
  ASSERT_EQ(rig.View.Messages.size(), 1u);
  const std::string line = PortPermissionLine(EACCES, rig.Dir.Entry(9));
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(rig.View.Messages[0], TDetection::ConnectFailMessage(9) + line);
}
#endif

}  // namespace
