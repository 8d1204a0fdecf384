// Remote sessions against the engine and the simulated controller: every command through
// TLaser's queue, the test playing the UI thread as the window would.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "logic/remote/LaserLink.h"
#include "logic/remote/Session.h"
#include "tests/laser/SimHarness.h"

namespace {

class TClient {
 public:
  TClient(TRemoteLaser& laser, bool control) {
    TRemoteOptions options;
    options.AllowControl = control;
    options.Version = "1.2.3";
    Session =
        std::make_unique<TRemoteSession>(laser, options, [this](std::string_view b) { Out += b; });
  }
  std::string Take() {
    std::string line = Out.substr(0, Out.find('\n') + 1);
    Out.erase(0, line.size());
    return line;
  }
  bool HasLine() const { return Out.find('\n') != std::string::npos; }

  std::unique_ptr<TRemoteSession> Session;
  std::string Out;
};

class RemoteSim : public ::testing::Test {
 protected:
  ~RemoteSim() override {
    H.Laser.OnReseted = nullptr;  // closing the port ends a phase that runs
    H.Laser.OnClearedError = nullptr;
  }
  void Start(sim::Options options) {
    Server = std::make_unique<sim::SimServer>(std::move(options));
    ASSERT_TRUE(Server->Start(Dir.Entry(5)));
    H.Laser.SetPort(5);
    ASSERT_TRUE(H.Laser.Open());
    H.Laser.LoadQTCommands(true);
    H.Laser.ReadSN();
    ASSERT_TRUE(H.WaitEvent("OnSN 1234"));
    // The window's two phase ends reach every session.
    H.Laser.OnReseted = [this](TLaser*) {
      H.Events.push_back("OnReseted");
      for (TClient* c : Clients) c->Session->PhaseEnded(true);
    };
    H.Laser.OnClearedError = [this](TLaser*) {
      H.Events.push_back("OnClearedError");
      for (TClient* c : Clients) c->Session->PhaseEnded(false);
    };
  }
  TClient& Connect(bool control) {
    Owned.push_back(std::make_unique<TClient>(Link, control));
    Clients.push_back(Owned.back().get());
    return *Owned.back();
  }
  void Drop(TClient& client) {
    Clients.erase(std::find(Clients.begin(), Clients.end(), &client));
    client.Session.reset();
  }
  // Sends a line and plays the UI thread until its answer line has come.
  std::string Ask(TClient& client, const std::string& line) {
    client.Session->Receive(line + "\n");
    EXPECT_TRUE(H.PumpUntil([&] { return client.HasLine(); })) << line;
    return client.Take();
  }
  std::string Events(const std::string& prefix) const {
    std::string out;
    for (const std::string& e : H.Events) {
      if (e.rfind(prefix, 0) == 0) out += (out.empty() ? "" : ", ") + e.substr(prefix.size());
    }
    return out;
  }
  std::vector<std::string> Received() const {
    std::vector<std::string> out;
    for (const sim::Received& r : Server->Commands()) out.push_back(r.text);
    return out;
  }
  bool Received(const std::string& command) const {
    const std::vector<std::string> all = Received();
    return std::find(all.begin(), all.end(), command) != all.end();
  }

