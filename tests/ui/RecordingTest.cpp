// The recorder from the operator's side: started from the File menu into a folder picked once,
// "REC" and the file in the status bar, every reported value in the file; AutoRecord following
// the ready connection; a folder that cannot be used said in a box, nothing recorded.
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <csignal>
#include <fstream>
#include <sstream>

#include "tests/ui/WindowRig.h"
#include "ui/ControlPanel.h"
#include "ui/Recording.h"
#include "ui/TrendWindow.h"

namespace {

class RecordingTest : public test::TWindowRig {
 protected:
  std::filesystem::path Folder() const { return std::filesystem::path(Dir.Path()) / "rec"; }
  QString StatusText() { return Form->findChild<QLabel*>("StatusRecording")->text(); }
  bool StatusShown() { return Form->findChild<QLabel*>("StatusRecording")->isVisible(); }
  static std::string Read(const std::filesystem::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> out;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // rows end in CR LF
      out.push_back(line);
    }
    return out;
  }
  static bool Has(const std::vector<std::string>& Lines, const std::string& Part) {
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const std::string& l) { return l.find(Part) != std::string::npos; });
  }
};

TEST_F(RecordingTest, TheOperatorRecordsASessionIntoAFolderPickedOnce) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TRecording& rec = Form->Recording();
  rec.ShowProblem = [](const QString& message) { ADD_FAILURE() << message.toStdString(); };
  EXPECT_FALSE(StatusShown());
  EXPECT_FALSE(rec.StopRecording->isEnabled());
  std::vector<std::filesystem::path> offered;
  rec.ChooseFolder = [&](const std::filesystem::path& current) {
    offered.push_back(current);
    return std::optional<std::filesystem::path>(Folder());
  };
  rec.StartRecording->trigger();
  ASSERT_TRUE(rec.Recording());
  const std::filesystem::path file = rec.Recorder().FileName();
  EXPECT_EQ(file.parent_path(), Folder());
  EXPECT_EQ(file.filename().string().rfind("laser-", 0), 0u) << file;
  EXPECT_TRUE(StatusShown());
  EXPECT_EQ(StatusText().toStdString(), "REC " + file.filename().string());
  EXPECT_FALSE(rec.StartRecording->isEnabled());

  Form->findChild<QLineEdit*>("Current1")->setText("12.50");
  Form->Panel().OkCurrentClick(1);
  Form->Laser().SetLaserOn(true);
  Form->Laser().ReadStatus();
  Form->Laser().ReadCurrent(1);
  // Both answers handed over to the window.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return Form->findChild<QLabel*>("StatusEmission")->text() == "LASER ON" &&
               Form->Panel().NormCurrent1->text() == "12.50";
      },
      test::kWindowBound));
  rec.StopRecording->trigger();
  EXPECT_FALSE(rec.Recording());
  EXPECT_FALSE(StatusShown());

  const std::vector<std::string> lines = Lines(Read(file));
  ASSERT_GE(lines.size(), 3u) << Read(file);
  EXPECT_EQ(lines[0], "time,elapsed_s,sn,branch,quantity,value,unit,text");
  EXPECT_TRUE(Has(lines, ",1,current,12.5")) << Read(file);
  EXPECT_TRUE(Has(lines, ",0,emission,1")) << Read(file);

  // The next recording offers the folder picked before, and the settings keep it.
  rec.StartRecording->trigger();
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[1], Folder());
  EXPECT_NE(rec.Recorder().FileName(), file) << "a new file at each start";
  Form.reset();
  const std::string ini = Read(Ini());
  EXPECT_NE(ini.find("[Recorder]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Folder=" + Folder().string()), std::string::npos) << ini;
}

TEST_F(RecordingTest, AutoRecordFollowsTheReadyConnection) {
  StartSim("qt2");
  StartWindow({"/PORT:1"}, "[General]\nAutoUpdate=0\n[Recorder]\nFolder=" + Folder().string() +
                               "\nAutoRecord=1\n");
  ASSERT_TRUE(WaitReady());
  TRecording& rec = Form->Recording();
  rec.ShowProblem = [](const QString& message) { ADD_FAILURE() << message.toStdString(); };
  ASSERT_TRUE(rec.Recording());
  const std::filesystem::path file = rec.Recorder().FileName();
  EXPECT_NE(file.filename().string().find("laser-"), std::string::npos);
  // The ready laser's status read has been answered and handed over.
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Form->findChild<QLabel*>("StatusEmission")->text() == "off"; },
                      test::kWindowBound));
  Form->findChild<QAction*>("ConnectLaser")->trigger();  // the operator disconnects
  ASSERT_TRUE(QTest::qWaitFor([&] { return !rec.Recording(); }, test::kWindowBound));
  const std::vector<std::string> lines = Lines(Read(file));
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(",connection,0"), std::string::npos) << Read(file);
  EXPECT_TRUE(Has(lines, ",emission,")) << "the ready laser's status read is recorded";
}

