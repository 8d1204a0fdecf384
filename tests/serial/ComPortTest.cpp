#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "serial/ComPort.h"
#include "tests/serial/PtyFixture.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kHang = 10s;  // only a hang takes this long

struct TCounting : TComPort {
  explicit TCounting(TPort port) {
    SetPort(port);
    OnConnect = [this](TComPort* sender) { Connects += sender == this; };
    OnDisconnect = [this](TComPort* sender) { Disconnects += sender == this; };
  }
  bool Open() override {
    ++Opens;
    return TComPort::Open();
  }
  int Opens = 0, Connects = 0, Disconnects = 0;
};

// What a receiving thread does: wait, read, collect, until `size` bytes or the wait says no.
std::pair<std::string, TWaitResult> Receive(TComPort& port, int wake, std::size_t size) {
  const TOverlappedPtr ov = NewOverlapped();
  std::string got;
  TWaitResult last = TWaitResult::Input;
  for (int reads = 0; got.size() < size && reads < 1000; ++reads) {
    last = port.WaitReceive(*ov, wake);
    if (last != TWaitResult::Input) break;
    char chunk[128];
    std::uint32_t n = 0;
    port.ReadBytes(chunk, sizeof chunk, *ov);
    if (port.WaitComplete(*ov, wake) && port.GetOverlappedResult(*ov, n)) got.append(chunk, n);
  }
  return {got, last};
}

class ComPort : public PtyTest {};

TEST_F(ComPort, EventsOnlyWhenTheStateChanges) {
  Link(201);
  TCounting port(250);  // no device
  const auto open = [&] { return port.Open(); };
  const auto close = [&] { return port.Close(); };
  const auto connect = [&] { return port.SetConnected(true), true; };
  const auto disconnect = [&] { return port.SetConnected(false), true; };
  struct {
    const char* Step;
    std::function<bool()> Run;
    bool Result, Connected;
    int Opens, Connects, Disconnects;
  } steps[] = {
      {"open absent", open, false, false, 1, 0, 0},
      {"open", [&] { return port.SetPort(201), port.Open(); }, true, true, 2, 1, 0},
      {"open again", open, true, true, 3, 1, 0},
      {"connect while open", connect, true, true, 3, 1, 0},
      {"close", close, true, false, 3, 1, 1},
      {"close again", close, true, false, 3, 1, 1},
      {"disconnect closed", disconnect, true, false, 3, 1, 1},
      {"connect: through the override", connect, true, true, 4, 2, 1},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(s.Run(), s.Result) << s.Step;
    EXPECT_EQ(std::tuple(port.Connected(), port.Opens, port.Connects, port.Disconnects),
              std::tuple(s.Connected, s.Opens, s.Connects, s.Disconnects))
        << s.Step;
  }
}

TEST_F(ComPort, PortChangeWhileOpenReopensThroughTheOverride) {
  Link(201);
  TPty& second = Link(202);
  TCounting port(201);
  ASSERT_TRUE(port.Open());
  port.SetPort(202);
  EXPECT_EQ(std::tuple(port.Opens, port.Connects, port.Disconnects), std::tuple(2, 2, 1));
  EXPECT_EQ(port.DeviceName(), (Dir / "COM202").string());
  port.WriteString("r61\r", *NewOverlapped());
  EXPECT_EQ(second.Receive(4), "r61\r");

  port.SetPort(202);  // unchanged: nothing happens
  port.SetPort(251);  // no device: closed, and the failed open raises nothing
  EXPECT_EQ(std::tuple(port.Opens, port.Connects, port.Disconnects), std::tuple(3, 2, 2));
  EXPECT_FALSE(port.Connected());
}

// Line settings, as the bits of the line they should give (nullopt: termios cannot express it).
constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
struct TLineCase {
  const char* Name;
  void (*Set)(TComPort&);
  std::optional<tcflag_t> Bits;
};
const TLineCase kLineCases[] = {
    {"7 data bits", [](TComPort& p) { p.SetByteSize(7); }, CS7},
    {"5 data bits", [](TComPort& p) { p.SetByteSize(5); }, CS5},
    {"9 data bits", [](TComPort& p) { p.SetByteSize(9); }, std::nullopt},
    {"odd", [](TComPort& p) { p.SetParity(TParity::Odd); }, CS8 | PARENB | PARODD},
    {"even", [](TComPort& p) { p.SetParity(TParity::Even); }, CS8 | PARENB},
    {"mark", [](TComPort& p) { p.SetParity(TParity::Mark); }, CS8 | PARENB | PARODD | CMSPAR},
    {"space", [](TComPort& p) { p.SetParity(TParity::Space); }, CS8 | PARENB | CMSPAR},
    {"2 stop bits", [](TComPort& p) { p.SetStopBits(TStopBits::sb2); }, CS8 | CSTOPB},
    {"1.5 stop bits", [](TComPort& p) { p.SetStopBits(TStopBits::sb1_5); }, std::nullopt},
};

