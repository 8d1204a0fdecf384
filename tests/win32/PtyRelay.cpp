// Started by scripts/wine-test.sh, never part of the program: gives the Windows tests running under
// Wine the far ends of serial lines. A test connects over localhost TCP and names a COM device
// ("com7"); the relay opens a pseudo-terminal, links its slave as DOSDEVICES/com7 (so that Wine
// opens it as "\\.\COM7"), answers "ok <slave>" and then copies bytes both ways. When the test
// closes its end the relay closes the pseudo-terminal (the port sees a hang-up, as when a cable
// is pulled) and removes the link, and only then closes the connection: a test that waits for
// that end knows the device has gone.
//   pty-relay DOSDEVICES   prints the TCP port it listens on, then serves until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBacklog = 64 * 1024;  // read no more from a side whose peer lags this far
constexpr std::size_t kMaxHello = 64;

struct TLine {
  int Sock = -1;
  int Master = -1;
  int Slave = -1;  // held open so the master never sees a hang-up while the port reopens
  bool Open = false;
  std::string Hello;
  fs::path Link, Target;
  std::string ToPty, ToSock;
};

void NonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// "com1" to "com256": Wine's names for the first 256 ports. Anything else is refused.
bool ValidName(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "com") != 0) return false;
  int number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    number = number * 10 + (name[i] - '0');
  }
  return number >= 1 && number <= 256 && name[3] != '0';
}

// Opens the pseudo-terminal and points the link at its slave; the answer line for the test.
std::string Plug(TLine& line, const fs::path& dir) {
  const std::string name = line.Hello;
  if (!ValidName(name)) return "fail bad name\n";
  termios raw{};
  ::cfmakeraw(&raw);
  ::cfsetispeed(&raw, B57600);
  ::cfsetospeed(&raw, B57600);
  raw.c_cflag |= CLOCAL | CREAD;
  char slaveName[PATH_MAX];
  if (::openpty(&line.Master, &line.Slave, slaveName, &raw, nullptr) != 0) return "fail openpty\n";
  NonBlocking(line.Master);
  ::fcntl(line.Slave, F_SETFD, FD_CLOEXEC);
  // A new link renamed over the old one, never over anything that is not a link.
  std::error_code ec;
  const fs::path link = dir / name;
  const auto st = fs::symlink_status(link, ec);
  if (fs::exists(st) && !fs::is_symlink(st)) return "fail not a link\n";
  const fs::path tmp = dir / ("." + name + ".relay" + std::to_string(::getpid()));
  fs::remove(tmp, ec);
  fs::create_symlink(slaveName, tmp, ec);
  if (!ec) fs::rename(tmp, link, ec);
  if (ec) {
    fs::remove(tmp, ec);
    return "fail link\n";
  }
  line.Link = link;
  line.Target = slaveName;
  line.Open = true;
  return "ok " + std::string(slaveName) + "\n";
}

// The hang-up: the pseudo-terminal goes, then the link (only our own: a later line may own it).
void Unplug(TLine& line) {
  if (line.Master >= 0) ::close(line.Master);
  if (line.Slave >= 0) ::close(line.Slave);
  line.Master = line.Slave = -1;
  std::error_code ec;
  if (!line.Link.empty() && fs::read_symlink(line.Link, ec) == line.Target && !ec) {
    fs::remove(line.Link, ec);
  }
  line.Link.clear();
}

// Writes what it can; false when the descriptor has failed.
bool Flush(int fd, std::string& pending, bool socket) {
  while (!pending.empty()) {
    const ssize_t n = socket ? ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL)
                             : ::write(fd, pending.data(), pending.size());
    if (n > 0) {
      pending.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return true;
}

// Handles the test's side; false when the test has closed it (or it failed).
bool FromTest(TLine& line, const fs::path& dir) {
  char buffer[4096];
  const ssize_t n = ::recv(line.Sock, buffer, sizeof buffer, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (line.Open) {
    line.ToPty.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  line.Hello.append(buffer, static_cast<std::size_t>(n));
  const std::size_t end = line.Hello.find('\n');
  if (end == std::string::npos) return line.Hello.size() <= kMaxHello;
  // Bytes after the name are already meant for the device.
  std::string rest = line.Hello.substr(end + 1);
  line.Hello.resize(end);
  line.ToSock = Plug(line, dir);
  if (!line.Open) {
    Flush(line.Sock, line.ToSock, true);  // the reason, then the end of the connection
    return false;
  }
  line.ToPty = std::move(rest);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !fs::is_directory(argv[1])) {
    std::fprintf(stderr, "usage: pty-relay DOSDEVICES\n");
    return 2;
  }
  const fs::path dir = argv[1];
  ::signal(SIGPIPE, SIG_IGN);
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("pty-relay");
    return 1;
  }
  NonBlocking(listener);
  std::printf("%u\n", ntohs(address.sin_port));
  std::fflush(stdout);

  std::list<TLine> lines;
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const TLine& line : lines) {
      short sock = line.ToPty.size() < kBacklog ? POLLIN : 0;
      if (!line.ToSock.empty()) sock |= POLLOUT;
      fds.push_back({line.Sock, sock, 0});
      short master = line.ToSock.size() < kBacklog ? POLLIN : 0;
      if (!line.ToPty.empty()) master |= POLLOUT;
      fds.push_back({line.Master, master, 0});  // -1 before the name: ignored by poll
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      std::perror("pty-relay");
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      const int sock = ::accept(listener, nullptr, nullptr);
      if (sock >= 0) {
        NonBlocking(sock);
        lines.emplace_back().Sock = sock;
      }
    }
    std::size_t i = 1;
    for (auto it = lines.begin(); it != lines.end() && i < fds.size(); i += 2) {
      TLine& line = *it;
      const short sock = fds[i].revents, master = fds[i + 1].revents;
      bool alive = true;
      if (sock & (POLLIN | POLLHUP | POLLERR)) alive = FromTest(line, dir);
      if (alive && line.Open && (master & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[4096];
        const ssize_t n = ::read(line.Master, buffer, sizeof buffer);
        if (n > 0) line.ToSock.append(buffer, static_cast<std::size_t>(n));
      }
      if (alive && line.Open) Flush(line.Master, line.ToPty, false);
      if (alive) alive = Flush(line.Sock, line.ToSock, true);
      if (alive) {
        ++it;
        continue;
      }
      Unplug(line);
      ::close(line.Sock);
      it = lines.erase(it);
    }
  }
}
