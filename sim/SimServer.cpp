#include "sim/SimServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <filesystem>
#include <stdexcept>

namespace sim {

namespace fs = std::filesystem;

void WakeLead::Observe(double lateMs) {
  // A running mean over about eight waits: steady, yet quick to follow a change of load.
  leadMs_ += (std::clamp(lateMs, 0.0, kMaxMs) - leadMs_) / 8;
}

SimServer::SimServer(Options options)
    : DeviceHost(std::move(options)), paced_(device_.GetOptions().pace) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw std::runtime_error("eventfd failed");
}

SimServer::~SimServer() {
  StopServing();
  ::close(wake_);
}

void SimServer::Wake() const {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
}

bool SimServer::Start(const std::string& linkPath) {
  return StartServing(linkPath);
}

bool SimServer::OpenPty() {
  termios raw{};
  ::cfmakeraw(&raw);  // no echo, no line editing, even before a client configures the line
  ::cfsetispeed(&raw, B57600);
  ::cfsetospeed(&raw, B57600);
  raw.c_cflag |= CLOCAL | CREAD;
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return false;
  char name[PATH_MAX];
  if (::ttyname_r(slave, name, sizeof name) != 0) {
    ::close(master);
    ::close(slave);
    return false;
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  master_ = master;
  slave_ = slave;
  slavePath_ = name;
  return true;
}

void SimServer::ClosePty() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
  slavePath_.clear();
}

bool SimServer::PointLink() {
  std::error_code ec;
  fs::path link(linkPath_);
  if (link.has_parent_path()) fs::create_directories(link.parent_path(), ec);
  auto st = fs::symlink_status(link, ec);
  if (fs::exists(st) && !fs::is_symlink(st)) return false;  // never replace a real file
  // A new link renamed over the old one: the name never points nowhere while replugging.
  fs::path tmp =
      link.parent_path() / ("." + link.filename().string() + ".new" + std::to_string(::getpid()));
  fs::remove(tmp, ec);
  fs::create_symlink(slavePath_, tmp, ec);
  if (ec) return false;
  fs::rename(tmp, link, ec);
  if (ec) {
    fs::remove(tmp, ec);
    return false;
  }
  linkTarget_ = slavePath_;
  return true;
}

void SimServer::RemoveLink() {
  if (linkPath_.empty() || linkTarget_.empty()) return;
  std::error_code ec;
  // only our own link: someone may have pointed the name elsewhere meanwhile
  if (fs::read_symlink(linkPath_, ec) == fs::path(linkTarget_) && !ec) fs::remove(linkPath_, ec);
  linkTarget_.clear();
}

bool SimServer::OpenLine() {
  if (!OpenPty()) return false;
  if (!linkPath_.empty() && !PointLink()) {
    ClosePty();
    return false;
  }
  return true;
}

void SimServer::CloseLine() {
  ClosePty();
  RemoveLink();
}

void SimServer::ThreadStarts() {
  // Paced bytes are due every 174 us; the default timer slack of this thread (50 us) would make
  // each one late, and the line slower than 57600 bit/s.
  if (paced_) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

double SimServer::ArrivedMs() const {
  // Paced, the bytes came when this thread was woken for them, not when it got to run (but not
  // before it last looked and found nothing).
  return paced_ ? std::max(lookedMs_, NowMs() - lead_.Ms()) : NowMs();
}

DeviceHost::Exchanged SimServer::Exchange(std::string& out, std::optional<double> nextMs) {
  const int master = held_;
  while (master >= 0 && !out.empty()) {
    ssize_t n = ::write(master, out.data(), out.size());
    if (n > 0) {
      out.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the client is not reading: wait until the pty takes more
    }
  }

  pollfd fds[2] = {{wake_, POLLIN, 0}, {master, POLLIN, 0}};
  if (!out.empty()) fds[1].events |= POLLOUT;
  timespec ts{};
  timespec* timeout = nullptr;
  double wakeAtMs = -1;
  if (nextMs) {
    // wake for the next scheduled byte, rounded up so that it is due when we look
    wakeAtMs = *nextMs - lead_.Ms();
    const double waitUs = std::max(0.0, std::ceil((wakeAtMs - NowMs()) * 1000.0));
    ts.tv_sec = static_cast<time_t>(waitUs / 1e6);
    ts.tv_nsec = static_cast<long>(std::fmod(waitUs, 1e6) * 1000.0);
    timeout = &ts;
  }
  const nfds_t count = master >= 0 ? 2 : 1;
  lookedMs_ = NowMs();
  const int ready = ::ppoll(fds, count, timeout, nullptr);
  Exchanged got;
  if (ready < 0 && errno != EINTR) {
    got.failed = true;
    return got;
  }
  if (ready == 0 && paced_ && wakeAtMs >= 0) lead_.Observe(NowMs() - wakeAtMs);
  if (fds[0].revents & POLLIN) {
    std::uint64_t v;
    [[maybe_unused]] auto n = ::read(wake_, &v, sizeof v);
  }
  if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
    char buf[256];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) {
      got.in.assign(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      got.broken = true;  // cannot happen while we hold the slave; never spin on it
    }
  }
  return got;
}

std::string SimServer::SlavePath() const {
  std::lock_guard l(m_);
  return slavePath_;
}

}  // namespace sim
