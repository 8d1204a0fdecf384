#include "ui/Recording.h"

#include <QAction>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>
#include <QWidget>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "logic/recorder/RecorderSettings.h"

namespace {

QString FromPath(const std::filesystem::path& Path) {
  const std::u8string text = Path.u8string();
  return QString::fromUtf8(reinterpret_cast<const char*>(text.data()),
                           static_cast<qsizetype>(text.size()));
}

std::filesystem::path ToPath(const QString& Text) {
  const QByteArray utf8 = Text.toUtf8();
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.constData()),
                                             static_cast<std::size_t>(utf8.size())));
}

}  // namespace

TRecording::TRecording(TLaser& Laser, const TExplanationList& Explanations, QWidget* Owner)
    : QObject(Owner),
      FLaser(Laser),
      FExplanations(Explanations),
      FOwner(Owner),
      FTrend(FClock.Now()),
      FFeed(FClock, &FRecorder, &FTrend) {
  StartRecording = new QAction(QStringLiteral("Start recording..."), this);
  StartRecording->setObjectName(QStringLiteral("StartRecording"));
  StartRecording->setStatusTip(
      QStringLiteral("Record every value the laser reports to a CSV file"));
  StopRecording = new QAction(QStringLiteral("Stop recording"), this);
  StopRecording->setObjectName(QStringLiteral("StopRecording"));
  StopRecording->setStatusTip(QStringLiteral("Close the recording's file"));
  connect(StartRecording, &QAction::triggered, this, [this] { StartRecordingExecute(); });
  connect(StopRecording, &QAction::triggered, this, [this] { StopRecordingExecute(); });

  // The rows wait at most this long in memory: a killed program loses at most that much.
  FFlushTimer.setSingleShot(true);
  FFlushTimer.setInterval(TRecorder::FlushPeriodMs);
  connect(&FFlushTimer, &QTimer::timeout, this, [this] { FRecorder.Flush(); });
  FFeed.OnArmFlush = [this] {
    if (!FFlushTimer.isActive()) FFlushTimer.start();
  };
  FFeed.SetCommandList(&FLaser.CommandList());
  FRecorder.OnFailed = [this](const std::string& Message) { Failed(Message); };
  ChooseFolder =
      [this](const std::filesystem::path& Current) -> std::optional<std::filesystem::path> {
    const QString folder = QFileDialog::getExistingDirectory(
        FOwner, QStringLiteral("Record to the folder"), FromPath(Current));
    if (folder.isEmpty()) return std::nullopt;
    return ToPath(folder);
  };
  ShowProblem = [this](const QString& Message) {
    QMessageBox::warning(FOwner, QStringLiteral("Recording"), Message);
  };
  Changed();
}

TRecording::~TRecording() {
  FSubscriptions.Clear();
  FRecorder.OnFailed = nullptr;  // the last write at the end reports to nobody
}

void TRecording::Subscribe(TLaserEvents& Events) {
  // Each event into the feed, then the plot is told.
  const auto fed = [this](auto Feed) {
    return [this, Feed](auto... Arguments) {
      Feed(FFeed, Arguments...);
      if (OnData) OnData();
    };
  };
  FSubscriptions += Events.Connect.Subscribe(fed([](TValueFeed& f) { f.OnConnect(); }));
  FSubscriptions += Events.Disconnect.Subscribe(fed([](TValueFeed& f) { f.OnDisconnect(); }));
  FSubscriptions += Events.SN.Subscribe(fed([](TValueFeed& f, int SN) { f.OnSN(SN); }));
  FSubscriptions += Events.Current.Subscribe(
      fed([](TValueFeed& f, std::uint8_t Branch, double Value) { f.OnCurrent(Branch, Value); }));
  FSubscriptions += Events.MaxCurrent.Subscribe(
      fed([](TValueFeed& f, std::uint8_t Branch, double Value) { f.OnMaxCurrent(Branch, Value); }));
  FSubscriptions += Events.Frequency.Subscribe(
      fed([](TValueFeed& f, std::uint8_t Branch, double Value) { f.OnFrequency(Branch, Value); }));
  FSubscriptions +=
      Events.TriggerMode.Subscribe(fed([](TValueFeed& f, std::uint8_t Branch, TTriggerMode Mode) {
        f.OnTriggerMode(Branch, Mode);
      }));
  FSubscriptions +=
      Events.LaserON.Subscribe(fed([](TValueFeed& f, bool IsOn) { f.OnLaserON(IsOn); }));
  FSubscriptions += Events.RunningTime.Subscribe(
      fed([](TValueFeed& f, std::uint32_t Minutes) { f.OnRunningTime(Minutes); }));
  FSubscriptions += Events.LaserError.Subscribe(fed([this](TValueFeed& f, std::uint8_t Code) {
    const TErrorCodeExplanation* explanation = FExplanations.Find(Code);
    f.OnLaserError(Code, explanation ? std::string_view(explanation->Text) : "");
  }));
  FSubscriptions += Events.CommandReport.Subscribe(
      fed([](TValueFeed& f, TCommandOutcome Outcome, const std::string& Command) {
        f.OnCommandReport(Outcome, Command);
      }));
}

void TRecording::ReadSettings(const TIniFile& File) {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  FRead = ReadRecorderSettings(File, ToPath(documents));
  FRecorder.Settings() = FRead;
}

bool TRecording::StoreSettings(TIniFile& File) const {
  return StoreRecorderSettings(File, FRecorder.Settings(), FRead);
}

void TRecording::StartRecordingExecute() {
  const std::optional<std::filesystem::path> folder =
      ChooseFolder ? ChooseFolder(FRecorder.Settings().Folder) : std::nullopt;
  if (!folder) return;
  FRecorder.Settings().Folder = *folder;  // picked once: the next recording goes there too
  Start(false);
}

void TRecording::StopRecordingExecute() {
  FFlushTimer.stop();
  FRecorder.Stop();
  Changed();
}

bool TRecording::Start(bool Auto) {
  std::string error;
  const bool started = Auto ? FRecorder.LaserReady(FFeed.SN(), FClock.Now(), error)
                            : FRecorder.Start(FFeed.SN(), FClock.Now(), error);
  if (started) {
    FLastProblem.clear();
  } else if (!error.empty()) {
    FLastProblem = QString::fromStdString(error);
    if (ShowProblem) ShowProblem(FLastProblem);
  }
  Changed();
  return started;
}

void TRecording::LaserReady() {
  if (FRecorder.Settings().AutoRecord && !FRecorder.Recording()) Start(true);
}

void TRecording::LaserGone() {
  if (!FRecorder.AutoStarted()) return;
  FFlushTimer.stop();
  FRecorder.LaserGone();
  Changed();
}

void TRecording::Failed(const std::string& Message) {
  FFlushTimer.stop();
  FLastProblem = QString::fromStdString(Message);
  // Not from inside the event that wrote the row: the box runs an event loop of its own.
  QTimer::singleShot(0, this, [this, text = FLastProblem] {
    Changed();
    if (ShowProblem) ShowProblem(text);
  });
}

QString TRecording::StatusText() const {
  if (FRecorder.Recording()) {
    return QStringLiteral("REC ") + FromPath(FRecorder.FileName().filename());
  }
  // Why, too: the bar cuts it short where it must, the whole text is in the field's tooltip.
  return FLastProblem.isEmpty() ? QString() : QStringLiteral("Not recording: ") + FLastProblem;
}

void TRecording::Changed() {
  StartRecording->setEnabled(!FRecorder.Recording());
  StopRecording->setEnabled(FRecorder.Recording());
  if (OnChanged) OnChanged();
}