auto Fields(const TComPort& p) {
  return std::tuple(p.ByteSize(), p.Parity(), p.StopBits());
}

// Pseudo-terminals take some settings and quietly drop others, depending on the kernel.
bool PtyKeeps(std::optional<tcflag_t> bits) {
  TPty pty;
  termios t = pty.Line();
  t.c_cflag = (t.c_cflag & ~kLineBits) | bits.value_or(0);
  ::tcsetattr(pty.Slave, TCSANOW, &t);
  return bits && (pty.Line().c_cflag & kLineBits) == *bits;
}

TEST_F(ComPort, LineSettingsApplyAtOpenOrAreRolledBackWhileOpen) {
  int verified = 0;
  TPort number = 201;
  for (const TLineCase& c : kLineCases) {
    const bool kept = PtyKeeps(c.Bits);
    // Set while closed: stored, and programmed at the next open (a refusal there is ignored).
    TPty& closedPty = Link(number);
    TComPort stored;
    stored.SetPort(number++);
    c.Set(stored);
    const auto wanted = Fields(stored);
    ASSERT_TRUE(stored.Open()) << c.Name;
    EXPECT_EQ(Fields(stored), wanted) << c.Name;
    const termios line = closedPty.Line();
    EXPECT_EQ(::cfgetospeed(&line), B57600) << c.Name;
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.Name;
    if (kept) {
      EXPECT_EQ(line.c_cflag & kLineBits, *c.Bits) << c.Name;
      ++verified;
    }

    // Set while open: the field shows what the driver took.
    TPty& openPty = Link(number);
    TComPort open;
    open.SetPort(number++);
    ASSERT_TRUE(open.Open()) << c.Name;
    const tcflag_t before = openPty.Line().c_cflag & kLineBits;
    c.Set(open);
    EXPECT_EQ(Fields(open), kept ? wanted : Fields(TComPort())) << c.Name;
    EXPECT_EQ(openPty.Line().c_cflag & kLineBits, kept ? *c.Bits : before) << c.Name;
  }
  EXPECT_GT(verified, 0) << "no setting could be verified on this kernel's pseudo-terminals";
}

TEST_F(ComPort, SecondOpenerRefusedUntilTheFirstCloses) {
  Link(201);
  TCounting first(201), second(201);
  ASSERT_TRUE(first.Open());
  EXPECT_FALSE(second.Open());
  EXPECT_EQ(second.Connects, 0);
  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open());
}

// Raw mode: no byte is translated, swallowed or echoed, in either direction.
TEST_F(ComPort, BytesPassUnchanged) {
  const std::string payloads[] = {"r61\r", std::string("\0\xff\x7f", 3), "a\nb\r\n",
                                  "\x03\x04\x11\x13\x1a", std::string(300, 'x')};
  TPty& pty = Link(201);
  TComPort port;
  port.SetPort(201);
  ASSERT_TRUE(port.Open());
  const TOverlappedPtr ov = NewOverlapped();
  TWake wake;
  for (const std::string& bytes : payloads) {
    port.WriteBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()), *ov);
    std::uint32_t n = 0;
    EXPECT_TRUE(port.GetOverlappedResult(*ov, n));
    EXPECT_EQ(n, bytes.size());
    // A translated byte shifts the rest; an echo of the input shows up in the next round.
    EXPECT_EQ(pty.Receive(bytes.size()), bytes);
    pty.Send(bytes);
    EXPECT_EQ(Receive(port, wake.Fd, bytes.size()).first, bytes);
  }
}

