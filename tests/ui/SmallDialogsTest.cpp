// The log window, the waiting box and the about box with their real controls.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "DialogTestUtil.h"
#include "tests/TempDir.h"
#include "ui/AboutFrm.h"
#include "ui/ConnectionLogFrm.h"
#include "ui/Waiting.h"

namespace {

// ------------------------------------------------------------------ log window

TEST(LogForm, ShowsACopyAndClearEmptiesTheLog) {
  std::vector<std::string> log = {"Connect COM5", "SN 1234", "Current 1: 10.00 A"};
  TLogForm form;
  EXPECT_EQ(form.windowTitle(), "Log information");
  for (int opening = 0; opening < 2; ++opening) {
    form.SetLog(log);
    EXPECT_EQ(form.LogMemo()->toPlainText(), "Connect COM5\nSN 1234\nCurrent 1: 10.00 A");
  }
  log.push_back("logged while open");
  EXPECT_EQ(form.LogMemo()->blockCount(), 3) << "a copy taken at opening";

  form.show();
  QTest::mouseClick(form.findChild<QPushButton*>("ClearLogs"), Qt::LeftButton);
  EXPECT_TRUE(form.LogMemo()->toPlainText().isEmpty());
  EXPECT_TRUE(log.empty()) << "the window's own log is emptied too";
  log.push_back("next detection");
  form.SetLog(log);
  EXPECT_EQ(form.LogMemo()->toPlainText(), "next detection");
  form.hide();
}

TEST(LogForm, CopyTakesTheSelection) {
  std::vector<std::string> log = {"alpha", "beta"};
  TLogForm form;
  form.SetLog(log);
  QApplication::clipboard()->setText("before");
  form.CopyToClipboardClick();
  EXPECT_EQ(QApplication::clipboard()->text(), "before") << "nothing selected, nothing copied";
  form.LogMemo()->selectAll();
  form.CopyToClipboardClick();
  EXPECT_EQ(QApplication::clipboard()->text(), "alpha\nbeta");
}

TEST(LogForm, EscAndCloseButtonClose) {
  std::vector<std::string> log = {"x"};
  TLogForm form;
  form.SetLog(log);
  form.show();
  QTest::keyClick(form.LogMemo(), Qt::Key_Escape);
  EXPECT_FALSE(form.isVisible());
  form.show();
  QTest::mouseClick(form.findChild<QPushButton*>("BitBtn2"), Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
}

TEST(LogForm, SaveWritesTheChosenEncoding) {
  const test::TTempDir temp("laser-log");
  const std::string dir = temp.String();
  // "Strom" with a-umlaut and the euro sign: the encodings differ in both.
  std::vector<std::string> log = {"Str\xC3\xB6m 10 \xE2\x82\xAC", "OK"};
#if defined(_WIN32)
  const std::string br = "\r\n";  // the system's line break
#else
  const std::string br = "\n";
#endif
  struct {
    const char* Encoding;
    std::string Bytes;
  } cases[] = {
      {"UTF-8", "Str\xC3\xB6m 10 \xE2\x82\xAC" + br + "OK" + br},
      {"ISO-8859-1", "Str\xF6m 10 ?" + br + "OK" + br},
      {"Windows-1252", "Str\xF6m 10 \x80" + br + "OK" + br},
  };
  TLogForm form;
  form.SetLog(log);
  form.show();
  int n = 0;
  for (const auto& c : cases) {
    const QString base = QString::fromStdString(dir) + "/log" + QString::number(n++);
    bool sawDialog = false;
    test::OnNextModal([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      if (!dialog) return;
      sawDialog = true;
      EXPECT_EQ(dialog->windowTitle(), "Save log as...");
      EXPECT_EQ(dialog->defaultSuffix(), "txt");
      auto* encoding = dialog->findChild<QComboBox*>("Encoding");
      ASSERT_NE(encoding, nullptr);
      encoding->setCurrentIndex(encoding->findText(c.Encoding));
      dialog->selectFile(base);                 // no suffix typed: the default one is added
      static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, which checks the name
    });
    form.SaveLogsClick();
    ASSERT_TRUE(sawDialog);
    QFile file(base + ".txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << c.Encoding;
    EXPECT_EQ(file.readAll().toStdString(), c.Bytes) << c.Encoding;
  }
  // A cancelled dialog writes nothing.
  test::OnNextModal([](QWidget* w) {
    if (auto* dialog = qobject_cast<QFileDialog*>(w)) dialog->reject();
  });
  form.SaveLogsClick();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);

  // A file that cannot be written: the operator is told, the log stays.
  test::TSeenMessage seen;
  test::DismissNextMessage(seen);
  EXPECT_FALSE(
      form.SaveToFile(QString::fromStdString(dir) + "/no/such/dir/log.txt", TTextEncoding::teUtf8));
  EXPECT_TRUE(seen.Seen);
  EXPECT_EQ(seen.Title, "Error");
  EXPECT_EQ(log.size(), 2u);
  form.hide();
}

// ------------------------------------------------------------------ waiting box

TEST(WaitingBox, TicksCountAndWrap) {
  TWaitingBox box;
  EXPECT_EQ(box.windowTitle(), "Waiting for processing");
  EXPECT_EQ(box.ProgressBar()->value(), 80) << "full before the first showing";
  box.ProgressBar()->setValue(0);
  box.Label1()->setText("Please wait");
  std::vector<QString> labels;
  for (int tick = 0; tick < 82; ++tick) {
    box.TimerTimer();
    labels.push_back(box.Label1()->text());
  }
  EXPECT_EQ(labels[0], "1");
  EXPECT_EQ(labels[1], "2");
  EXPECT_EQ(labels[79], "80");
  EXPECT_EQ(labels[80], "1") << "past the maximum it starts again";
  EXPECT_EQ(labels[81], "2");
}

TEST(WaitingBox, StopWaitingThenALateClose) {
  TWaitingBox box;
  int closed = 0;
  box.OnClosed = [&](TWaitingBox* b) {
    EXPECT_EQ(b, &box);
    EXPECT_FALSE(b->isVisible()) << "called after the box has closed";
    ++closed;
  };
  QString shownText;
  bool timerRan = false;
  test::OnNextModal([&](QWidget* w) {
    ASSERT_EQ(w, &box);
    shownText = box.Label1()->text();
    timerRan = box.Timer()->isActive();
    EXPECT_EQ(box.ProgressBar()->value(), 0);
    QTest::mouseClick(box.BitBtn1(), Qt::LeftButton);
  });
  box.ShowWithMessage("Please wait for laser reseting");  // returns once the box has closed
  EXPECT_EQ(shownText, "Please wait for laser reseting");
  EXPECT_TRUE(timerRan);
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(box.Timer()->isActive());
  EXPECT_EQ(box.ProgressBar()->value(), 80);

  box.Close();  // the laser's end event after "Stop Waiting"
  EXPECT_EQ(closed, 1);

  // Closed from outside while it runs, as the laser's end event does.
  test::OnNextModal([&](QWidget*) { box.Close(); });
  box.ShowWithMessage("Please wait for clearing laser error");
  EXPECT_EQ(closed, 2);
}

// ------------------------------------------------------------------ about box

class TUrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> Urls;
 public slots:
  void Open(const QUrl& url) { Urls << url; }
};

TEST(AboutBox, ShowsTheBuildAndOpensTheHomePage) {
  TAboutForm about;
  EXPECT_EQ(about.findChild<QLabel*>("ProductName")->text(), "Laser Control");
  EXPECT_EQ(about.findChild<QLabel*>("FileVersion")->text(), QString(LASER_TEST_VERSION));
  EXPECT_EQ(about.windowTitle(), "About Corvane Laser Control");
  EXPECT_EQ(about.size(), QSize(313, 160));
  auto* link = about.findChild<QLabel*>("Label4");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);

#if !defined(_WIN32)  // Windows: the shell opens it (ShellOpen), in a browser
  TUrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "Open");
  about.show();
  QTest::mouseClick(link, Qt::LeftButton);
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(catcher.Urls.size(), 1);
  EXPECT_EQ(catcher.Urls[0], QUrl(kMakerHomePage));
