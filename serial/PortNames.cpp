// COM numbers on POSIX: three blocks of 32 device names, and a directory of links that the
// simulator (or the user) fills and that wins over them.
#include "serial/PortNames.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string_view>

namespace fs = std::filesystem;

namespace {

struct TDeviceBlock {
  std::string_view Name;
  unsigned FirstPort;
  bool HasUartType;  // /sys/class/tty/NAME/type says whether a UART is there
};

constexpr TDeviceBlock kBlocks[] = {
    {"ttyS", 1, true}, {"ttyUSB", 33, false}, {"ttyACM", 65, false}};
constexpr unsigned kBlockSize = 32;

// Decimal digits without a leading zero, so that "COM05" is not taken for the entry of COM5.
std::optional<unsigned> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5 || (digits[0] == '0' && digits.size() > 1)) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

const char* ComDir() {
  const char* dir = std::getenv("LASER_COM_DIR");
  return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

// The block and port number of a device name ("ttyUSB3" -> COM36), if it is one of ours.
const TDeviceBlock* BlockOf(std::string_view name, unsigned& port) {
  for (const TDeviceBlock& block : kBlocks) {
    if (name.substr(0, block.Name.size()) != block.Name) continue;
    const std::optional<unsigned> index = ParseNumber(name.substr(block.Name.size()));
    if (!index || *index >= kBlockSize) continue;  // "ttyS" must not swallow "ttySAC0"
    port = block.FirstPort + *index;
    return &block;
  }
  return nullptr;
}

// A device node alone proves nothing: /dev/ttyS0..31 exist on most machines whether or not a
// UART is behind them.
bool HasSerialDriver(const fs::path& root, const std::string& name, const TDeviceBlock& block) {
  std::error_code ec;
  const fs::path sys = root / "sys/class/tty" / name;
  if (!fs::exists(sys / "device" / "driver", ec)) return false;
  if (block.HasUartType) {
    std::ifstream typeFile(sys / "type");
    int type = -1;
    if (typeFile >> type && type == 0) return false;  // 0: no UART at this address
  }
  return fs::is_character_file(root / "dev" / name, ec);
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ') line.pop_back();
  return line;
}

// A USB adapter's product name: the USB device above the tty's device (the interface of an ACM
// port, or the usb-serial port and then the interface of a ttyUSB) holds it in "product".
std::string UsbProduct(const fs::path& root, const std::string& name) {
  std::error_code ec;
  const fs::path devices = fs::weakly_canonical(root / "sys/devices", ec);
  if (ec) return {};
  fs::path dir = fs::canonical(root / "sys/class/tty" / name / "device", ec);
  for (int up = 0; !ec && up < 4; ++up) {
    // Never above sysfs's own device tree, whatever a link says.
    const auto [end, unused] =
        std::mismatch(devices.begin(), devices.end(), dir.begin(), dir.end());
    if (end != devices.end() || dir == devices) break;
    std::error_code fileEc;
    if (fs::is_regular_file(dir / "product", fileEc)) return FirstLine(dir / "product");
    dir = dir.parent_path();
  }
  return {};
}

}  // namespace

std::string PortDevicePath(TPort port) {
  if (const char* dir = ComDir()) {
    const std::string entry = std::string(dir) + "/COM" + std::to_string(port);
    // lstat: a link left dangling still wins, so that COMn never silently opens another device.
    struct stat st {};
    if (::lstat(entry.c_str(), &st) == 0) return entry;
  }
  for (const TDeviceBlock& block : kBlocks) {
    if (port >= block.FirstPort && port < block.FirstPort + kBlockSize) {
      return "/dev/" + std::string(block.Name) + std::to_string(port - block.FirstPort);
    }
  }
  return {};
}

std::optional<std::vector<TPortInfo>> PresentPortInfo(const fs::path& Root) {
  std::error_code ec;
  fs::directory_iterator sys(Root / "sys/class/tty", ec);
  if (ec) return std::nullopt;
  std::map<unsigned, TPortInfo> ports;
  for (; !ec && sys != fs::directory_iterator(); sys.increment(ec)) {
    const std::string name = sys->path().filename().string();
    unsigned port = 0;
    const TDeviceBlock* block = BlockOf(name, port);
    if (block != nullptr && HasSerialDriver(Root, name, *block)) {
      ports[port] = {"COM" + std::to_string(port), "/dev/" + name, UsbProduct(Root, name)};
    }
  }
  if (const char* dir = ComDir()) {
    std::error_code dirEc;
    fs::directory_iterator links(dir, dirEc);
    for (; !dirEc && links != fs::directory_iterator(); links.increment(dirEc)) {
      const std::string name = links->path().filename().string();
      if (name.substr(0, 3) != "COM") continue;
      const std::optional<unsigned> port = ParseNumber(std::string_view(name).substr(3));
      // A dangling link (a simulator that has gone) is no port to offer.
      std::error_code existsEc;
      if (port && *port >= 1 && *port <= std::numeric_limits<TPort>::max() &&
          fs::exists(links->path(), existsEc)) {
        const fs::path device = fs::canonical(links->path(), existsEc);
        ports[*port] = {name, existsEc ? links->path().string() : device.string(), {}};
      }
    }
  }
  std::vector<TPortInfo> list;
  list.reserve(ports.size());
  for (auto& [port, info] : ports) list.push_back(std::move(info));
  return list;
}

std::optional<std::vector<TPortInfo>> PresentPortInfo() {
  return PresentPortInfo("/");
}

std::optional<std::vector<std::string>> PresentPorts() {
  std::optional<std::vector<TPortInfo>> ports = PresentPortInfo();
  if (!ports) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(ports->size());
  for (TPortInfo& port : *ports) names.push_back(std::move(port.Name));
  return names;
}
