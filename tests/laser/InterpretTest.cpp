#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Harness.h"
#include "laser/Regex.h"

namespace {

// Matches a reply against the entry's own pattern, as the matching thread does, and interprets it.
class Interpret : public ::testing::Test {
 protected:
  void SetUp() override { H.Laser.LoadQTCommands(true); }

  std::vector<std::string> Reply(const std::string& command, const std::string& reply) {
    H.Events.clear();
    const int index = H.Laser.CommandList().IndexOfCommand(command);
    EXPECT_GE(index, 0) << command;
    if (index < 0) return {};
    TRegexMatch match;
    EXPECT_TRUE(TRegex(H.Laser.CommandList().Items(index).Mask).Search(reply, match)) << reply;
    H.Laser.InterpretReply(index, match.Groups);
    return H.Events;
  }

  test::TLaserHarness H;
};

using Lines = std::vector<std::string>;

TEST_F(Interpret, WorkedExamplesAndEveryHandledKind) {
  struct {
    const char* Command;
    const char* Reply;
    Lines Events;
  } cases[] = {
      {"r62", "12.50 A", {"OnCurrent 2 12.50"}},
      {"r69", "IMAX2 = 30.00 A", {"OnMaxCurrent 2 30.00"}},
      {"r71", "LASER1 EXTERNAL", {"OnTriggerMode 1 External"}},
      {"r72", "LASER2 CW", {"OnTriggerMode 2 CW"}},
      {"r72", "LASER2 INTERNAL", {"OnTriggerMode 2 Internal"}},
      {"r51", "OPERATING TIME:\r\n1234 H\r\n5 M", {"OnRunningTime 74045"}},
      {"r51", "TIME:\r\n0 H\r\n0 M", {"OnRunningTime 0"}},
      {"r170", "SEEDER-FREQUENCY = 80.5 MHZ", {"OnSeederFrequency 80500000.00"}},
      {"r170", "SEEDER-FREQUENCY = 80.5 KHZ", {"OnSeederFrequency 80500.00"}},
      {"r170", "SEEDER-FREQUENCY = 80.5 HZ", {"OnSeederFrequency 80.50"}},
      {"r01", "S/N: 1234.000", {"OnSN 1234"}},
      {"r60", "LASER_OFF", {"OnLaserON false"}},
      {"r60", "LASER_ON", {"OnLaserON true"}},
      {"r91", "FLOW: 3.50 L/MIN", {"OnFlowRate 3.50"}},
      {"r73", "FREQUENCY = 30000.00 HZ", {"OnFrequency 1 30000.00"}},
      {"r74", "FREQUENCY = 29999.99 HZ", {"OnFrequency 2 29999.99"}},
      {"r21", "HUMIDITY LASER 1: 35.2 %", {"OnHumidity 1 35.20"}},
      {"r172", "PULSE COUNT = 10", {"OnPulsePickerCount 10.00"}},
      {"r173", "PULSE NUMBER = -5.00", {"OnPulsePickerNumber -5.00"}},
      {"r175", "VREG SOLL = 50.0 %", {"OnNominalRegulatorLevel 50.00"}},
      {"w61", "OK", {}},
      {"w98 347", "OK", {}},
      {"w99 347", "QXC03 OK", {}},
      {"r66", "LIMIT_I1 = 40.00 A", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Reply(c.Command, c.Reply), c.Events) << c.Reply;
  EXPECT_EQ(H.Laser.RunningTime(), 0u);
  EXPECT_DOUBLE_EQ(H.Laser.SeederFrequency(), 80.5);
  EXPECT_EQ(H.Laser.SN(), 1234);
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(2), 30.0);
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(1), 0.0);
}

TEST_F(Interpret, ControllerSerialNumberComparedWithTheLasers) {
  Reply("r01", "S/N: 1234.000");
  EXPECT_EQ(Reply("r99", "SERIENNUMMER-QXC : 1234.0"), (Lines{"OnQXCSN 1234"}));
  EXPECT_EQ(Reply("r99", "SERIENNUMMER-QXC : 77.0"), (Lines{"OnQXCSN 77", "OnSNMismatch"}));
  EXPECT_EQ(Reply("r99", "SERIENNUMMER-QXC : -1.0"), (Lines{"OnQXCSN -1"}));
  EXPECT_EQ(H.Laser.QXCSN(), -1);
}

