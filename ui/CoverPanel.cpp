#include "ui/CoverPanel.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <algorithm>

#include "ui/Pictures.h"

TCoverPanel::TCoverPanel(QWidget* Area, int ClientTop) : QFrame(Area), FClientTop(ClientTop) {
  setObjectName(QStringLiteral("Panel1"));
  setProperty("Tag", Tag);
  setFrameShape(QFrame::NoFrame);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);  // a plain rectangle in the button-face colour
  setGeometry(0, Tag - FClientTop, Area->width(), PanelHeight);
  // While it covers the controls it takes the keyboard focus, so that nothing typed goes into
  // a field the operator cannot see (and no caret blinks under it).
  setFocusPolicy(Qt::ClickFocus);

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setGeometry(8, 2, 193, 195);
  SetPicture(Image1, QStringLiteral("cover"));

  Caption = new QLabel(QStringLiteral("Laser Disconnected"), this);
  Caption->setObjectName(QStringLiteral("Label2"));
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(37);
  Caption->setFont(font);
  // Through a style sheet: the client area's style sheet would override a palette colour.
  Caption->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
  Caption->setAlignment(Qt::AlignCenter);
  Caption->setWordWrap(true);
  Caption->setGeometry(205, 22, width() - 213, 110);

  QNLogo = new QLabel(this);
  QNLogo->setObjectName(QStringLiteral("QNLogo"));
  QNLogo->setGeometry(width() - 300 - 8, 148, 300, 37);
  SetPicture(QNLogo, QStringLiteral("logo"));

  FTimer.setInterval(StepMs);
  connect(&FTimer, &QTimer::timeout, this, [this] { Tick(); });
}

void TCoverPanel::Fit(QSize Area) {
  resize(Area);
  if (!FTimer.isActive()) SetClientTop(FDown ? Tag + height() + 1 : Tag);
}

void TCoverPanel::resizeEvent(QResizeEvent* Event) {
  QFrame::resizeEvent(Event);
  // The caption fills the space right of the picture, the logo keeps to the lower right.
  Caption->setGeometry(205, 22, std::max(0, width() - 213), std::max(110, height() - 88));
  QNLogo->move(std::max(205, width() - 300 - 8), std::max(148, height() - 50));
}

void TCoverPanel::PlaceAtHome() {
  FTimer.stop();
  FDown = false;
  SetClientTop(Tag);
  raise();
  setFocus();
}

void TCoverPanel::SlideUp() {
  FDown = false;
  raise();
  setFocus();
  if (ClientTopPos() != Tag) {
    FTimer.start();
  } else {
    FTimer.stop();
  }
}

void TCoverPanel::SlideDown() {
  FDown = true;
  if (ClientTopPos() != Tag + height() + 1) {
    FTimer.start();
  } else {
    FTimer.stop();
  }
}

void TCoverPanel::Tick() {
  const int top = ClientTopPos();
  if (FDown) {
    if (top < Tag + height() - Step) {
      SetClientTop(top + Step);
      return;
    }
    SetClientTop(Tag + height() + 1);
  } else {
    if (top > Tag + Step) {
      SetClientTop(top - Step);
      return;
    }
    SetClientTop(Tag);
  }
  FTimer.stop();
}