TEST_F(RecordingTest, AFolderThatCannotBeUsedIsSaidAndNothingRecords) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  std::ofstream(Folder()) << "a file where the folder should be";
  TRecording& rec = Form->Recording();
  std::vector<QString> problems;
  rec.ShowProblem = [&](const QString& message) { problems.push_back(message); };
  rec.ChooseFolder = [&](const std::filesystem::path&) {
    return std::optional<std::filesystem::path>(Folder() / "sub");
  };
  rec.StartRecording->trigger();
  EXPECT_FALSE(rec.Recording());
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_TRUE(problems[0].contains(QString::fromStdString(Folder().string())))
      << problems[0].toStdString();
  EXPECT_EQ(StatusText(), QStringLiteral("Not recording: ") + problems[0]);
  EXPECT_TRUE(rec.StartRecording->isEnabled());
  // Cancelling the folder dialog starts nothing and says nothing.
  rec.ChooseFolder = [](const std::filesystem::path&) {
    return std::optional<std::filesystem::path>();
  };
  rec.StartRecording->trigger();
  EXPECT_FALSE(rec.Recording());
  EXPECT_EQ(problems.size(), 1u);
}

#ifndef _WIN32
// A write that fails while recording (here the file-size limit, as a full disk would; Windows has
// no such limit to set): the recording stops, a box says why once the event that wrote is over, and
// the status bar keeps it.
TEST_F(RecordingTest, AWriteThatFailsStopsTheRecordingAndSaysWhy) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TRecording& rec = Form->Recording();
  std::vector<QString> problems;
  rec.ShowProblem = [&](const QString& message) { problems.push_back(message); };
  rec.ChooseFolder = [&](const std::filesystem::path&) {
    return std::optional<std::filesystem::path>(Folder());
  };
  rec.StartRecordingExecute();
  ASSERT_TRUE(rec.Recording());
  const std::filesystem::path file = rec.Recorder().FileName();
  Form->Laser().ReadCurrent(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.Recorder().Pending(); }, test::kWindowBound));

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = std::filesystem::file_size(file) + 5;  // not a whole row more
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  rec.Recorder().Flush();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(rec.Recording());
  EXPECT_TRUE(problems.empty()) << "not inside the event that wrote";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !problems.empty(); }, test::kWindowBound));
  EXPECT_TRUE(problems[0].startsWith("Recording stopped.")) << problems[0].toStdString();
  EXPECT_EQ(StatusText(), QStringLiteral("Not recording: ") + problems[0]);
  EXPECT_TRUE(rec.StartRecording->isEnabled());
  EXPECT_FALSE(rec.StopRecording->isEnabled());
  const std::vector<std::string> lines = Lines(Read(file));
  EXPECT_EQ(lines.size(), 1u) << "only whole rows: the header";
}
#endif

}  // namespace

namespace {

// The trend window shows the session's history whether or not a file is written, and writes
// what it shows as a picture and as CSV.
TEST_F(RecordingTest, TheTrendsShowTheSessionAndExportWhatIsShown) {
  StartSim("qt2");
  StartWindow();
  ASSERT_TRUE(WaitReady());
  TTrendWindow& trends = Form->ShowTrendsExecute();
  EXPECT_TRUE(trends.isVisible());
  EXPECT_FALSE(Form->Recording().Recording()) << "no file is needed for the plot";
  Form->Laser().ReadCurrent(1);
  Form->Laser().ReadFrequency(2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Laser().QueueCount() == 0; }, test::kWindowBound));
  const TTrendFrame frame = trends.Plot()->Frame();
  EXPECT_FALSE(frame.Lines.empty());
  EXPECT_FALSE(trends.Plot()->grab().isNull());

  QString error;
  const QString csv =
      QString::fromStdString((std::filesystem::path(Dir.Path()) / "shown.csv").string());
  ASSERT_TRUE(trends.ExportCsv(csv, error)) << error.toStdString();
  const std::string text = Read(csv.toStdString());
  EXPECT_NE(text.find(",1,current,10"), std::string::npos) << text;
  EXPECT_NE(text.find(",2,frequency,20000"), std::string::npos) << text;
  const QString png =
      QString::fromStdString((std::filesystem::path(Dir.Path()) / "shown.png").string());
  ASSERT_TRUE(trends.ExportPng(png, error)) << error.toStdString();
  EXPECT_EQ(Read(png.toStdString()).substr(1, 3), "PNG");
  EXPECT_FALSE(trends.ExportCsv(
      QString::fromStdString((std::filesystem::path(Dir.Path()) / "no" / "x.csv").string()),
      error));
  EXPECT_FALSE(error.isEmpty());

  // Paused, the plot stays where it is while values keep coming into the history.
  trends.findChild<QPushButton*>("Pause")->click();
  const double to = trends.Plot()->Frame().To;
  QTest::qWait(50);
  Form->Laser().ReadCurrent(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Laser().QueueCount() == 0; }, test::kWindowBound));
  EXPECT_EQ(trends.Plot()->Frame().To, to);
  trends.findChild<QPushButton*>("Pause")->click();
  EXPECT_GT(trends.Plot()->Frame().To, to);
}

}  // namespace
