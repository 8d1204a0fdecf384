// POSIX backend of TComPort: a terminal device in raw mode, non-blocking, waited on with poll().
// Every operation completes before it returns, so a completion record only carries the result.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "serial/ComPort.h"

struct TOverlapped {
  bool Complete = false;
  bool Ok = false;
  std::uint32_t Transferred = 0;
  std::vector<unsigned char> Data;  // the bytes of the last write, kept as the caller was promised
};

void TOverlappedDeleter::operator()(TOverlapped* overlapped) const {
  delete overlapped;
}

TOverlappedPtr NewOverlapped() {
  return TOverlappedPtr(new TOverlapped);
}

void FreeOverlapped(TOverlappedPtr& overlapped) {
  overlapped.reset();
}

// The descriptor is closed only when the last reference drops: a worker may still be inside
// poll() on it, and a number closed early could be reused by an unrelated open meanwhile.
struct TPortHandle {
  TPortHandle(int fd, int closing) : Fd(fd), Closing(closing) {}
  ~TPortHandle() {
    ::close(Fd);
    ::close(Closing);
  }
  TPortHandle(const TPortHandle&) = delete;
  TPortHandle& operator=(const TPortHandle&) = delete;

  TCommTimeouts CurrentTimeouts() const {
    std::lock_guard lock(TimeoutLock);
    return Timeouts;
  }

  const int Fd;
  const int Closing;                // eventfd, readable once the port has been closed
  std::atomic<bool> Closed{false};  // the same, cheap to test before an operation
  std::atomic<bool> HungUp{false};  // a read found the end of the line: no more input will come

  // The workers read the timeouts while the UI thread may change them: they use this copy.
  mutable std::mutex TimeoutLock;
  TCommTimeouts Timeouts;
};

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFF;
// A zero write timeout means "no limit" to the driver record; a stuck line must still not hang
// the sending thread for ever.
constexpr std::uint64_t kWriteLimitWhenUnboundedMs = 2000;

// Timeouts come from a settings record and may be absurd; a day is as good as for ever.
Clock::time_point After(std::uint64_t ms) {
  return Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(ms, 86'400'000));
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Waits until `fd` reports one of `events` or trouble, the port is closed, or the deadline
// passes. Returns the descriptor's poll events; 0 on timeout or close.
short WaitForDevice(const TPortHandle& handle, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd fds[2] = {{handle.Fd, events, 0}, {handle.Closing, POLLIN, 0}};
    const int ready = ::poll(fds, 2, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return POLLERR;
    }
    if (fds[1].revents != 0) return 0;
    return fds[0].revents;
  }
}

void Finish(TOverlapped& overlapped, bool ok, std::uint32_t transferred) {
  overlapped.Ok = ok;
  overlapped.Transferred = transferred;
  overlapped.Complete = true;
}

void Start(TOverlapped& overlapped) {
  overlapped.Complete = false;
  overlapped.Ok = false;
  overlapped.Transferred = 0;
}

speed_t SpeedOf(std::uint32_t baudRate) {
  switch (baudRate) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

constexpr tcflag_t kLineBits = CSIZE | PARENB | PARODD | CSTOPB
#ifdef CMSPAR
                               | CMSPAR
#endif
    ;

// The c_cflag bits of a line setting; nullopt when termios cannot express it.
std::optional<tcflag_t> LineBits(std::uint8_t byteSize, TParity parity, TStopBits stopBits) {
  tcflag_t bits = 0;
  switch (byteSize) {
    case 5:
      bits |= CS5;
      break;
    case 6:
      bits |= CS6;
      break;
    case 7:
      bits |= CS7;
      break;
    case 8:
      bits |= CS8;
      break;
    default:
      return std::nullopt;
  }
  switch (parity) {
    case TParity::No:
      break;
    case TParity::Odd:
      bits |= PARENB | PARODD;
      break;
    case TParity::Even:
      bits |= PARENB;
      break;
#ifdef CMSPAR
    case TParity::Mark:
      bits |= PARENB | PARODD | CMSPAR;
      break;
    case TParity::Space:
      bits |= PARENB | CMSPAR;
      break;
#endif
    default:
      return std::nullopt;
  }
  switch (stopBits) {
    case TStopBits::sb1:
      break;
    case TStopBits::sb2:
      bits |= CSTOPB;
      break;
    default:  // 1.5 stop bits do not exist in termios
      return std::nullopt;
  }
  return bits;
}

}  // namespace

