#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "serial/PortNames.h"
#include "tests/serial/PtyFixture.h"

void PrintTo(const TPortInfo& port, std::ostream* out) {
  *out << "{" << port.Name << ", " << port.Device << ", " << port.Product << "}";
}

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

// A sysfs tree as the kernel lays it out: a UART on the platform bus, a USB serial adapter
// (ttyUSB: the tty's device is the usb-serial port, under the interface, under the USB device
// with its product name), a CDC ACM device (the tty's device is the interface), a UART address
// without a UART, and a tty without a device node.
TEST_F(PortNames, PresentPortsWithTheirDevicesAndUsbProductNames) {
  const fs::path root = Dir / "root";
  const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1";
  struct {
    const char* Tty;
    std::string Device;   // under root/sys/devices
    std::string Product;  // file and folder of the USB device, if any
    int Type;             // ttyS only: 0 means no UART
    bool Node;            // a device node in root/dev
  } ttys[] = {
      {"ttyS0", "platform/serial8250/tty/ttyS0", "", 4, true},
      {"ttyS1", "platform/serial8250/tty/ttyS1", "", 0, true},
      {"ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", "1-2=FT232R USB UART\n", -1,
       true},
      {"ttyACM0", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "1-3=Laser Controller  \n", -1, true},
      {"ttyUSB1", "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB1", "1-4=Unplugged", -1, false},
  };
  fs::create_directories(root / "sys/class/tty");
  fs::create_directories(root / "dev");
  for (const auto& t : ttys) {
    const fs::path device = root / "sys/devices" / t.Device;
    fs::create_directories(device / "driver");
    if (!t.Product.empty()) {
      const auto eq = t.Product.find('=');
      std::ofstream(usb / t.Product.substr(0, eq) / "product") << t.Product.substr(eq + 1);
    }
    const fs::path cls = root / "sys/class/tty" / t.Tty;
    fs::create_directories(cls);
    // Relative, as sysfs's own links are, so that the tree can live anywhere.
    fs::create_symlink(fs::relative(device, cls), cls / "device");
    if (t.Type >= 0) std::ofstream(cls / "type") << t.Type << "\n";
    if (t.Node) fs::create_symlink("/dev/null", root / "dev" / t.Tty);
  }
  fs::create_symlink("/dev/null", Dir / "COM5");  // a linked entry: the device it leads to

  const std::vector<TPortInfo> expected = {
      {"COM1", "/dev/ttyS0", ""},
      {"COM5", "/dev/null", ""},
      {"COM33", "/dev/ttyUSB0", "FT232R USB UART"},
      {"COM65", "/dev/ttyACM0", "Laser Controller"},
  };
  EXPECT_EQ(PresentPortInfo(root), expected);
  EXPECT_EQ(PresentPortInfo(Dir / "nothing"), std::nullopt) << "no sysfs: the list is unknown";
}

}  // namespace
