// The remote control in the running window: clients on the loopback port drive the simulated
// laser through the window's own queue, read-only refuses what it must, and no client can harm
// the others or the window.
#include <QCheckBox>
#include <QLabel>
#include <QSpinBox>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <string>
#include <vector>

#include "tests/ui/WindowRig.h"
#include "ui/RemoteServer.h"
#include "ui/SetOption.h"

namespace {

constexpr int Bound = test::kWindowBound;

// A port nobody listens on now.
std::uint16_t FreePort() {
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  return probe.serverPort();
}

class TClient {
 public:
  explicit TClient(std::uint16_t port, const QHostAddress& host = QHostAddress::LocalHost) {
    Socket.connectToHost(host, port);
  }
  bool Connected() {
    return QTest::qWaitFor([&] { return Socket.state() == QAbstractSocket::ConnectedState; },
                           Bound);
  }
  void Send(const QByteArray& bytes) { Socket.write(bytes); }
  // The next answer line, without its "\n"; "(none)" when none came in time.
  std::string Line(int bound = Bound) {
    if (!QTest::qWaitFor([&] { return Socket.canReadLine(); }, bound)) return "(none)";
    return Socket.readLine().trimmed().toStdString();
  }
  std::string Ask(const std::string& line) {
    Send(QByteArray::fromStdString(line + "\n"));
    return Line();
  }
  QTcpSocket Socket;
};

class RemoteServerTest : public test::TWindowRig {
 protected:
  void Start(bool control, const std::string& extra = "") {
    Port = FreePort();
    StartSim("qt2");
    StartWindow({"/PORT:1", "/REMOTE:" + std::to_string(Port)},
                std::string("[General]\nAutoUpdate=0\n[Remote]\nAllowControl=") +
                    (control ? "1" : "0") + "\n" + extra);
    ASSERT_TRUE(WaitReady());
  }
  int Received(const std::string& text) const {
    int n = 0;
    for (const auto& c : Sim->Commands()) n += c.text == text;
    return n;
  }
  QString Status() {
    auto* field = Form->statusBar()->findChild<QLabel*>(QStringLiteral("StatusRemote"));
    return field && !field->isHidden() ? field->text() : QString();
  }
  bool Logged(const std::string& part) const {
    for (const std::string& line : Form->ConnectionLog()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::uint16_t Port = 0;
};

// A script sets a current and reads it back; the window shows what the laser reported, the
// status bar counts the client, and the change is in the connection log with the client's port.
TEST_F(RemoteServerTest, AScriptDrivesTheLaserThroughTheWindow) {
  Start(true);
  EXPECT_EQ(Status(), "Remote: 0");
  TClient c(Port);
  ASSERT_TRUE(c.Connected());
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status() == "Remote: 1"; }, Bound));
  EXPECT_EQ(c.Ask("*IDN?").rfind("Corvane,Laser Control,1234,", 0), 0u);
  EXPECT_EQ(c.Ask("SYST:STAT?"), "READY");
  EXPECT_EQ(c.Ask("SOUR1:CURR 12.5;:SOUR1:CURR?"), "12.50");
  EXPECT_EQ(Received("w61 12.50"), 1);
  auto* shown = Form->findChild<QLabel*>(QStringLiteral("NormCurrent1"));
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return shown->text().startsWith("12.50"); }, Bound))
      << shown->text().toStdString();
  EXPECT_EQ(c.Ask("*OPC?"), "1");
  EXPECT_EQ(c.Ask("SYST:ERR?"), "0,\"No error\"");
  const std::string client = ":" + std::to_string(c.Socket.localPort());
  EXPECT_TRUE(Logged("Remote " + client + ": SOUR1:CURR 12.50")) << client;
  c.Socket.disconnectFromHost();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Status() == "Remote: 0"; }, Bound));
}

// Read-only: queries work, a set is refused with its error and sends nothing, Laser OFF goes.
TEST_F(RemoteServerTest, ReadOnlyRefusesWhatChangesTheLaserButLaserOff) {
  Start(false);
  TClient c(Port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Ask("SOUR:CURR?"), "10.00") << "the simulator's current at start";
  c.Send("SOUR1:CURR 20\n");
  EXPECT_EQ(c.Ask("SYST:ERR?"), "-221,\"Settings conflict; remote control not allowed\"");
  EXPECT_EQ(Received("w61 20.00"), 0);
  c.Send("OUTP OFF\n");
  EXPECT_EQ(c.Ask("*OPC?"), "1");
  EXPECT_EQ(Received("w60 0"), 1);
  EXPECT_EQ(c.Ask("SYST:ERR?"), "0,\"No error\"");
}

// Eight clients at once; the ninth is told why and closed; the eight go on.
TEST_F(RemoteServerTest, EightClientsAtOnce) {
  Start(false);
  std::vector<std::unique_ptr<TClient>> clients;
  for (int i = 0; i < TRemoteServer::MaxClients; ++i) {
    clients.push_back(std::make_unique<TClient>(Port));
    ASSERT_TRUE(clients.back()->Connected());
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status() == "Remote: 8"; }, Bound));
  TClient ninth(Port);
  EXPECT_EQ(ninth.Line(), "-300,\"Device-specific error; at most 8 clients at once\"");
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return ninth.Socket.state() == QAbstractSocket::UnconnectedState; }, Bound));
  for (auto& c : clients) c->Send("SOUR2:CURR?\n");
  for (auto& c : clients) EXPECT_EQ(c->Line(), "12.50") << "the simulator's current at start";
  EXPECT_EQ(Status(), "Remote: 8");
}

