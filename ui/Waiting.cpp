#include "ui/Waiting.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

TWaitingBox::TWaitingBox(QWidget* parent) : QDialog(parent) {
  setObjectName("WaitingBox");
  setWindowTitle("Waiting for processing");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  FLabel = new QLabel("Wait", this);
  FLabel->setObjectName("Label1");
  QFont font("Tahoma");
  font.setPointSize(12);
  FLabel->setFont(font);
  FLabel->setAlignment(Qt::AlignCenter);
  FLabel->setWordWrap(true);  // the longer messages take two lines in a wide font

  FProgress = new QProgressBar(this);
  FProgress->setObjectName("ProgressBar");
  FProgress->setRange(0, 80);
  FProgress->setValue(80);
  FProgress->setTextVisible(false);

  FTimer = new QTimer(this);
  FTimer->setObjectName("Timer");
  FTimer->setInterval(100);
  connect(FTimer, &QTimer::timeout, this, &TWaitingBox::TimerTimer);

  FStop = new QPushButton("Stop Waiting", this);
  FStop->setObjectName("BitBtn1");
  FStop->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
  FStop->setAutoDefault(false);
  connect(FStop, &QPushButton::clicked, this, &QDialog::reject);

  // The controller may take up to 19 s: Laser OFF must not wait for it.
  FLaserOff = new QPushButton("Laser OFF", this);
  FLaserOff->setObjectName("LaserOff");
  FLaserOff->setToolTip("Turn Laser OFF");
  FLaserOff->setAutoDefault(false);
  QFont bold = FLaserOff->font();
  bold.setBold(true);
  FLaserOff->setFont(bold);
  connect(FLaserOff, &QPushButton::clicked, this, [this] {
    if (OnLaserOff) OnLaserOff();
  });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FLaserOff);
  buttons->addWidget(FStop);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 6, 10, 8);
  layout->setSpacing(6);
  layout->addWidget(FLabel);
  layout->addWidget(FProgress);
  layout->addLayout(buttons);
  setFixedSize(291, 124);
}

void TWaitingBox::ShowWithMessage(const QString& msg) {
  if (isVisible()) {  // a second phase while the first box is up: show its message, no new loop
    FLabel->setText(msg);
    return;
  }
  FProgress->setValue(FProgress->minimum());
  FLabel->setText(msg);
  FTimer->start();
  exec();
}

void TWaitingBox::Close() {
  if (isVisible()) reject();
}

void TWaitingBox::TimerTimer() {
  // Past the maximum the indicator starts again from the beginning, as a stepping bar does.
  const int min = FProgress->minimum();
  const int max = FProgress->maximum();
  int next = FProgress->value() + 1;
  if (next > max) next = (next - min) % (max - min) + min;
  FProgress->setValue(next);
  FLabel->setText(QString::number(next));
}

void TWaitingBox::done(int result) {
  QDialog::done(result);
  FormClose();
}

void TWaitingBox::FormClose() {
  FTimer->stop();
  FProgress->setValue(FProgress->maximum());
  if (OnClosed) OnClosed(this);
}