std::shared_ptr<TPortHandle> TComPort::OpenDevice() {
  const std::string path = DeviceName();
  if (path.empty()) {
    FOpenError = ENOENT;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    FOpenError = errno;
    return nullptr;
  }
  const int closing = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (closing < 0) {
    FOpenError = errno;
    ::close(fd);
    return nullptr;
  }
  auto handle = std::make_shared<TPortHandle>(fd, closing);

  termios tio{};
  // Only a terminal is a serial port. The advisory lock comes before any change to the line: it
  // refuses a second opener even where TIOCEXCL does not (root, or this same process).
  if (::tcgetattr(fd, &tio) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ::ioctl(fd, TIOCEXCL) != 0) {
    FOpenError = errno;
    return nullptr;
  }
  // Raw mode is not optional: echo or line editing would change the bytes of the protocol.
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  // VMIN 1 rather than 0: with O_NONBLOCK an empty read then fails with EAGAIN, so a read that
  // returns 0 means the line has hung up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = SpeedOf(FBaudRate);
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  termios check{};
  if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::tcgetattr(fd, &check) != 0 ||
      (check.c_lflag & (ICANON | ECHO)) != 0) {
    FOpenError = errno != 0 ? errno : EIO;
    ::ioctl(fd, TIOCNXCL);
    return nullptr;
  }
  return handle;
}

// Success is reported when the port is marked closed, not when the descriptor is released:
// that happens when the last worker drops its reference, and close(2) frees the descriptor even
// when it reports an error. The claim on the device is given up here, so that the port can be
// opened again at once, even before every worker has let go.
bool TComPort::CloseDevice(TPortHandle& handle) {
  handle.Closed.store(true, std::memory_order_release);
  ::ioctl(handle.Fd, TIOCNXCL);
  ::flock(handle.Fd, LOCK_UN);
  const std::uint64_t one = 1;
  return ::write(handle.Closing, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

bool TComPort::ApplyLineSettings(TPortHandle& handle, std::uint8_t byteSize, TParity parity,
                                 TStopBits stopBits) {
  const std::optional<tcflag_t> bits = LineBits(byteSize, parity, stopBits);
  const speed_t speed = SpeedOf(FBaudRate);
  if (!bits || speed == B0) return false;
  termios old{};
  if (::tcgetattr(handle.Fd, &old) != 0) return false;
  termios tio = old;
  tio.c_cflag = (tio.c_cflag & ~kLineBits) | *bits;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  // tcsetattr succeeds when any part was taken, so only reading back tells what the driver did.
  termios got{};
  if (::tcsetattr(handle.Fd, TCSANOW, &tio) == 0 && ::tcgetattr(handle.Fd, &got) == 0 &&
      (got.c_cflag & kLineBits) == *bits && ::cfgetospeed(&got) == speed) {
    return true;
  }
  ::tcsetattr(handle.Fd, TCSANOW, &old);
  return false;
}

// Linux has no call that sizes a terminal's queues: the sizes are only stored.
void TComPort::ApplyBufferSizes(TPortHandle&) {}

void TComPort::ApplyTimeouts(TPortHandle& handle) {
  std::lock_guard lock(handle.TimeoutLock);
  handle.Timeouts = FTimeouts;
}

TWaitResult TComPort::WaitReceive(TOverlapped&, TWaitHandle wake) {
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire) ||
      handle->HungUp.load(std::memory_order_acquire)) {
    return TWaitResult::Failed;
  }
  for (;;) {
    // The wake descriptor is only looked at, never read: the caller owns that event.
    pollfd fds[3] = {{handle->Fd, POLLIN, 0}, {handle->Closing, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return TWaitResult::Failed;
    }
    if ((fds[2].revents & POLLIN) != 0) return TWaitResult::Woken;
    if (fds[1].revents != 0 || fds[2].revents != 0) return TWaitResult::Failed;
    // Input that came before a hang-up is still delivered; the read that finds the end marks it.
    if ((fds[0].revents & POLLIN) != 0) return TWaitResult::Input;
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      handle->HungUp.store(true, std::memory_order_release);
      return TWaitResult::Failed;
    }
  }
}

