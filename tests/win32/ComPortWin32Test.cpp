// TComPort's Win32 backend under Wine: the COM port leads to the simulator through the pty relay,
// and its replies show what went over the line.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "laser/Sync.h"
#include "serial/ComPort.h"
#include "tests/laser/SimHarness.h"

namespace {

using namespace std::chrono_literals;

// Wine's ntdll has an export of its own that Windows' lacks.
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A port whose far end is the simulator.
class WinComPortLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Server.Start(Dir.Entry(kPort))); }

  static constexpr TPort kPort = 5;
  test::TComDir Dir;
  sim::SimServer Server{sim::Options{}};
};

// Writes a command and collects the reply line through the receive wait, as the receiving
// thread does.
std::string Ask(TComPort& port, const std::string& command) {
  TOverlappedPtr out = NewOverlapped();
  TOverlappedPtr in = NewOverlapped();
  TEvent wake;
  port.WriteString(command + "\r", *out);
  std::uint32_t written = 0;
  if (!port.GetOverlappedResult(*out, written) || written != command.size() + 1) return "(write)";
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (reply.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (port.WaitReceive(*in, wake.Handle()) != TWaitResult::Input) return "(wait)";
    char chunk[128];
    port.ReadBytes(chunk, sizeof chunk, *in);
    std::uint32_t n = 0;
    if (!port.WaitComplete(*in, wake.Handle()) || !port.GetOverlappedResult(*in, n)) {
      return "(read)";
    }
    reply.append(chunk, n);
  }
  return reply;
}

TEST(WinComPort, DeviceNamesOfTheFirstAndLastPort) {
  struct {
    TPort Port;
    const char* Device;
  } cases[] = {{1, "\\\\.\\COM1"}, {12, "\\\\.\\COM12"}, {256, "\\\\.\\COM256"}};
  for (const auto& c : cases) {
    TComPort port;
    port.SetPort(c.Port);
    EXPECT_EQ(port.DeviceName(), c.Device);
  }
}

TEST(WinComPort, AnAbsentPortDoesNotOpenAndRaisesNothing) {
  TComPort port;
  int events = 0;
  port.OnConnect = [&](TComPort*) { ++events; };
  port.OnDisconnect = [&](TComPort*) { ++events; };
  port.SetPort(200);  // the test prefix maps nothing there
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(events, 0);
  // A closed port starts no I/O and says so through the record.
  TOverlappedPtr record = NewOverlapped();
  port.WriteString("r61\r", *record);
  std::uint32_t n = 99;
  EXPECT_FALSE(port.GetOverlappedResult(*record, n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.InputWaiting(), 0u);
  EXPECT_FALSE(port.LineFailed());
}

TEST_F(WinComPortLine, OpenCloseEventsAndTheExclusiveClaim) {
  TComPort port;
  int connects = 0, disconnects = 0;
  port.OnConnect = [&](TComPort*) { ++connects; };
  port.OnDisconnect = [&](TComPort*) { ++disconnects; };
  port.SetPort(kPort);
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(port.Open()) << "open already";
  EXPECT_EQ(connects, 1);
  TComPort other;
  other.SetPort(kPort);
  // Wine does not refuse a second opener of a serial device; Windows does.
  if (!UnderWine()) {
    EXPECT_FALSE(other.Open()) << "a second opener is refused while the port is open";
  }
  EXPECT_TRUE(port.Close());
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(disconnects, 1);
  EXPECT_TRUE(other.Open()) << "the claim is given up by the close";
  EXPECT_TRUE(other.Close());
}

TEST_F(WinComPortLine, CommandsAndRepliesCrossTheLine) {
  TComPort port;
  port.SetPort(kPort);
  ASSERT_TRUE(port.Open());
  struct {
    const char* Command;
    const char* Reply;
  } cases[] = {{"r61", " 10.00 A\r\n"}, {"r99", "SERIENNUMMER-QXC : 1234.0\r\n"}};
  for (const auto& c : cases) EXPECT_EQ(Ask(port, c.Command), c.Reply) << c.Command;
}

TEST_F(WinComPortLine, SettingsChangedWhileOpenKeepTheLineWorking) {
  TComPort port;
  port.SetPort(kPort);
  port.SetByteSize(7);  // closed: stored for the next open
  EXPECT_EQ(port.ByteSize(), 7);
  port.SetByteSize(8);
  port.SetReadTotalTimeoutConstant(5);  // closed: stored, handed over at open
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.ReadTotalTimeoutConstant(), 5u);
  // Values a driver refuses leave the field at what it accepted.
  port.SetByteSize(3);
  EXPECT_EQ(port.ByteSize(), 8);
  port.SetStopBits(TStopBits::sb2);
  EXPECT_EQ(port.StopBits(), TStopBits::sb2);
  port.SetStopBits(TStopBits::sb1);
  port.SetInBufferSize(4096);
  EXPECT_EQ(Ask(port, "r61"), " 10.00 A\r\n");
}