// After a close, an operation must not hand back the result of the one before it.
TEST_F(ComPort, ClosedPortReportsFailedOperations) {
  TPty& pty = Link(201);
  TComPort port;
  port.SetPort(201);
  ASSERT_TRUE(port.Open());
  const TOverlappedPtr read = NewOverlapped(), write = NewOverlapped();
  pty.Send("ab");
  TWake wake;
  ASSERT_EQ(port.WaitReceive(*read, wake.Fd), TWaitResult::Input);
  char chunk[16];
  port.ReadBytes(chunk, sizeof chunk, *read);
  port.WriteString("r61\r", *write);
  std::uint32_t n = 0;
  ASSERT_TRUE(port.GetOverlappedResult(*read, n) && port.GetOverlappedResult(*write, n));

  ASSERT_TRUE(port.Close());
  port.ReadBytes(chunk, sizeof chunk, *read);
  port.WriteString("r61\r", *write);
  EXPECT_FALSE(port.GetOverlappedResult(*read, n));
  EXPECT_FALSE(port.GetOverlappedResult(*write, n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.WaitReceive(*read, wake.Fd), TWaitResult::Failed);
}

// A full line with a write timeout: the write gives up instead of hanging the sending thread.
TEST_F(ComPort, WriteTimeoutBoundsAStuckLine) {
  struct {
    const char* Name;
    bool SetWhileClosed;
    std::uint32_t Constant;
  } cases[] = {
      {"set while closed", true, 50}, {"set while open", false, 50}, {"no limit", false, 0}};
  TPort number = 201;
  for (const auto& c : cases) {
    Link(number);  // nobody reads the master: the line fills up
    TComPort port;
    port.SetPort(number++);
    ASSERT_TRUE(c.SetWhileClosed || port.Open());
    port.SetWriteTotalTimeoutMultiplier(0);
    port.SetWriteTotalTimeoutConstant(c.Constant);
    ASSERT_TRUE(!c.SetWhileClosed || port.Open());
    const std::string block(1 << 20, 'x');
    auto write = std::async(std::launch::async, [&] {
      const TOverlappedPtr ov = NewOverlapped();
      port.WriteString(block, *ov);
      std::uint32_t n = 0;
      return std::pair(port.GetOverlappedResult(*ov, n), n);
    });
    const bool finished = write.wait_for(kHang) == std::future_status::ready;
    if (!finished) port.Close();  // frees the writer, so the failure is reported, not hung
    EXPECT_TRUE(finished) << c.Name;
    const auto [ok, n] = write.get();
    EXPECT_FALSE(ok) << c.Name;
    EXPECT_LT(n, block.size()) << c.Name;
  }
}

TEST_F(ComPort, WakeEndsTheReceiveWaitAndStaysSet) {
  Link(201);
  TComPort port;
  port.SetPort(201);
  ASSERT_TRUE(port.Open());
  TWake wake;
  auto waiting = std::async(std::launch::async, [&] { return Receive(port, wake.Fd, 1).second; });
  std::this_thread::sleep_for(50ms);  // most likely inside the wait by now; fine if not
  wake.Set();
  ASSERT_EQ(waiting.wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(waiting.get(), TWaitResult::Woken);
  EXPECT_TRUE(wake.IsSet()) << "the caller owns the event; the port must not reset it";
}

// Another thread closes the port, or the other end goes away: the waiter learns it at once, and
// waiting again does not report input for ever.
TEST_F(ComPort, ReceiveWaitFailsWhenTheLineGoes) {
  TPort number = 201;
  for (const bool unplug : {false, true}) {
    TPty& pty = Link(number);
    TComPort port;
    port.SetPort(number++);
    ASSERT_TRUE(port.Open());
    if (unplug) pty.Send("7\r\n");  // sent just before the end: still delivered
    TWake wake;
    auto waiting = std::async(std::launch::async, [&] { return Receive(port, wake.Fd, 99); });
    std::this_thread::sleep_for(50ms);
    if (unplug) {
      pty.CloseMaster();
    } else {
      EXPECT_TRUE(port.Close());
      EXPECT_TRUE(port.Open()) << "the device is free again at once";
    }
    ASSERT_EQ(waiting.wait_for(kHang), std::future_status::ready) << unplug;
    const auto [got, last] = waiting.get();
    EXPECT_EQ(last, TWaitResult::Failed) << unplug;
    EXPECT_EQ(got, unplug ? "7\r\n" : "") << unplug;
  }
}

// The worker reads its timeouts while the UI thread changes them (a data race for TSan).
TEST_F(ComPort, TimeoutChangesDuringReads) {
  TPty& pty = Link(201);
  TComPort port;
  port.SetPort(201);
  ASSERT_TRUE(port.Open());
  TWake wake;
  auto reader = std::async(std::launch::async, [&] { return Receive(port, wake.Fd, 100); });
  for (std::uint32_t i = 0; i < 100; ++i) {
    port.SetReadIntervalTimeout(i % 3);
    port.SetReadTotalTimeoutConstant(i % 5);
    pty.Send("x");
  }
  ASSERT_EQ(reader.wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(reader.get().first, std::string(100, 'x'));
}

}  // namespace
