// Pseudo-terminals linked as LASER_COM_DIR/COMn, so that TComPort opens them by number.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPort.h"

struct TPty {
  TPty() {
    char name[256] = {};
    if (::openpty(&Master, &Slave, name, nullptr, nullptr) == 0) SlavePath = name;
  }
  ~TPty() {
    CloseMaster();
    if (Slave >= 0) ::close(Slave);
  }
  void CloseMaster() {
    if (Master >= 0) ::close(Master);
    Master = -1;
  }
  // On Linux the master reports the termios of the slave.
  termios Line() const {
    termios t{};
    ::tcgetattr(Master, &t);
    return t;
  }
  void Send(const std::string& bytes) const {
    ASSERT_EQ(::write(Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What arrives until `size` bytes have come; each chunk within a generous bound.
  std::string Receive(std::size_t size) const {
    std::string got;
    char buf[256];
    pollfd p{Master, POLLIN, 0};
    while (got.size() < size && ::poll(&p, 1, 5000) == 1) {
      const ssize_t n = ::read(Master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

  int Master = -1;
  int Slave = -1;  // held open, as a simulator would, so the line stays up between opens
  std::string SlavePath;
};

// The wake event of a receiving thread: readable while set.
struct TWake {
  TWake() : Fd(::eventfd(0, EFD_CLOEXEC)) {}
  ~TWake() { ::close(Fd); }
  void Set() const {
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(Fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
  bool IsSet() const {
    pollfd p{Fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }
  int Fd;
};

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/laser-com-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Dir = pattern;
    ::setenv("LASER_COM_DIR", Dir.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("LASER_COM_DIR");
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
  // A fresh pseudo-terminal behind COMn.
  TPty& Link(TPort port) {
    Ptys.push_back(std::make_unique<TPty>());
    TPty& pty = *Ptys.back();
    EXPECT_FALSE(pty.SlavePath.empty());
    std::filesystem::create_symlink(pty.SlavePath, Dir / ("COM" + std::to_string(port)));
    return pty;
  }

  std::filesystem::path Dir;
  std::vector<std::unique_ptr<TPty>> Ptys;
};
