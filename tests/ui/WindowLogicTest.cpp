// The Qt-free rules of the main window's frame: what the status bar says of the connection, where
// the window opens, and the signals that close it as its own Exit does.
#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <string>
#include <vector>

#include "logic/ExitSignals.h"
#include "logic/StatusText.h"
#include "logic/WindowPlacement.h"

namespace {

TEST(StatusText, TheConnectionIsSaidAsTheOperatorNeedsIt) {
  struct {
    const char* Name;
    TLinkFacts Facts;
    const char* Text;
  } cases[] = {
      {"never connected", {}, "Disconnected"},
      {"start-up open failed, no retry: what to do",
       {.Port = 3, .OpenFailed = true, .ConnectKey = "Ctrl+L"},
       "COM3 not available: connect with Ctrl+L"},
      {"no connect key", {.Port = 3, .OpenFailed = true}, "COM3 not available"},
      {"open failed, retrying",
       {.Port = 3, .OpenFailed = true, .Retrying = true},
       "Waiting for COM3"},
      {"device gone, retrying",
       {.Port = 12, .Retrying = true, .LastClose = TCloseCause::Lost},
       "Waiting for COM12"},
      {"device gone, no retry", {.LastClose = TCloseCause::Lost}, "Disconnected"},
      {"operator disconnected", {.LastClose = TCloseCause::Operator}, "Disconnected"},
      {"closed unanswered", {.LastClose = TCloseCause::NoReply}, "No reply"},
      {"closed unanswered, retrying",
       {.Retrying = true, .LastClose = TCloseCause::NoReply},
       "No reply"},
      {"port open, probing", {.Connected = true}, "Probing"},
      {"ready", {.Connected = true, .Ready = true}, "Ready"},
      {"ready, out of step",
       {.Connected = true, .Ready = true, .InStep = false},
       "Resynchronising"},
      {"open again after a failure", {.Connected = true, .OpenFailed = false}, "Probing"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConnectionStateText(c.Facts), c.Text) << c.Name;
}

TEST(StatusText, PortAndEmission) {
  EXPECT_EQ(PortFieldText(1, ""), "COM1");
  EXPECT_EQ(PortFieldText(33, "/dev/ttyUSB0"), "COM33 /dev/ttyUSB0");
  EXPECT_EQ(EmissionText(true), "LASER ON");
  EXPECT_EQ(EmissionText(false), "off");
  EXPECT_EQ(EmissionText(std::nullopt), "\u2013");
}

TEST(WindowPlacement, OpensWhollyOnAScreenThatIsThere) {
  const TScreenRect laptop{0, 0, 1280, 800};
  const TScreenRect right{1280, 0, 1920, 1080};
  const TScreenRect left{-1024, 200, 1024, 768};
  constexpr int big = std::numeric_limits<int>::max();
  constexpr int small = std::numeric_limits<int>::min();
  struct {
    const char* Name;
    TScreenRect Window;
    std::vector<TScreenRect> Screens;
    TWindowPos Pos;
  } cases[] = {
      {"inside: kept", {100, 50, 500, 300}, {laptop}, {100, 50}},
      {"at the very corner: kept", {780, 500, 500, 300}, {laptop}, {780, 500}},
      {"partly off the right edge", {1500 - 500, 100, 500, 300}, {laptop}, {780, 100}},
      {"Left=1500 on a 1280 screen", {1500, 100, 500, 300}, {laptop}, {780, 100}},
      {"Left=99999", {99999, 100, 500, 300}, {laptop}, {780, 100}},
      {"Left=$7FFFFFFF", {big, big, 500, 300}, {laptop}, {780, 500}},
      {"the most negative", {small, small, 500, 300}, {laptop}, {0, 0}},
      {"above the top", {100, -200, 500, 300}, {laptop}, {100, 0}},
      {"larger than the screen: its corner on it", {-50, -50, 1400, 900}, {laptop}, {0, 0}},
      {"wholly on the second screen: kept", {2000, 100, 500, 300}, {laptop, right}, {2000, 100}},
      {"second screen gone", {2000, 100, 500, 300}, {laptop}, {780, 100}},
      {"across two screens: onto the one showing more",
       {1100, 100, 500, 300},
       {laptop, right},
       {1280, 100}},
      {"off to the left: the nearest screen", {-3000, 300, 500, 300}, {laptop, left}, {-1024, 300}},
      {"no screen known: as stored", {1500, 100, 500, 300}, {}, {1500, 100}},
  };
  for (const auto& c : cases) EXPECT_EQ(PlaceWindow(c.Window, c.Screens), c.Pos) << c.Name;
}

#ifndef _WIN32
// Logout (SIGHUP), shutdown (SIGTERM) and Ctrl+C (SIGINT) each make the watched pipe readable;
// the process goes on, to close as its Exit does.
TEST(ExitSignals, EachEndOfSessionSignalIsCaught) {
  const int fd = InstallExitSignals();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(InstallExitSignals(), fd) << "installed once";
  DrainExitSignals(fd);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    ASSERT_EQ(std::raise(sig), 0);
    EXPECT_EQ(DrainExitSignals(fd), 1);
    EXPECT_EQ(DrainExitSignals(fd), 0) << "nothing left once read";
  }
}
#endif

}  // namespace
