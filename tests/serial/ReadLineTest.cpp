// A read ends as soon as what it has read ends a line; within a line, and for bytes that end no
// line, the port's read timeouts decide as before.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/serial/PtyFixture.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kHang = 10s;                  // only a hang takes this long
constexpr std::uint32_t kForEver = 600'000;  // an interval no passing test ever waits out
constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;

class ReadLine : public PtyTest {
 protected:
  // One read of up to `count` bytes on its own thread, started once input is there.
  std::future<std::string> StartRead(TComPort& port, std::uint32_t count = 128) {
    return std::async(std::launch::async, [&port, count, this] {
      const TOverlappedPtr ov = NewOverlapped();
      if (port.WaitReceive(*ov, Wake.Fd) != TWaitResult::Input) return std::string("<no input>");
      std::string chunk(count, '\0');
      port.ReadBytes(chunk.data(), count, *ov);
      std::uint32_t n = 0;
      if (!port.GetOverlappedResult(*ov, n)) return std::string("<failed>");
      chunk.resize(n);
      return chunk;
    });
  }
  // The read's result; a read still waiting after kHang is freed by closing the port.
  static std::string Finish(TComPort& port, std::future<std::string>& read) {
    if (read.wait_for(kHang) != std::future_status::ready) {
      port.Close();
      read.wait();
      return "<still waiting>";
    }
    return read.get();
  }

  TWake Wake;
};

struct TTimeouts {
  std::uint32_t Interval, Multiplier, Constant;
};

void SetReadTimeouts(TComPort& port, TTimeouts t) {
  port.SetReadIntervalTimeout(t.Interval);
  port.SetReadTotalTimeoutMultiplier(t.Multiplier);
  port.SetReadTotalTimeoutConstant(t.Constant);
}

// The interval is far longer than the hang bound: a read that waits it out after the line's end
// is caught, and one that returns before the end of the line hands back half a line.
TEST_F(ReadLine, ReturnsAtTheEndOfALineButNotBefore) {
  struct {
    const char* Name;
    std::vector<std::string> Pieces;  // sent one after the other, the read already waiting
    std::string Read;
  } cases[] = {
      {"a whole line", {"10.00 A\r\n"}, "10.00 A\r\n"},
      {"a line in pieces", {" 10.0", "0 A", "\r\n"}, " 10.00 A\r\n"},
      {"a CR alone ends no line", {"READY\r", "\n"}, "READY\r\n"},
      {"a line end with the next line begun",
       {"OK\r\nS/N", ": 1234.000\r\n"},
       "OK\r\nS/N: 1234.000\r\n"},
      {"two lines at once", {"OPERATING TIME:\r\n  1234 H\r\n"}, "OPERATING TIME:\r\n  1234 H\r\n"},
  };
  TPort number = 201;
  for (const auto& c : cases) {
    TPty& pty = Link(number);
    TComPort port;
    port.SetPort(number++);
    ASSERT_TRUE(port.Open()) << c.Name;
    SetReadTimeouts(port, {kForEver, 0, 0});
    std::future<std::string> read = StartRead(port);
    for (std::size_t i = 0; i < c.Pieces.size(); ++i) {
      pty.Send(c.Pieces[i]);
      if (i + 1 < c.Pieces.size()) {
        // Gives a read that wrongly ends early the chance to do so; a right one waits anyway.
        EXPECT_EQ(read.wait_for(50ms), std::future_status::timeout) << c.Name << ", piece " << i;
      }
    }
    EXPECT_EQ(Finish(port, read), c.Read) << c.Name;
  }
}

// Bytes that end no line come back when the timeouts say so, not only when a line end arrives;
// a full buffer ends a read in the middle of a line.
TEST_F(ReadLine, BytesWithoutALineEndFollowTheTimeouts) {
  struct {
    const char* Name;
    TTimeouts Timeouts;
    std::uint32_t Count;
    std::string Sent;
    std::vector<std::string> Reads;
  } cases[] = {
      {"default interval", {1, 1, 0}, 128, "NOISE", {"NOISE"}},
      {"longer interval", {30, 0, 0}, 128, " 12.5", {" 12.5"}},
      {"total timeout ends a long interval", {kForEver, 0, 30}, 128, "12.5", {"12.5"}},
      {"total from the multiplier", {kForEver, 1, 0}, 16, "READY\r", {"READY\r"}},
      {"only what has come", {kMaxTimeout, 0, 0}, 128, "ERR", {"ERR"}},
      {"a full buffer", {kForEver, 0, 0}, 4, "ABCDEF\r\n", {"ABCD", "EF\r\n"}},
  };
  TPort number = 201;
  for (const auto& c : cases) {
    TPty& pty = Link(number);
    TComPort port;
    port.SetPort(number++);
    ASSERT_TRUE(port.Open()) << c.Name;
    SetReadTimeouts(port, c.Timeouts);
    pty.Send(c.Sent);
    for (const std::string& expected : c.Reads) {
      std::future<std::string> read = StartRead(port, c.Count);
      EXPECT_EQ(Finish(port, read), expected) << c.Name;
    }
  }
}

}  // namespace