  test::TComDir Dir;
  std::unique_ptr<sim::SimServer> Server;
  test::TLaserHarness H;
  TRemoteState State = TRemoteState::Ready;
  TLaserLink Link{H.Laser, [this] { return State; }};
  std::vector<std::unique_ptr<TClient>> Owned;
  std::vector<TClient*> Clients;  // the ones still there
};

TEST_F(RemoteSim, AScriptDrivesTheLaserThroughTheEnginesQueue) {
  sim::Options options;
  options.laserOn = true;
  Start(options);
  TClient& reader = Connect(false);
  TClient& script = Connect(true);
  EXPECT_EQ(Ask(reader, "*IDN?"), "Corvane,Laser Control,1234,1.2.3\n");
  // Read-only: Laser OFF goes, a setting is refused without a word to the laser.
  EXPECT_EQ(Ask(reader, "OUTP?"), "1\n");
  EXPECT_EQ(Ask(reader, "OUTP OFF;*OPC?;OUTP?"), "1;0\n");
  EXPECT_FALSE(Server->State().laserOn);
  EXPECT_EQ(Ask(reader, "SOUR1:CURR 12.5;OUTP ON;*OPC?;SYST:ERR?"),
            "1;-221,\"Settings conflict; remote control not allowed\"\n");
  EXPECT_FALSE(Received("w61 12.50") || Received("w60 1"));
  // With control: set, and the window is shown what the laser now holds.
  EXPECT_EQ(Ask(script, "SOUR1:CURR 12.5;*OPC?"), "1\n");
  EXPECT_EQ(Server->State().branch[0].current, 12.5);
  EXPECT_TRUE(H.Has("OnCurrent 1 12.50"));
  EXPECT_EQ(Ask(reader, "SOUR1:CURR?;SOUR2:CURR?;SOUR1:CURR:MAX?"), "12.50;12.50;40.00\n");
  EXPECT_EQ(Ask(script, "SOUR2:FREQ 1.5 kHz;TRIG2:SOUR CW;*OPC?"), "1\n");
  EXPECT_EQ(Ask(reader, "SOUR2:FREQ?;TRIG2:SOUR?;TRIG1:SOUR?"), "1500.00;CW;INT\n");
  // The laser's refusal, a value out of range and a branch this laser lacks, in order.
  EXPECT_EQ(Ask(script, "SOUR1:CURR 45;SOUR2:FREQ 300000;SOUR:CURR:ACT?;*OPC?"), "1\n");
  EXPECT_EQ(Ask(script, "SYST:ERR?;SYST:ERR?;SYST:ERR?;SYST:ERR?"),
            "-200,\"Execution error; laser refused\";-222,\"Data out of range\";-241,\"Hardware "
            "missing; not on this laser\";0,\"No error\"\n");
  EXPECT_EQ(Ask(script, "SYST:COMM:RAW? \"r62\";SYST:COMM:RAW? \"r51\""),
            "\"12.50 A\";\"OPERATING TIME:\",\"  1234 H\",\"  5 M\"\n");
  // A text without a pattern in the table is not sent: its reply could not be told.
  EXPECT_EQ(Ask(script, "SYST:COMM:RAW? \"r58\";*OPC?;SYST:ERR?"),
            "1;-224,\"Illegal parameter value; not in the laser's table\"\n");
  EXPECT_FALSE(Received("r58"));
  EXPECT_EQ(Events("OnCommandReport "), "refused w61 45.00");
}

TEST_F(RemoteSim, TheLasersErrorCodes) {
  sim::Options options;
  options.errors = {93, 7};
  options.errorDetails = {{7, 3}};
  options.clearDelayMs = 50;
  Start(options);
  TClient& client = Connect(true);
  // Reported to the window once already: a remote read still gets them all.
  H.Laser.ReadErrorCode();
  ASSERT_TRUE(H.WaitEvent("OnLaserError 93"));
  EXPECT_EQ(Ask(client, "LAS:ERR?"), "7,93\n");
  EXPECT_EQ(Ask(client, "SYST:COMM:RAW? \"r90\""), "\"07 (03)\",\"93\"\n");
  EXPECT_EQ(Ask(client, "SYST:CLE;*OPC?;SYST:ERR?;LAS:ERR?"), "1;0,\"No error\";0\n");
  EXPECT_TRUE(Server->State().errors.empty());
}

TEST_F(RemoteSim, ResetLastsUntilTheControllerIsBack) {
  sim::Options options;
  options.resetMs = 300;
  Start(options);
  TClient& client = Connect(true);
  // A command queued behind the reset would reach a controller that is not listening: a client
  // waits for *OPC? first.
  EXPECT_EQ(Ask(client, "SOUR1:CURR 20;SYST:RES;*OPC?"), "1\n");
  EXPECT_TRUE(H.Has("OnReseted"));
  EXPECT_EQ(Ask(client, "SOUR1:CURR?"), "10.00\n");  // the settings saved last
  EXPECT_EQ(Ask(client, "SYST:ERR?"), "0,\"No error\"\n");
}

TEST_F(RemoteSim, NoLaserReady) {
  Start({});
  TClient& client = Connect(true);
  State = TRemoteState::Probing;
  EXPECT_EQ(Ask(client, "SYST:STAT?;SOUR1:CURR?;*IDN?"), "PROBING;Corvane,Laser Control,0,1.2.3\n");
  EXPECT_EQ(Ask(client, "SYST:ERR?"), "-241,\"Hardware missing; no laser ready\"\n");
  H.Laser.Disconnect();
  EXPECT_EQ(Ask(client, "OUTP OFF;SYST:STAT?;SYST:ERR?"),
            "DISCONNECTED;-241,\"Hardware missing; no laser ready\"\n");
}

// Eight clients at once, one of them gone with its commands under way, one sending a line of a
// megabyte: every other gets its own answers, and the window's values stay what the laser holds.
TEST_F(RemoteSim, ClientsAtOnceWhileTheWindowRefreshes) {
  Start({});
  std::vector<TClient*> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(&Connect(i == 0));
  TClient& gone = *clients[1];
  gone.Session->Receive("SOUR1:CURR?;SOUR2:CURR?;LAS:ERR?\nSOUR1:CURR?\n");
  Drop(gone);
  clients[2]->Session->Receive(std::string(1 << 20, 'x'));
  clients[2]->Session->Receive("\nOUTP?\n");
  for (int round = 0; round < 5; ++round) {
    // The script sets a new current while the others read and the window refreshes.
    clients[0]->Session->Receive("SOUR1:CURR " + std::to_string(11 + round) + ";*OPC?\n");
    for (std::size_t i = 3; i < clients.size(); ++i) {
      clients[i]->Session->Receive("SOUR2:CURR?;OUTP?;SOUR2:CURR:MAX?\n");
    }
    if (H.Laser.RefreshDue()) {
      TLaser::TRequestScope refresh(H.Laser, TOrigin::Refresh);
      H.Laser.ReadCurrent(1);
      H.Laser.ReadCurrent(2);
    }
    ASSERT_TRUE(H.PumpUntil([&] {
      return std::all_of(clients.begin() + 3, clients.end(),
                         [](TClient* c) { return c->HasLine(); }) &&
             clients[0]->HasLine();
    }));
    EXPECT_EQ(clients[0]->Take(), "1\n");
    for (std::size_t i = 3; i < clients.size(); ++i) {
      EXPECT_EQ(clients[i]->Take(), "12.50;0;30.00\n") << "client " << i;
    }
  }
  ASSERT_TRUE(H.PumpUntil([&] { return H.Laser.QueueCount() == 0 && clients[2]->HasLine(); }));
  EXPECT_EQ(clients[2]->Take(), "0\n");
  EXPECT_EQ(Ask(*clients[2], "SYST:ERR?"), "-223,\"Too much data; line longer than 4096 bytes\"\n");
  // What the window was shown: branch 2 never changed, branch 1 only to what the script set.
  const std::set<std::string> allowed = {"10.00", "11.00", "12.00", "13.00", "14.00", "15.00"};
  for (const std::string& e : H.Events) {
    if (e.rfind("OnCurrent 2 ", 0) == 0) {
      EXPECT_EQ(e, "OnCurrent 2 12.50");
    } else if (e.rfind("OnCurrent 1 ", 0) == 0) {
      EXPECT_TRUE(allowed.count(e.substr(12))) << e;
    }
  }
  EXPECT_EQ(Server->State().branch[0].current, 15.0);
  EXPECT_EQ(Events("OnCommandReport "), "");
}

}  // namespace
