#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "serial/PortNames.h"
#include "tests/serial/PtyFixture.h"

namespace {

namespace fs = std::filesystem;

class PortNames : public PtyTest {};

TEST_F(PortNames, NumbersMapToDevicesAndTheLinkDirectoryWins) {
  std::ofstream(Dir / "COM5").put('x');
  std::ofstream(Dir / "COM300").put('x');
  fs::create_symlink(Dir / "gone", Dir / "COM7");  // a simulator that has ended
  struct {
    TPort Port;
    std::string WithoutDir, WithDir;
  } cases[] = {
      {0, "", ""},
      {1, "/dev/ttyS0", "/dev/ttyS0"},
      {5, "/dev/ttyS4", (Dir / "COM5").string()},
      {7, "/dev/ttyS6", (Dir / "COM7").string()},
      {32, "/dev/ttyS31", "/dev/ttyS31"},
      {33, "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {64, "/dev/ttyUSB31", "/dev/ttyUSB31"},
      {65, "/dev/ttyACM0", "/dev/ttyACM0"},
      {96, "/dev/ttyACM31", "/dev/ttyACM31"},
      {97, "", ""},
      {256, "", ""},
      {300, "", (Dir / "COM300").string()},
  };
  for (const auto& c : cases) EXPECT_EQ(PortDevicePath(c.Port), c.WithDir) << c.Port;
  ::unsetenv("LASER_COM_DIR");
  for (const auto& c : cases) EXPECT_EQ(PortDevicePath(c.Port), c.WithoutDir) << c.Port;
}

TEST_F(PortNames, PresentPortsIncludeLinkedEntriesInNumericOrder) {
  for (const char* name : {"COM10", "COM2", "COM300", "COM05", "COM0", "COMx", "tty"}) {
    std::ofstream(Dir / name).put('x');
  }
  fs::create_symlink(Dir / "gone", Dir / "COM7");
  const auto ports = PresentPorts();
  if (!ports) GTEST_SKIP() << "/sys/class/tty cannot be read here";
  auto number = [](const std::string& name) { return std::stoi(name.substr(3)); };
  EXPECT_TRUE(std::is_sorted(ports->begin(), ports->end(), [&](auto& a, auto& b) {
    return number(a) <= number(b);
  })) << "strictly ascending";
  auto has = [&](const char* name) { return std::ranges::count(*ports, name) == 1; };
  auto at = [&](const char* name) { return std::ranges::find(*ports, name) - ports->begin(); };
  ASSERT_TRUE(has("COM2") && has("COM10") && has("COM300"));
  EXPECT_LT(at("COM2"), at("COM10"));
  EXPECT_LT(at("COM10"), at("COM300"));
  for (const char* absent : {"COM0", "COM05", "COM7"}) EXPECT_FALSE(has(absent)) << absent;
}

}  // namespace
