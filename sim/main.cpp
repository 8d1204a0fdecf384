// laser-sim: a simulated laser controller on a pseudo-terminal, linked where the program looks
// for its COM ports.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "sim/Cli.h"
#include "sim/SimServer.h"

namespace {

void Say(const std::string& text) {
  std::fprintf(stdout, "%s\n", text.c_str());
  std::fflush(stdout);
}

void Complain(const std::string& text) {
  std::fprintf(stderr, "laser-sim: %s\n", text.c_str());
}

void Control(sim::SimServer& server, std::string_view line) {
  auto parsed = sim::ParseControlLine(line);
  if (auto* why = std::get_if<std::string>(&parsed)) {
    Complain(*why);
    return;
  }
  const auto& c = std::get<sim::ControlCommand>(parsed);
  using K = sim::ControlCommand::Kind;
  switch (c.kind) {
    case K::None:
      return;
    case K::Error:
      server.WithDevice([&](sim::Device& d) {
        if (c.detail >= 0) d.SetErrorDetail(c.value, c.detail);
      });
      server.RaiseError(c.value);
      Say("laser-sim: error " + std::to_string(c.value) + " raised");
      return;
    case K::Clear:
      server.ClearErrorCode(c.value);
      Say("laser-sim: error " + std::to_string(c.value) + " cleared");
      return;
    case K::Unplug:
      server.Unplug();
      Say("laser-sim: unplugged");
      return;
    case K::Replug:
      if (server.Replug()) {
        Say("laser-sim: replugged on " + server.SlavePath());
      } else {
        Complain("replug failed: " + std::string(std::strerror(errno)));
      }
      return;
    case K::SN:
      server.SetSN(c.value);
      Say("laser-sim: S/N " + std::to_string(c.value));
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* why = std::get_if<std::string>(&parsed)) {
    Complain(*why);
    std::fprintf(stderr, "Try 'laser-sim --help'.\n");
    return 2;
  }
  const auto& config = std::get<sim::CliConfig>(parsed);
  if (config.help) {
    std::fputs(sim::HelpText().c_str(), stdout);
    return 0;
  }

  // Signals arrive through a descriptor; blocked before the server thread starts, which
  // inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  std::FILE* log = nullptr;
  if (!config.log.empty()) {
    log = std::fopen(config.log.c_str(), "we");
    if (!log) {
      Complain("cannot write the log '" + config.log + "': " + std::strerror(errno));
      return 2;
    }
  }

  int control = -1;
  bool madeFifo = false;
  if (!config.control.empty()) {
    struct stat st {};
    if (::stat(config.control.c_str(), &st) != 0) {
      madeFifo = ::mkfifo(config.control.c_str(), 0600) == 0;
      if (!madeFifo) {
        Complain("cannot make the FIFO '" + config.control + "': " + std::strerror(errno));
        return 2;
      }
    } else if (!S_ISFIFO(st.st_mode)) {
      Complain("'" + config.control + "' is not a FIFO");
      return 2;
    }
    // Read and write: the FIFO then never reports end of file when a writer goes away.
    control = ::open(config.control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control < 0) {
      Complain("cannot open the FIFO '" + config.control + "': " + std::strerror(errno));
      return 2;
    }
  }

  int status = 0;
  {
    sim::SimServer server(config.options);
    if (log) {
      server.SetOnCommand([log](const sim::Received& r) {
        char ms[32];
        auto end = std::to_chars(ms, ms + sizeof ms, r.ms, std::chars_format::fixed, 1).ptr;
        std::fprintf(log, "%.*s\t%s\n", static_cast<int>(end - ms), ms, r.text.c_str());
        std::fflush(log);
      });
    }
    server.SetOnAutoUnplug([n = config.options.unplugAfter] {
      Say("laser-sim: line closed after " + std::to_string(n) + " commands");
    });
    errno = 0;
    if (!server.Start(config.link)) {
      Complain("cannot serve on '" + config.link + "'" +
               (errno ? std::string(": ") + std::strerror(errno)
                      : std::string(" (a file that is not a symbolic link is never replaced)")));
      status = 1;
    } else {
      Say(server.SlavePath());
      Say("laser-sim: " + sim::Summary(config.options) + ", link " + config.link + " -> " +
          server.SlavePath());

      std::string pending;
      for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {control, POLLIN, 0}};
        if (::poll(fds, control >= 0 ? 2 : 1, -1) < 0) {
          if (errno == EINTR) continue;
          break;
        }
        if (fds[0].revents & POLLIN) break;
        if (control >= 0 && (fds[1].revents & POLLIN)) {
          char buf[512];
          ssize_t n;
          while ((n = ::read(control, buf, sizeof buf)) > 0) pending.append(buf, n);
          for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            Control(server, std::string_view(pending).substr(0, nl));
            pending.erase(0, nl + 1);
          }
        }
      }
    }
  }  // the server removes its link here
  if (control >= 0) ::close(control);
  if (madeFifo) ::unlink(config.control.c_str());
  if (log) std::fclose(log);
  return status;
}
