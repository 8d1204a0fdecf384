// COM numbers on POSIX: three blocks of 32 device names, and a directory of links that the
// simulator (or the user) fills and that wins over them.
#include "serial/PortNames.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
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

constexpr std::string_view kSysTty = "/sys/class/tty";

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
bool HasSerialDriver(const std::string& name, const TDeviceBlock& block) {
  std::error_code ec;
  const fs::path sys = fs::path(kSysTty) / name;
  if (!fs::exists(sys / "device" / "driver", ec)) return false;
  if (block.HasUartType) {
    std::ifstream typeFile(sys / "type");
    int type = -1;
    if (typeFile >> type && type == 0) return false;  // 0: no UART at this address
  }
  return fs::is_character_file(fs::path("/dev") / name, ec);
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

std::optional<std::vector<std::string>> PresentPorts() {
  std::error_code ec;
  fs::directory_iterator sys(kSysTty, ec);
  if (ec) return std::nullopt;
  std::set<unsigned> ports;
  for (; !ec && sys != fs::directory_iterator(); sys.increment(ec)) {
    const std::string name = sys->path().filename().string();
    unsigned port = 0;
    const TDeviceBlock* block = BlockOf(name, port);
    if (block != nullptr && HasSerialDriver(name, *block)) ports.insert(port);
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
        ports.insert(*port);
      }
    }
  }
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const unsigned port : ports) names.push_back("COM" + std::to_string(port));
  return names;
}