// A megabyte without a line end is refused as one line too long; the client and the others go on.
TEST_F(RemoteServerTest, AHugeLineIsRefusedAndSkipped) {
  Start(false);
  TClient other(Port);
  TClient c(Port);
  ASSERT_TRUE(c.Connected());
  ASSERT_TRUE(other.Connected());
  c.Send(QByteArray(1024 * 1024, 'A') + "\n");
  EXPECT_EQ(other.Ask("*IDN?").rfind("Corvane,", 0), 0u) << "the other client is served meanwhile";
  EXPECT_EQ(c.Ask("SYST:ERR?"), "-223,\"Too much data; line longer than 4096 bytes\"");
  EXPECT_EQ(c.Ask("SYST:ERR?"), "0,\"No error\"");
  EXPECT_EQ(c.Ask("SYST:STAT?"), "READY");
}

// A client that goes at once after its last line still has that line carried out (a script's
// "OUTP OFF" before it ends), and the others notice nothing.
TEST_F(RemoteServerTest, AClientThatGoesMidCommand) {
  Start(true);
  TClient stays(Port);
  ASSERT_TRUE(stays.Connected());
  {
    TClient goes(Port);
    ASSERT_TRUE(goes.Connected());
    goes.Send("SOUR1:CURR 7.5;:SOUR1:CURR?;:OUTP OFF\n");
    goes.Socket.flush();
    goes.Socket.abort();
  }
  // Laser OFF goes ahead of everything still waiting, so the set may reach the laser after it.
  EXPECT_TRUE(QTest::qWaitFor([&] { return Received("w60 0") == 1; }, Bound));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Received("w61 7.50") == 1; }, Bound));
  EXPECT_EQ(stays.Ask("SOUR1:CURR?"), "7.50");
  EXPECT_TRUE(QTest::qWaitFor([&] { return Status() == "Remote: 1"; }, Bound));
}

// Only the loopback addresses: a client on ::1 is served too where the machine has IPv6.
TEST_F(RemoteServerTest, ListensOnBothLoopbackAddresses) {
  Start(false);
  TClient v4(Port);
  ASSERT_TRUE(v4.Connected());
  EXPECT_EQ(v4.Ask("SYST:STAT?"), "READY");
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHostIPv6, 0)) GTEST_SKIP() << "no ::1 here";
  TClient v6(Port, QHostAddress::LocalHostIPv6);
  ASSERT_TRUE(v6.Connected());
  EXPECT_EQ(v6.Ask("SYST:STAT?"), "READY");
}

// A port another program holds: said in the status bar and the log; the window works on.
TEST_F(RemoteServerTest, APortInUseIsSaidAndTheWindowRunsOn) {
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
  const std::uint16_t taken = holder.serverPort();
  StartSim("qt2");
  StartWindow({"/PORT:1", "/REMOTE:" + std::to_string(taken)});
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Status(), QStringLiteral("Remote off: port %1 in use").arg(taken));
  EXPECT_TRUE(Logged("Remote control --> not started, port " + std::to_string(taken) + " in use"));
  EXPECT_FALSE(Form->Remote().Listening());
}

// The options' "Remote" page: on, off and another port take effect at OK and are kept in the
// settings file at exit; the command line's port is for its run only.
TEST_F(RemoteServerTest, TheOptionsPageAndTheSettingsFile) {
  StartSim("qt2");
  StartWindow({"/PORT:1"});
  ASSERT_TRUE(WaitReady());
  EXPECT_FALSE(Form->Remote().Listening());
  EXPECT_EQ(Status(), "");
  TRemoteSettings on;
  on.Enabled = true;
  on.Port = FreePort();
  on.AllowControl = true;
  Form->OptionFrm->LoadRemote(on, Form->Remote().StateText());
  auto* enabled = Form->OptionFrm->findChild<QCheckBox*>(QStringLiteral("RemoteEnabled"));
  auto* port = Form->OptionFrm->findChild<QSpinBox*>(QStringLiteral("RemotePort"));
  ASSERT_TRUE(enabled && port);
  EXPECT_TRUE(enabled->isChecked());
  EXPECT_EQ(port->value(), on.Port);
  TRemoteSettings back;
  Form->OptionFrm->StoreRemote(back);
  EXPECT_EQ(back, on);
  Form->Remote().Apply(back);
  ASSERT_TRUE(Form->Remote().Listening());
  EXPECT_EQ(Form->Remote().ListeningPort(), on.Port);
  TClient c(on.Port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Ask("SYST:STAT?"), "READY");
  EXPECT_TRUE(QTest::qWaitFor([&] { return Status() == "Remote: 1"; }, Bound));
  EXPECT_NE(Form->Remote().StateText().indexOf("1 client connected"), -1);
  Form->FormDestroy();
  TIniFile stored(Ini());
  EXPECT_EQ(ReadRemoteSettings(stored), on);
}

}  // namespace
