// A paced simulator takes a byte time for every byte in each direction: a command counts from
// the arrival of its last byte, bytes written in a burst queue up on the line, and the reply
// leaves only once the command is in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/Device.h"

namespace sim {
namespace {

constexpr double kByte = 10.0 * 1000.0 / 57600.0;  // start, 8 data and stop bit

struct TWrite {
  double AtMs;
  std::string Bytes;
};

struct TArrival {
  std::string Command;
  double Bytes;  // arrival of the terminator, in byte times
};

// Feeds the writes to the device at their times and returns the times its commands came in.
std::vector<Received> Feed(bool pace, const std::vector<TWrite>& writes) {
  Options o;
  o.pace = pace;
  Device device(o);
  for (const TWrite& w : writes) {
    device.TakeDue(w.AtMs);  // the client's clock moves on; nothing is read back here
    device.Receive(w.Bytes, w.AtMs);
  }
  return device.Commands();
}

TEST(SimPacing, ReceivedBytesTakeTheirLineTime) {
  struct {
    const char* Name;
    bool Pace;
    std::vector<TWrite> Writes;
    std::vector<TArrival> Expected;  // times in byte times
  } cases[] = {
      {"unpaced: at once", false, {{0, "r61\r"}}, {{"r61", 0}}},
      {"one command", true, {{0, "r61\r"}}, {{"r61", 4}}},
      {"a later write starts when it is written",
       true,
       {{0, "r61\r"}, {100 * kByte, "r62\r"}},
       {{"r61", 4}, {"r62", 104}}},
      {"a burst queues up on the line",
       true,
       {{0, "r61\rr62\rw62 12.50\r"}},
       {{"r61", 4}, {"r62", 8}, {"w62 12.50", 18}}},
      {"a write while the line is busy waits for it",
       true,
       {{0, "r61\rr6"}, {kByte, "2\r"}},
       {{"r61", 4}, {"r62", 8}}},
      {"CR LF: the LF takes its time too", true, {{0, "r61\r\nr62\r\n"}}, {{"r61", 4}, {"r62", 9}}},
  };
  for (const auto& c : cases) {
    const std::vector<Received> got = Feed(c.Pace, c.Writes);
    ASSERT_EQ(got.size(), c.Expected.size()) << c.Name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].text, c.Expected[i].Command) << c.Name;
      EXPECT_NEAR(got[i].ms, c.Expected[i].Bytes * kByte, 1e-9) << c.Name << ", " << i;
    }
  }
}

// The whole round trip on the device clock: nothing of the reply before the command is in,
// then one byte time per reply byte.
TEST(SimPacing, ReplyLeavesAfterTheCommandHasArrived) {
  Options o;
  o.pace = true;
  Device device(o);
  device.Receive("r61\r", 0);
  const std::string reply = " 10.00 A\r\n";
  struct {
    double AtBytes;
    std::size_t Out;  // reply bytes on the line by then
  } steps[] = {{3.9, 0}, {4.0, 0}, {5.0, 1}, {8.5, 4}, {14.0, 10}, {100, 10}};
  std::string out;
  for (const auto& s : steps) {
    out += device.TakeDue(s.AtBytes * kByte + 1e-9).bytes;
    EXPECT_EQ(out, reply.substr(0, s.Out)) << "at " << s.AtBytes << " byte times";
  }
  EXPECT_FALSE(device.NextDueMs().has_value());
}

}  // namespace
}  // namespace sim