TEST_F(Interpret, TextsThatDoNotConvertRaiseAndStoreNothing) {
  Reply("r01", "S/N: 1234.000");
  EXPECT_EQ(Reply("r62", "12X50 A"), Lines{});
  EXPECT_EQ(Reply("r01", "S/N: 65536"), Lines{});
  EXPECT_EQ(H.Laser.SN(), 1234);
  EXPECT_EQ(Reply("r01", "S/N: 65535"), (Lines{"OnSN 65535"}));
  EXPECT_EQ(Reply("r01", "S/N: 99999999999999999999999"), Lines{});
  EXPECT_EQ(Reply("r51", "TIME:\r\n99999999 H\r\n5 M"), Lines{}) << "would wrap 32 bits";
  EXPECT_EQ(H.Laser.RunningTime(), 0u);
}

TEST_F(Interpret, RegulatorStateIsOnWithinAThousandthOfOne) {
  TCommandList& list = H.Laser.CommandList();
  list.Add(lcReadRegulatorState, 0, "r176", "\\A(-??\\d+?\\.\\d+?)\\Z", {-1, 1}, "");
  list.Add(lcReadActualRegulatorLevel, 0, "r177", "\\A(\\d+?\\.\\d+?)\\Z", {-1, 1}, "");
  list.Add(lcReadTemperature, 3, "r80", "\\AT=(\\d+?\\.\\d+?)\\Z", {-1, 1}, "");
  struct {
    const char* Command;
    const char* Reply;
    const char* Event;
  } cases[] = {
      {"r176", "1.0005", "OnRegualtorState true"},
      {"r176", "1.002", "OnRegualtorState false"},
      {"r176", "0.0", "OnRegualtorState false"},
      {"r176", "0.9995", "OnRegualtorState true"},
      {"r177", "42.50", "OnActualRegulatorLevel 42.50"},
      {"r80", "T=21.5", "OnTemperature 3 21.50"},
  };
  for (const auto& c : cases) EXPECT_EQ(Reply(c.Command, c.Reply), Lines{c.Event}) << c.Reply;
}

TEST_F(Interpret, TemplateEntriesWithOddIndexes) {
  TCommandList& list = H.Laser.CommandList();
  list.Add(lcReadCurrent, 1, "r81", "\\A(\\d+?)\\.(\\d+?) A\\Z", {-1, 1, 2}, "");
  list.Add(lcReadCurrent, 2, "r82", "\\A(\\d+?\\.\\d\\d) A\\Z", {-1, 5}, "");  // no group 5
  list.Add(lcReadRunningTime, 0, "r83", "\\A(\\d+?) H\\Z", {-1, 1}, "");       // needs two
  list.Add(lcReadMaxCurrent, 7, "r84", "\\A(\\d+?\\.\\d\\d) A\\Z", {-1, 1}, "");
  list.Add(lcCustomized, 4, "r85", "\\AV(\\d+?)(X)??\\Z", {-1, 2}, "");
  list.Add(lcReadFrequency, 1, "r86", "\\AF\\Z", {}, "");
  EXPECT_EQ(Reply("r81", "12.5 A"), (Lines{"OnCurrent 1 12.00"}));  // 12 + 5 * 0.00001
  EXPECT_EQ(Reply("r82", "12.50 A"), Lines{});
  EXPECT_EQ(Reply("r83", "12 H"), Lines{});
  EXPECT_EQ(Reply("r84", "40.00 A"), (Lines{"OnMaxCurrent 7 40.00"}));
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(1), 0.0);
  EXPECT_DOUBLE_EQ(H.Laser.MaxCurrent(2), 0.0);
  EXPECT_EQ(Reply("r85", "V12"), (Lines{"OnCustomizedCmd 4 "}));  // group 2 took no part
  EXPECT_EQ(Reply("r86", "F"), Lines{});
}

TEST_F(Interpret, CurrentWithFractionGroupAddsHundredThousandths) {
  TCommandList& list = H.Laser.CommandList();
  list.Add(lcReadCurrent, 2, "r81", "\\A(\\d+?\\.\\d\\d) A (\\d+?)\\Z", {-1, 1, 2}, "");
  H.Events.clear();
  const int index = list.IndexOfCommand("r81");
  H.Laser.InterpretReply(index, {"", "12.50", "50000"});
  EXPECT_EQ(H.Events, (Lines{"OnCurrent 2 13.00"}));
}

}  // namespace