void TComPort::ReadBytes(void* buffer, std::uint32_t count, TOverlapped& overlapped) {
  Start(overlapped);
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire) || (!buffer && count > 0)) {
    Finish(overlapped, false, 0);
    return;
  }
  const TCommTimeouts timeouts = handle->CurrentTimeouts();
  const std::uint32_t interval = timeouts.ReadIntervalTimeout;
  const std::uint64_t total = std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count +
                              timeouts.ReadTotalTimeoutConstant;
  const bool haveTotal = total > 0;
  const Clock::time_point totalDeadline = haveTotal ? After(total) : Clock::time_point::max();

  auto* out = static_cast<unsigned char*>(buffer);
  std::uint32_t got = 0;
  bool ended = false;
  while (got < count) {
    const ssize_t n = ::read(handle->Fd, out + got, count - got);
    if (n > 0) {
      got += static_cast<std::uint32_t>(n);
      // A read that ends a line returns at once: replies are lines, and waiting out the
      // interval after the last byte of one only delays it. Within a line the interval still
      // gathers the bytes. (The Win32 counterpart is the event character: with DCB.EvtChar
      // '\n' and EV_RXFLAG in the comm mask, WaitCommEvent reports the end of a line, and a read
      // of the cbInQue bytes that ClearCommError counts returns without waiting.)
      if (out[got - 1] == '\n') break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      ended = true;  // hang-up (0) or an I/O error such as EIO from a pseudo-terminal
      break;
    }
    // Nothing more waiting. Before the first byte there is nothing to gather: WaitReceive is
    // where the receiving thread waits for input. Interval 0 means no interval timeout, and
    // 0xFFFFFFFF means return what has come.
    if (got == 0 || interval == 0 || interval == kMaxTimeout) break;
    Clock::time_point deadline = After(interval);
    if (haveTotal) deadline = std::min(deadline, totalDeadline);
    const short events = WaitForDevice(*handle, POLLIN, deadline);
    if ((events & POLLIN) == 0) {
      ended = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
      break;
    }
  }
  if (ended) handle->HungUp.store(true, std::memory_order_release);
  // Bytes read before a hang-up are delivered; the next wait reports the failure.
  Finish(overlapped, got > 0 || !ended, got);
}

bool TComPort::WaitComplete(TOverlapped& overlapped, TWaitHandle) {
  // Every operation has finished when it returns; one that never started will not finish.
  return overlapped.Complete;
}

bool TComPort::GetOverlappedResult(TOverlapped& overlapped, std::uint32_t& transferred) {
  transferred = overlapped.Transferred;
  return overlapped.Complete && overlapped.Ok;
}

void TComPort::WriteBytes(const void* buffer, std::uint32_t count, TOverlapped& overlapped) {
  Start(overlapped);
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire) || (!buffer && count > 0)) {
    Finish(overlapped, false, 0);
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  overlapped.Data.assign(bytes, bytes + count);

  const TCommTimeouts timeouts = handle->CurrentTimeouts();
  const std::uint64_t total = std::uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count +
                              timeouts.WriteTotalTimeoutConstant;
  const Clock::time_point deadline = After(total > 0 ? total : kWriteLimitWhenUnboundedMs);

  std::uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle->Fd, overlapped.Data.data() + done, count - done);
    if (n > 0) {
      done += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      // EIO from a pseudo-terminal whose far end closed, ENXIO from an adapter pulled out: the
      // device is gone, not merely slow.
      if (n < 0) handle->HungUp.store(true, std::memory_order_release);
      break;
    }
    const short events = WaitForDevice(*handle, POLLOUT, deadline);
    if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      handle->HungUp.store(true, std::memory_order_release);
    }
    if ((events & POLLOUT) == 0) break;  // timed out, closed or hung up
  }
  Finish(overlapped, done == count, done);
}

bool TComPort::LineFailed() const {
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire)) return false;
  if (handle->HungUp.load(std::memory_order_acquire)) return true;
  // Looked at without reading: the receiving thread may not have noticed yet. Hang-up and error
  // are reported whatever events are asked for.
  pollfd p{handle->Fd, 0, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    handle->HungUp.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

std::uint32_t TComPort::InputWaiting() const {
  const std::shared_ptr<TPortHandle> handle = Handle();
  if (!handle || handle->Closed.load(std::memory_order_acquire)) return 0;
  int waiting = 0;
  if (::ioctl(handle->Fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<std::uint32_t>(waiting);
}

void TComPort::WriteString(std::string_view text, TOverlapped& overlapped) {
  WriteBytes(text.data(), static_cast<std::uint32_t>(text.size()), overlapped);
}
