// The fixture of the main-window tests: a simulated laser on COM1 of a temporary folder, and the
// real main window started on it with a settings file of the test's choosing.
#pragma once

#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/laser/Harness.h"
#include "tests/laser/SimHarness.h"
#include "ui/MainForm.h"

namespace test {

inline constexpr int kWindowBound = 15000;  // catches hangs only

class TWindowRig : public ::testing::Test {
 protected:
  void TearDown() override {
    Form.reset();
    Sim.reset();
  }

  void StartSim(sim::Options options = {}) {
    if (options.model.empty()) options.model = "qt2";
    Sim = std::make_unique<sim::SimServer>(options);
    ASSERT_TRUE(Sim->Start(Dir.Entry(1)));
  }
  void StartSim(const std::string& model) {
    sim::Options options;
    options.model = model;
    StartSim(options);
  }

  // A COM number with no device behind it, and no serial port of this machine either: on Linux a
  // dangling COMn link (removed again by DropNoDevice); under Wine a number that neither Wine nor
  // the relay maps (Wine gives the low ones to the machine's /dev/ttyS*).
  int NoDevice(int Port) {
#ifdef _WIN32
    (void)Port;
    return 256;
#else
    std::filesystem::create_symlink(Dir.Path() + "/gone", Dir.Entry(Port));
    return Port;
#endif
  }
  void DropNoDevice(int Port) {
#ifndef _WIN32
    std::filesystem::remove(Dir.Entry(Port));
#else
    (void)Port;
#endif
  }
  static std::string PortParam(int Port) {
    return "/PORT:" + std::to_string(Port);
  }

  std::filesystem::path Ini() const {
    return std::filesystem::path(Dir.Path()) / "QNLaserControl.ini";
  }

  // The settings file's text after the window is gone (its exit step has run).
  std::string IniAfterExit() {
    Form.reset();
    std::ifstream in(Ini());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // No periodic refresh by default: the tests count every command the simulator receives.
  void StartWindow(std::vector<std::string> params = {"/PORT:1"},
                   const std::string& settings = "[General]\nAutoUpdate=0\n") {
    {
      std::ofstream out(Ini());
      out << settings;
    }
    Form = std::make_unique<TQNLaserControlMainForm>();
    TQNLaserControlMainForm::TStartup startup;
    startup.SettingsFile = Ini();
    startup.ExeFolder = Dir.Path();
    startup.Params = std::move(params);
    Form->FormCreate(startup);
    Form->CreateDialogs();
    Form->show();
    Form->FormShow();
  }

  bool WaitReady() {
    return QTest::qWaitFor([&] { return Form->Detection().LaserReady(); }, kWindowBound) &&
           QTest::qWaitFor([&] { return Form->Laser().QueueCount() == 0; }, kWindowBound);
  }

  // Commands the simulator received from position From on.
  std::vector<std::string> CommandsFrom(std::size_t From) const {
    std::vector<std::string> out;
    const auto all = Sim->Commands();
    for (std::size_t i = From; i < all.size(); ++i) out.push_back(all[i].text);
    return out;
  }
  // Runs Act, then a marker read (r60); returns what the simulator received before the marker.
  std::vector<std::string> Exchange(const std::function<void()>& Act) {
    const std::size_t from = Sim->Commands().size();
    Act();
    Form->Laser().ReadStatus();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          const auto got = CommandsFrom(from);
          return !got.empty() && got.back() == "r60" && Form->Laser().QueueCount() == 0;
        },
        kWindowBound));
    QTest::qWait(0);
    auto got = CommandsFrom(from);
    if (!got.empty()) got.pop_back();
    return got;
  }

  TComDir Dir;
  std::unique_ptr<sim::SimServer> Sim;
  std::unique_ptr<TQNLaserControlMainForm> Form;
};

}  // namespace test