#endif

  test::OnNextModal(
      [&](QWidget*) { QTest::mouseClick(about.findChild<QPushButton*>("OKBtn"), Qt::LeftButton); });
  about.hide();
  EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(AboutBox, NamesTheSettingsFileInUse) {
#ifdef _WIN32
  // Linux paths and the home folder's "~"; on Qt's offscreen platform under Wine the text is also
  // measured wider than the real Windows platform draws it.
  GTEST_SKIP() << "Linux paths";
#endif
  TAboutForm about;
  auto* line = about.findChild<QLabel*>("SettingsFile");
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->isHidden()) << "nothing to name yet";
  const std::string path =
      "/home/operator/.config/Corvane/QNLaserControl/with a rather long folder name/"
      "QNLaserControl.ini";
  about.ShowSettingsFile(path);
  about.ShowSettingsFile(path);  // a second call grows the box no further
  EXPECT_FALSE(line->isHidden());
  EXPECT_EQ(line->toolTip().toStdString(), path);
  const QString text = line->text();
  EXPECT_TRUE(text.startsWith("Settings: /home/")) << text.toStdString();
  EXPECT_TRUE(text.endsWith("/QNLaserControl.ini")) << text.toStdString();
  EXPECT_TRUE(text.contains(QChar(0x2026))) << "elided in the middle: " << text.toStdString();
  EXPECT_LE(line->fontMetrics().horizontalAdvance(text), about.width());
  EXPECT_EQ(about.width(), 313);
  EXPECT_EQ(about.height(), 160 + line->sizeHint().height() + about.layout()->spacing());

  // The home folder is written "~"; a short path shows whole.
  about.ShowSettingsFile((QDir::homePath() + "/QNLaserControl.ini").toStdString());
  EXPECT_EQ(line->text(), "Settings: ~/QNLaserControl.ini");
  about.ShowSettingsFile("/opt/laser/QNLaserControl.ini");
  EXPECT_EQ(line->text(), "Settings: /opt/laser/QNLaserControl.ini");
}

}  // namespace

#include "SmallDialogsTest.moc"