TEST_F(WinComPortLine, WaitingForInputEndsOnWakeAndOnClose) {
  struct {
    const char* Name;
    bool Close;  // else the wake event
    TWaitResult Expected;
  } cases[] = {{"wake", false, TWaitResult::Woken}, {"close", true, TWaitResult::Failed}};
  for (const auto& c : cases) {
    TComPort port;
    port.SetPort(kPort);
    ASSERT_TRUE(port.Open()) << c.Name;
    TEvent wake;
    TOverlappedPtr record = NewOverlapped();
    std::thread other([&] {
      std::this_thread::sleep_for(100ms);  // let the wait start; either order must end it
      if (c.Close) {
        port.Close();
      } else {
        wake.Set();
      }
    });
    EXPECT_EQ(port.WaitReceive(*record, wake.Handle()), c.Expected) << c.Name;
    other.join();
    // The port still works after a woken wait: the cancelled comm-event wait left nothing behind.
    if (!c.Close) {
      wake.Reset();
      EXPECT_EQ(Ask(port, "r61"), " 10.00 A\r\n") << c.Name;
    }
  }
}

TEST_F(WinComPortLine, AHungUpLineIsReportedAndClosesCleanly) {
  TComPort port;
  port.SetPort(kPort);
  ASSERT_TRUE(port.Open());
  EXPECT_FALSE(port.LineFailed());
  Server.Unplug();
  TEvent wake;
  TOverlappedPtr record = NewOverlapped();
  EXPECT_EQ(port.WaitReceive(*record, wake.Handle()), TWaitResult::Failed);
  EXPECT_TRUE(port.LineFailed());
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.LineFailed()) << "closed";
}

// One read of up to 128 bytes on its own thread, started once input is there, as the receiving
// thread reads; the interval is far longer than any bound here, so a read that waits it out is
// caught. `wake` ends the read early.
std::future<std::string> StartRead(TComPort& port, TEvent& wake) {
  port.SetReadIntervalTimeout(600'000);
  port.SetReadTotalTimeoutMultiplier(0);
  return std::async(std::launch::async, [&port, &wake] {
    const TOverlappedPtr ov = NewOverlapped();
    if (port.WaitReceive(*ov, nullptr) != TWaitResult::Input) return std::string("<no input>");
    char chunk[128];
    port.ReadBytes(chunk, sizeof chunk, *ov);
    std::uint32_t n = 0;
    if (!port.WaitComplete(*ov, wake.Handle()) || !port.GetOverlappedResult(*ov, n)) {
      return std::string("<failed>");
    }
    return std::string(chunk, n);
  });
}

// The read's result; a read still waiting after a generous bound is freed by closing the port.
std::string Finish(TComPort& port, std::future<std::string>& read) {
  if (read.wait_for(10s) != std::future_status::ready) {
    port.Close();
    read.wait();
    return "<still waiting>";
  }
  return read.get();
}

// A read ends as soon as what it has read ends a line (the driver's event character), not an
// interval later; within a line it waits.
TEST(WinReadLine, ReturnsAtTheEndOfALineButNotBefore) {
  if (UnderWine()) GTEST_SKIP() << "Wine's serial driver never reports EV_RXFLAG";
  struct {
    const char* Name;
    std::vector<std::string> Pieces;  // sent one after the other, the read already waiting
    std::string Read;
  } cases[] = {
      {"a whole line", {"10.00 A\r\n"}, "10.00 A\r\n"},
      {"a line in pieces", {" 10.0", "0 A", "\r\n"}, " 10.00 A\r\n"},
      {"a CR alone ends no line", {"READY\r", "\n"}, "READY\r\n"},
      {"two lines at once", {"OPERATING TIME:\r\n  1234 H\r\n"}, "OPERATING TIME:\r\n  1234 H\r\n"},
  };
  test::TComDir dir;
  for (const auto& c : cases) {
    test::TScriptedDevice device(dir, 7);
    TComPort port;
    port.SetPort(7);
    ASSERT_TRUE(port.Open()) << c.Name;
    TEvent wake;
    std::future<std::string> read = StartRead(port, wake);
    for (std::size_t i = 0; i < c.Pieces.size(); ++i) {
      device.Write(c.Pieces[i]);
      if (i + 1 < c.Pieces.size()) {
        // Gives a read that wrongly ends early the chance to do so; a right one waits anyway.
        EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout) << c.Name << ", " << i;
      }
    }
    EXPECT_EQ(Finish(port, read), c.Read) << c.Name;
  }
}

// Ending a read hands over what it had read: a woken receiving thread loses nothing, and a line
// end ends a read the same way.
TEST(WinReadLine, AReadEndedByItsWakeHandsOverItsBytes) {
  test::TComDir dir;
  test::TScriptedDevice device(dir, 7);
  TComPort port;
  port.SetPort(7);
  ASSERT_TRUE(port.Open());
  TEvent wake;
  std::future<std::string> read = StartRead(port, wake);
  device.Write("12.5");
  EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout) << "no line end, no wake yet";
  wake.Set();
  EXPECT_EQ(Finish(port, read), "12.5");
}

}  // namespace
