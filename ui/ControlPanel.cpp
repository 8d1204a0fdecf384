#include "ui/ControlPanel.h"

#include <QAction>
#include <QEvent>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QSpinBox>
#include <QToolButton>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "laser/PackedCurrent.h"
#include "laser/QNLaser.h"
#include "laser/Text.h"
#include "logic/Detection.h"
#include "logic/Settings.h"
#include "ui/Application.h"
#include "ui/Pictures.h"
#include "ui/ValueLabel.h"

// ---------------------------------------------------------------- numbers

double StrToFloat(const std::string& Text) {
  const std::optional<double> value = ParseDecimal(Text);
  if (!value) throw std::invalid_argument("'" + Text + "' is not a valid floating point value");
  return *value;
}

std::string FormatFloat2(double Value) {
  return text::Fixed2(Value);
}

QString QtInputMask(const std::string& EditMask) {
  // Fields: the mask, whether literals are saved (the displayed text always holds them, and
  // the displayed text is what we read), and the blank character.
  const std::size_t semi = EditMask.find(';');
  const std::string mask = EditMask.substr(0, semi);
  char blankChar = '_';
  if (semi != std::string::npos) {
    const std::size_t semi2 = EditMask.find(';', semi + 1);
    if (semi2 != std::string::npos && semi2 + 1 < EditMask.size()) blankChar = EditMask[semi2 + 1];
  }
  static const QString qtMeta = QStringLiteral("AaNnXx90Dd#HhBb><!\\[]{}");
  QString out;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const char c = mask[i];
    switch (c) {
      case '9':
        out += '0';
        break;  // optional digit
      case '0':
        out += '9';
        break;  // required digit
      case '#':
        out += '#';
        break;  // optional digit or sign
      case 'L':
        out += 'A';
        break;  // required letter
      case 'l':
        out += 'a';
        break;
      case 'A':
        out += 'N';
        break;  // required letter or digit
      case 'a':
        out += 'n';
        break;
      case 'C':
        out += 'X';
        break;  // required character
      case 'c':
        out += 'x';
        break;
      case '>':
      case '<':
      case '!':
        out += QChar(c);
        break;
      case '_':
        out += ' ';
        break;  // a blank in the text
      case '\\':
        if (i + 1 < mask.size()) {
          const QChar next = QChar(mask[++i]);
          if (qtMeta.contains(next)) out += '\\';
          out += next;
        }
        break;
      default: {
        const QChar literal = QChar(c);  // "." and ":" and "/" in the "C" locale
        if (qtMeta.contains(literal)) out += '\\';
        out += literal;
      }
    }
  }
  out += ';';
  out += QChar(blankChar);
  return out;
}

// ---------------------------------------------------------------- construction

namespace {

const char* const FrequencyHint =
    "Set the trigger frequency%1. For Laser with first pusle killer, \n\ryou must set this value "
    "correctly even at external trigger mode.\r\n\r\nPress Enter key to set this value directly.";

QLabel* NewLabel(QWidget* Parent, const char* Name, const QString& Text) {
  auto* label = new QLabel(Text, Parent);
  label->setObjectName(QString::fromLatin1(Name));
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

// A reported value: bold, as large as its place allows, and never cut (Widest: what the laser
// can report at the most).
QLabel* NewValue(QWidget* Parent, const char* Name, const QStringList& Widest,
                 Qt::Alignment Align) {
  auto* label = new TValueLabel(Parent, Widest, true);
  label->setObjectName(QString::fromLatin1(Name));
  label->setAlignment(Align);
  return label;
}

QStringList FrequencyTexts() {
  return {QStringLiteral("200000.00"), QStringLiteral("188888.88")};
}

QStringList CurrentTexts() {
  return {QStringLiteral("999.99"), QStringLiteral("888.88")};
}

QStringList ModeTexts() {
  QStringList names;
  for (const char* name : TriggerModeNames) names << QString::fromLatin1(name);
  return names;
}

template <typename T>
T* Named(T* Widget, const char* Name) {
  Widget->setObjectName(QString::fromLatin1(Name));
  return Widget;
}

int TextHeight(const QWidget* Widget) {
  return Widget->fontMetrics().height();
}

QToolButton* NewButton(QWidget* Parent, const char* Name, const QString& Text, const QString& Hint,
                       QSize Minimum = {65, 17}) {
  auto* button = new QToolButton(Parent);
  button->setObjectName(QString::fromLatin1(Name));
  button->setText(Text);
  button->setToolTip(Hint);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  // The design's size is the least; the layout lets it grow with the window.
  button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  button->setMinimumSize(Minimum.width(),
                         std::max(Minimum.height(), button->fontMetrics().height() + 4));
  return button;
}

// A flat button with the "set" glyph.
QToolButton* NewOkButton(QWidget* Parent, const char* Name, const QString& Hint) {
  auto* button = NewButton(Parent, Name, QString(), Hint, QSize(20, 21));
  button->setAutoRaise(true);
  button->setIcon(SvgIcon(QStringLiteral("ok")));
  button->setIconSize(QSize(16, 16));
  button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return button;
}

void SetTag(QObject* Object, int Tag) {
  Object->setProperty("Tag", Tag);
}

// The least sizes of the design: the trigger group's three columns of 65 pixels 7 apart, the
// current group's value columns of 46.
constexpr int TriggerColumnWidth = 65;
constexpr int TriggerColumnGap = 4;
constexpr int CurrentValueWidth = 46;
constexpr int MaxButtonHeight = 36;
const QMargins GroupMargins(4, 4, 4, 3);

}  // namespace

TControlPanel::TControlPanel(TLaser& Laser, const TOptions& Options, QWidget* Area)
    : QObject(Area), FLaser(Laser), FOptions(Options) {
  setObjectName(QStringLiteral("ControlPanel"));
  SetInternal =
      NewAction("SetInternal", QStringLiteral("Internal"), QStringLiteral("Set Internal Trigger"));
  SetExternal =
      NewAction("SetExternal", QStringLiteral("External"), QStringLiteral("Set External Trigger"));
  SetCW = NewAction("SetCW", QStringLiteral("CW"), QStringLiteral("Set CW mode"));
  SetLaserOn = NewAction("SetLaserOn", QStringLiteral("Laser ON"), QStringLiteral("Turn Laser ON"));
  SetLaserOff =
      NewAction("SetLaserOff", QStringLiteral("Laser OFF"), QStringLiteral("Turn Laser OFF"));
  SetCurrentZero = NewAction("SetCurrentZero", QStringLiteral("SetCurrentZero"), QString());
  for (int n = 1; n <= 9; ++n) {
    const std::string name = "SetCurrent" + std::to_string(n);
    SetCurrentN[n - 1] = NewAction(name.c_str(), QString::fromStdString(name), QString());
    SetCurrentN[n - 1]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + n)));
    SetTag(SetCurrentN[n - 1], n);
    connect(SetCurrentN[n - 1], &QAction::triggered, this,
            Guard([this, n](bool) { SetPresetCurrent(n); }));
  }
  SetTag(SetCurrentZero, 0);
  connect(SetInternal, &QAction::triggered, this, Guard([this](bool) { SetInternalExecute(); }));
  connect(SetExternal, &QAction::triggered, this, Guard([this](bool) { SetExternalExecute(); }));
  connect(SetCW, &QAction::triggered, this, Guard([this](bool) { SetCWExecute(); }));
  connect(SetLaserOn, &QAction::triggered, this, Guard([this](bool) { SetLaserOnExecute(); }));
  connect(SetLaserOff, &QAction::triggered, this, Guard([this](bool) { SetLaserOffExecute(); }));
  connect(SetCurrentZero, &QAction::triggered, this, Guard([this](bool) { SetPresetCurrent(0); }));

  CreateTriggerGroup(Area);
  CreateCurrentGroup(Area);
  CreateLaserSwitch(Area);
  LaserActionUpdate();
}

QAction* TControlPanel::NewAction(const char* Name, const QString& Caption, const QString& Hint) {
  auto* action = new QAction(Caption, this);
  action->setObjectName(QString::fromLatin1(Name));
  action->setToolTip(Hint.isEmpty() ? Caption : Hint);
  action->setStatusTip(Hint);
  return action;
}

void TControlPanel::CreateTriggerGroup(QWidget* Area) {
  TriggerGroup = new QGroupBox(QStringLiteral(" Trigger "), Area);
  TriggerGroup->setObjectName(QStringLiteral("TriggerGroup"));
  QWidget* g = TriggerGroup;
  const auto center = Qt::AlignHCenter | Qt::AlignVCenter;
  const auto right = Qt::AlignRight | Qt::AlignVCenter;

  LabelBranches2 =
      Named(new THeadingLabel(QStringLiteral("Laser 1            Laser 2"), g), "LabelBranches2");
  Label6 = NewLabel(g, "Label6", QStringLiteral("Mode:"));
  TriggerMode1 = NewValue(g, "TriggerMode1", ModeTexts(), center);
  TriggerMode2 = NewValue(g, "TriggerMode2", ModeTexts(), center);
  Label1 = NewLabel(g, "Label1", QStringLiteral("Frequency(Hz):"));
  ActFrequency1 = NewValue(g, "ActFrequency1", FrequencyTexts(), right);
  ActFrequency2 = NewValue(g, "ActFrequency2", FrequencyTexts(), right);

  const auto newSpin = [g](const char* name, int tag) {
    auto* spin = new QSpinBox(g);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setRange(0, 200000);
    spin->setSingleStep(100);
    spin->setValue(0);
    // Never narrower than its largest value: "200000" must show whole at every scale.
    spin->setMinimumWidth(std::max(65, spin->minimumSizeHint().width()));
    SetTag(spin, tag);
    return spin;
  };
  Frequency = newSpin("Frequency", 1);
  Frequency2 = newSpin("Frequency2", 2);
  Frequency->installEventFilter(this);
  Frequency2->installEventFilter(this);

  OkFrequency = NewOkButton(g, "OkFrequency", QStringLiteral("Set frequency"));
  SetTag(OkFrequency, 0);
  connect(OkFrequency, &QToolButton::clicked, this, Guard([this](bool) { OkFrequencyClick(0); }));

  InternTrig = NewButton(g, "InternTrig", QString(), QString());
  InternTrig->setDefaultAction(SetInternal);
  ExternTrig = NewButton(g, "ExternTrig", QStringLiteral("External"),
                         QStringLiteral("Set External Trigger"));
  ExternTrig2 = NewButton(g, "ExternTrig2", QStringLiteral("External"),
                          QStringLiteral("Set External Trigger"));
  CW = NewButton(g, "CW", QStringLiteral("CW"), QStringLiteral("Set CW mode"));
  CW2 = NewButton(g, "CW2", QStringLiteral("CW"), QStringLiteral("Set CW mode for Laser 2"));
  SetTag(ExternTrig, 1);
  SetTag(ExternTrig2, 2);
  SetTag(CW, 1);
  SetTag(CW2, 2);
  // A button bound to its action runs the action; released, it acts on its own branch.
  connect(ExternTrig, &QToolButton::clicked, this, Guard([this](bool) {
            if (!ExternTrig->defaultAction()) ExternTrigClick(1);
          }));
  connect(ExternTrig2, &QToolButton::clicked, this, Guard([this](bool) { ExternTrigClick(2); }));
  connect(CW, &QToolButton::clicked, this, Guard([this](bool) {
            if (!CW->defaultAction()) CWClick(1);
          }));
  connect(CW2, &QToolButton::clicked, this, Guard([this](bool) { CWClick(2); }));
  for (QWidget* hidden :
       {static_cast<QWidget*>(LabelBranches2), static_cast<QWidget*>(ActFrequency2),
        static_cast<QWidget*>(TriggerMode2), static_cast<QWidget*>(ExternTrig2),
        static_cast<QWidget*>(CW2), static_cast<QWidget*>(Frequency2)}) {
    hidden->hide();
  }
  Frequency->setToolTip(QString::fromLatin1(FrequencyHint).arg(QString()));
  auto* grid = new QGridLayout(TriggerGroup);
  grid->setContentsMargins(GroupMargins);
  grid->setHorizontalSpacing(TriggerColumnGap);
  grid->setVerticalSpacing(1);
  ArrangeTriggerGrid(0);
}

void TControlPanel::CreateCurrentGroup(QWidget* Area) {
  CurrentGroup = new QGroupBox(QStringLiteral(" Current "), Area);
  CurrentGroup->setObjectName(QStringLiteral("CurrentGroup"));
  QWidget* g = CurrentGroup;
  const auto right = Qt::AlignRight | Qt::AlignVCenter;

  LabelBranches = Named(new THeadingLabel(QStringLiteral("Laser 1   Laser 2"), g), "LabelBranches");
  LabelNorminal = NewLabel(g, "LabelNorminal", QStringLiteral("Nominal:"));
  Actual = NewLabel(g, "Actual", QStringLiteral("Actual:"));
  Label8 = NewLabel(g, "Label8", QStringLiteral("Max:"));
  NormCurrent1 = NewValue(g, "NormCurrent1", CurrentTexts(), right);
  NormCurrent2 = NewValue(g, "NormCurrent2", CurrentTexts(), right);
  ActCurrent1 = NewValue(g, "ActCurrent1", CurrentTexts(), right);
  ActCurrent2 = NewValue(g, "ActCurrent2", CurrentTexts(), right);
  MaxCurrent1 = NewValue(g, "MaxCurrent1", CurrentTexts(), right);
  MaxCurrent2 = NewValue(g, "MaxCurrent2", CurrentTexts(), right);
  // The unit beside each value, as large as its value and never larger.
  const auto unit = [g](const char* name, QLabel* value) {
    auto* label = new TValueLabel(g, {QStringLiteral("A")}, false);
    label->setObjectName(QString::fromLatin1(name));
    label->setText(QStringLiteral("A"));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->SetLeader(static_cast<TValueLabel*>(value));
    return label;
  };
  Label7 = unit("Label7", NormCurrent1);
  Label17 = unit("Label17", ActCurrent1);
  Label10 = unit("Label10", MaxCurrent1);
  Label18 = unit("Label18", NormCurrent2);
  Label19 = unit("Label19", ActCurrent2);
  Label22 = unit("Label22", MaxCurrent2);

  const auto newEdit = [this, g](const char* name, int tag) {
    auto* edit = new QLineEdit(g);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setInputMask(QtInputMask("99.99;1;0"));
    edit->setText(QStringLiteral("20.00"));
    edit->setAlignment(Qt::AlignRight);
    SetTag(edit, tag);
    edit->installEventFilter(this);
    return edit;
  };
  Current1 = newEdit("Current1", 1);
  Current2 = newEdit("Current2", 2);
  Current2->setToolTip(QStringLiteral("The Current for Laser 2"));
  OkCurrent1 = NewOkButton(g, "OkCurrent1", QString());
  OkCurrent2 = NewOkButton(g, "OkCurrent2", QStringLiteral("Set current for Laser 2"));
  SetTag(OkCurrent1, 1);
  SetTag(OkCurrent2, 2);
  connect(OkCurrent1, &QToolButton::clicked, this, Guard([this](bool) { OkCurrentClick(1); }));
  connect(OkCurrent2, &QToolButton::clicked, this, Guard([this](bool) { OkCurrentClick(2); }));
  LinkCurrents = NewButton(g, "LinkCurrents", QStringLiteral("Sync"),
                           QStringLiteral("Set current for both branchs with the same value"));
  LinkCurrents->setCheckable(true);
  connect(LinkCurrents, &QToolButton::clicked, this, Guard([this](bool) { LinkCurrentsClick(); }));
  auto* grid = new QGridLayout(CurrentGroup);
  grid->setContentsMargins(GroupMargins);
  grid->setHorizontalSpacing(1);
  grid->setVerticalSpacing(1);
  SizeCurrentEntries();
  PlaceCurrentControls();
}

void TControlPanel::CreateLaserSwitch(QWidget* Area) {
  const auto sign = [Area](const char* name, const char* picture, const QString& hint) {
    auto* label = new TPictureLabel(Area, QString::fromLatin1(picture), QSize(62, 55));
    label->setObjectName(QString::fromLatin1(name));
    label->setToolTip(hint);
    return label;
  };
  LaserWarnOn = sign("LaserWarnOn", "laser-warn-on", QStringLiteral("Laser ON"));
  LaserWarnOff = sign("LaserWarnOff", "laser-warn-off", QStringLiteral("Laser OFF"));
  LaserWarnOff->hide();
  // Neither state until the laser has said which: a sign of "off" it never reported could
  // mislead as much as a sign of "on".
  LaserWarnOn->hide();
  LaserWarnUnknown = sign("LaserWarnUnknown", "laser-warn-unknown",
                          QStringLiteral("The laser has not reported whether it is on"));

  LaserON = NewButton(Area, "LaserON", QString(), QString(), QSize(66, 35));
  LaserON->setDefaultAction(SetLaserOn);
  LaserOff = NewButton(Area, "LaserOff", QString(), QString(), QSize(66, 35));
  LaserOff->setDefaultAction(SetLaserOff);
  for (QToolButton* b : {LaserON, LaserOff}) {
    QFont font = b->font();
    font.setBold(true);
    b->setFont(font);
    b->setMaximumHeight(3 * MaxButtonHeight / 2);
  }
}

// ---------------------------------------------------------------- layouts

void TControlPanel::ArrangeTriggerGrid(int Layout) {
  auto* grid = static_cast<QGridLayout*>(TriggerGroup->layout());
  for (QWidget* w : {static_cast<QWidget*>(LabelBranches2), static_cast<QWidget*>(Label6),
                     static_cast<QWidget*>(TriggerMode1), static_cast<QWidget*>(TriggerMode2),
                     static_cast<QWidget*>(Label1), static_cast<QWidget*>(ActFrequency1),
                     static_cast<QWidget*>(ActFrequency2), static_cast<QWidget*>(OkFrequency),
                     static_cast<QWidget*>(Frequency), static_cast<QWidget*>(Frequency2),
                     static_cast<QWidget*>(InternTrig), static_cast<QWidget*>(ExternTrig),
                     static_cast<QWidget*>(ExternTrig2), static_cast<QWidget*>(CW),
                     static_cast<QWidget*>(CW2)}) {
    grid->removeWidget(w);
  }
  for (int r = 0; r < grid->rowCount(); ++r) grid->setRowStretch(r, 0);
  for (int c = 0; c < 3; ++c) {
    grid->setColumnStretch(c, 1);
    grid->setColumnMinimumWidth(c, TriggerColumnWidth);
  }
  // The design's button heights: one tall row of three in one column, two low rows beside
  // "Internal" in two.
  const int buttonHeight = Layout == 0 ? 33 : 17;
  for (QToolButton* b : {ExternTrig, CW, ExternTrig2, CW2}) {
    b->setMinimumHeight(std::max(buttonHeight, TextHeight(b) + 4));
    // Grown, the buttons stay button-sized; the room goes to the values.
    b->setMaximumHeight(Layout == 0 ? 2 * MaxButtonHeight : MaxButtonHeight);
  }
  InternTrig->setMinimumHeight(33);
  InternTrig->setMaximumHeight(2 * MaxButtonHeight);
  if (Layout == 0) {
    // Mode and frequency in the middle column, the frequency box under its OK button on the
    // right, the three trigger buttons in one row below.
    grid->addWidget(Label6, 0, 0);
    grid->addWidget(TriggerMode1, 0, 1);
    grid->addWidget(OkFrequency, 0, 2);
    grid->addWidget(Label1, 1, 0);
    grid->addWidget(ActFrequency1, 1, 1);
    grid->addWidget(Frequency, 1, 2);
    grid->addWidget(InternTrig, 2, 0);
    grid->addWidget(ExternTrig, 2, 1);
    grid->addWidget(CW, 2, 2);
    OkFrequency->setMinimumWidth(65);
    grid->setRowStretch(0, 2);
    grid->setRowStretch(1, 2);
    grid->setRowStretch(2, 1);
  } else {
    // A column per branch under the heading; the OK button before the first frequency box.
    grid->addWidget(LabelBranches2, 0, 1, 1, 2);
    grid->addWidget(Label6, 1, 0);
    grid->addWidget(TriggerMode1, 1, 1);
    grid->addWidget(TriggerMode2, 1, 2);
    grid->addWidget(Label1, 2, 0);
    grid->addWidget(ActFrequency1, 2, 1);
    grid->addWidget(ActFrequency2, 2, 2);
    grid->addWidget(OkFrequency, 3, 0, Qt::AlignRight);
    grid->addWidget(Frequency, 3, 1);
    grid->addWidget(Frequency2, 3, 2);
    grid->addWidget(InternTrig, 4, 0, 2, 1);
    grid->addWidget(ExternTrig, 4, 1);
    grid->addWidget(ExternTrig2, 4, 2);
    grid->addWidget(CW, 5, 1);
    grid->addWidget(CW2, 5, 2);
    OkFrequency->setMinimumWidth(22);
    grid->setRowStretch(1, 2);
    grid->setRowStretch(2, 2);
    grid->setRowStretch(4, 1);
    grid->setRowStretch(5, 1);
  }
  grid->invalidate();
}

void TControlPanel::SizeCurrentEntries() {
  // Wide enough for every digit the mask allows, in the box's own font, at every scale.
  for (QLineEdit* edit : {Current1, Current2}) {
    const QString widest =
        edit->inputMask().size() > 8 ? QStringLiteral("888.88") : QStringLiteral("88.88");
    const int text = edit->fontMetrics().horizontalAdvance(widest);
    edit->setMinimumWidth(std::max(CurrentValueWidth, text + 12));
    edit->setMinimumHeight(std::max(21, edit->minimumSizeHint().height()));
  }
}

void TControlPanel::PlaceCurrentControls() {
  auto* grid = static_cast<QGridLayout*>(CurrentGroup->layout());
  const bool b1 = FLayout.Branch1;
  // A branch shown alone takes the first column; rows close up when "Actual:" is hidden.
  const int value1 = 1;
  const int value2 = b1 ? 3 : 1;
  for (QWidget* w : {static_cast<QWidget*>(LabelBranches), static_cast<QWidget*>(LabelNorminal),
                     static_cast<QWidget*>(Actual),        static_cast<QWidget*>(Label8),
                     static_cast<QWidget*>(NormCurrent1),  static_cast<QWidget*>(NormCurrent2),
                     static_cast<QWidget*>(ActCurrent1),   static_cast<QWidget*>(ActCurrent2),
                     static_cast<QWidget*>(MaxCurrent1),   static_cast<QWidget*>(MaxCurrent2),
                     static_cast<QWidget*>(Label7),        static_cast<QWidget*>(Label17),
                     static_cast<QWidget*>(Label10),       static_cast<QWidget*>(Label18),
                     static_cast<QWidget*>(Label19),       static_cast<QWidget*>(Label22),
                     static_cast<QWidget*>(Current1),      static_cast<QWidget*>(Current2),
                     static_cast<QWidget*>(OkCurrent1),    static_cast<QWidget*>(OkCurrent2),
                     static_cast<QWidget*>(LinkCurrents)}) {
    grid->removeWidget(w);
  }
  grid->addWidget(LabelBranches, 0, 1, 1, 4);
  grid->addWidget(LabelNorminal, 1, 0);
  grid->addWidget(Actual, 2, 0);
  grid->addWidget(Label8, 3, 0);
  const auto column = [grid](int c, QWidget* nominal, QWidget* actual, QWidget* max,
                             QWidget* entry) {
    grid->addWidget(nominal, 1, c);
    grid->addWidget(actual, 2, c);
    grid->addWidget(max, 3, c);
    grid->addWidget(entry, 4, c);
  };
  column(value1, NormCurrent1, ActCurrent1, MaxCurrent1, Current1);
  column(value1 + 1, Label7, Label17, Label10, OkCurrent1);
  column(value2, NormCurrent2, ActCurrent2, MaxCurrent2, Current2);
  column(value2 + 1, Label18, Label19, Label22, OkCurrent2);
  grid->addWidget(LinkCurrents, 4, 5);
  // Values take the width, their units a fifth of it (so "A" grows with its value); the
  // caption column and the Sync button keep their size.
  const int stretch[] = {0, 5, 1, 5, 1, 0};
  const int minimum[] = {52, CurrentValueWidth, 20, CurrentValueWidth, 20, 40};
  for (int c = 0; c < 6; ++c) {
    grid->setColumnStretch(c, stretch[c]);
    grid->setColumnMinimumWidth(c, minimum[c]);
  }
  // A hidden "Actual:" row takes no room.
  for (int r = 1; r <= 3; ++r) grid->setRowStretch(r, r == 2 && !FLayout.ShowActual ? 0 : 1);
  grid->setRowStretch(4, 0);
  grid->invalidate();
}

void TControlPanel::ApplyCurrentLayout(int Layout, bool ShowActual) {
  const bool b1 = (Layout & clBranch1) != 0;
  const bool b2 = (Layout & clBranch2) != 0;
  FLayout.Branch1 = b1;
  FLayout.Branch2 = b2;
  FLayout.ShowActual = ShowActual;
  for (QWidget* w : {static_cast<QWidget*>(Current1), static_cast<QWidget*>(OkCurrent1),
                     static_cast<QWidget*>(NormCurrent1), static_cast<QWidget*>(MaxCurrent1),
                     static_cast<QWidget*>(Label7), static_cast<QWidget*>(Label10)}) {
    w->setVisible(b1);
  }
  ActCurrent1->setVisible(b1 && ShowActual);
  Label17->setVisible(b1 && ShowActual);
  for (QWidget* w : {static_cast<QWidget*>(Current2), static_cast<QWidget*>(OkCurrent2),
                     static_cast<QWidget*>(NormCurrent2), static_cast<QWidget*>(MaxCurrent2),
                     static_cast<QWidget*>(Label18), static_cast<QWidget*>(Label22)}) {
    w->setVisible(b2);
  }
  ActCurrent2->setVisible(b2 && ShowActual);
  Label19->setVisible(b2 && ShowActual);
  LabelBranches->setVisible(b1 && b2);
  LinkCurrents->setVisible(b1 && b2);
  Actual->setVisible(ShowActual);
  LinkCurrents->setChecked(false);
  Current2->setEnabled(true);
  PlaceCurrentControls();
}

void TControlPanel::BindTriggerButton(QToolButton* Button, QAction* Action) {
  Button->setDefaultAction(Action);
}

void TControlPanel::ReleaseTriggerButton(QToolButton* Button, const QString& Caption,
                                         const QString& Hint) {
  if (QAction* bound = Button->defaultAction()) Button->removeAction(bound);
  Button->setDefaultAction(nullptr);
  Button->setText(Caption);
  Button->setToolTip(Hint);
  Button->setEnabled(true);
}

void TControlPanel::ApplyTriggerLayout(int Layout) {
  if (Layout == 0) {
    for (QWidget* w : {static_cast<QWidget*>(LabelBranches2), static_cast<QWidget*>(ActFrequency2),
                       static_cast<QWidget*>(TriggerMode2), static_cast<QWidget*>(ExternTrig2),
                       static_cast<QWidget*>(CW2), static_cast<QWidget*>(Frequency2)}) {
      w->hide();
    }
    BindTriggerButton(ExternTrig, SetExternal);
    BindTriggerButton(CW, SetCW);
    Frequency->setToolTip(QString::fromLatin1(FrequencyHint).arg(QString()));
    OkFrequency->setToolTip(QStringLiteral("Set frequency"));
    ArrangeTriggerGrid(0);
    FLayout.Trigger = 0;
  } else if (Layout == 1 || Layout == 2) {
    for (QWidget* w : {static_cast<QWidget*>(LabelBranches2), static_cast<QWidget*>(ActFrequency2),
                       static_cast<QWidget*>(TriggerMode2), static_cast<QWidget*>(ExternTrig2),
                       static_cast<QWidget*>(CW2), static_cast<QWidget*>(Frequency2)}) {
      w->show();
    }
    Frequency2->setEnabled(Layout == 2);
    ReleaseTriggerButton(ExternTrig, QStringLiteral("External"),
                         QStringLiteral("Set External Trigger for Laser 1"));
    ReleaseTriggerButton(CW, QStringLiteral("CW"), QStringLiteral("Set CW mode for Laser 1"));
    Frequency->setToolTip(QString::fromLatin1(FrequencyHint).arg(QStringLiteral(" for Laser 1")));
    Frequency2->setToolTip(QString::fromLatin1(FrequencyHint).arg(QStringLiteral(" for Laser 2")));
    OkFrequency->setToolTip(QStringLiteral("Set frequency for both Laser 1 and 2"));
    ArrangeTriggerGrid(Layout);
    FLayout.Trigger = Layout;
  }
}

void TControlPanel::SetAllowOver100A() {
  for (QLineEdit* edit : {Current1, Current2}) {
    edit->setInputMask(QtInputMask("999.99;1;0"));
    edit->setText(QStringLiteral("020.00"));
  }
  SizeCurrentEntries();
}

// ---------------------------------------------------------------- operator's actions

void TControlPanel::SetInternalExecute() {
  FLaser.SetTriggerMode(tmInternal, 0);
  FLaser.ReadTriggerMode(0);
}

void TControlPanel::SetExternalExecute() {
  if (FLayout.TriggerColumns()) {
    FLaser.SetTriggerMode(tmExternal, 1);
    FLaser.SetTriggerMode(tmExternal, 2);
    FLaser.ReadTriggerMode(1);
    FLaser.ReadTriggerMode(2);
  } else {
    FLaser.SetTriggerMode(tmExternal, 0);
    FLaser.ReadTriggerMode(0);
  }
}

void TControlPanel::SetCWExecute() {
  // The first column is there in every layout.
  FLaser.SetTriggerMode(tmCW, 1);
  FLaser.ReadTriggerMode(1);
  if (FLayout.TriggerColumns()) {
    FLaser.SetTriggerMode(tmCW, 2);
    FLaser.ReadTriggerMode(2);
  }
}

void TControlPanel::ExternTrigClick(int Tag) {
  const auto branch = static_cast<std::uint8_t>(Tag);
  FLaser.SetTriggerMode(tmExternal, branch);
  FLaser.ReadTriggerMode(branch);
}

void TControlPanel::CWClick(int Tag) {
  const auto branch = static_cast<std::uint8_t>(Tag);
  FLaser.SetTriggerMode(tmCW, branch);
  FLaser.ReadTriggerMode(branch);
}

void TControlPanel::SetLaserOnExecute() {
  FLaser.SetLaserOn(true);
  FLaser.ReadStatus();
}

void TControlPanel::SetLaserOffExecute() {
  if (!FLaser.Connected()) return;
  FLaser.SetLaserOn(false);  // ahead of everything not yet written
  // The status read right behind it, so that the sign shows the laser's answer soon.
  TLaser::TRequestScope urgent(FLaser, TOrigin::Operator, TPriority::Urgent);
  FLaser.ReadStatus();
}

double TControlPanel::CurrentEntry(const QLineEdit* Edit) const {
  // The full displayed text: unfilled places show, and read, as "0".
  return StrToFloat(Edit->displayText().toStdString());
}

void TControlPanel::OkCurrentClick(int Tag) {
  if (LinkCurrents->isChecked()) {
    const double x = CurrentEntry(Current1);
    SetAllCurrents(x);
    Current2->setText(Current1->displayText());
    return;
  }
  if (Tag == 1) {
    const double x = CurrentEntry(Current1);
    FLaser.SetCurrent(1, x);
    FLaser.ReadCurrent(1);
  } else {
    const double x = CurrentEntry(Current2);
    FLaser.SetCurrent(2, x);
    FLaser.ReadCurrent(static_cast<std::uint8_t>(Tag));
  }
}

void TControlPanel::SetAllCurrents(double Value) {
  if (FLayout.Branch1) {
    FLaser.SetCurrent(1, std::min(Value, FLaser.MaxCurrent(1)));
    FLaser.ReadCurrent(1);
  }
  if (FLayout.Branch2) {
    FLaser.SetCurrent(2, std::min(Value, FLaser.MaxCurrent(2)));
    FLaser.ReadCurrent(2);
  }
}

void TControlPanel::SetPresetCurrent(int Tag) {
  const double value = (Tag >= 1 && Tag <= 9)
                           ? StrToFloat(FOptions.PresetCurrents[static_cast<std::size_t>(Tag - 1)])
                           : 0.0;
  SetAllCurrents(value);
}

void TControlPanel::LinkCurrentsClick() {
  if (!FLayout.BothBranches()) return;
  if (LinkCurrents->isChecked()) {
    const bool hadFocus = Current2->hasFocus();
    Current2->setEnabled(false);
    if (hadFocus) Current1->setFocus();
  } else {
    Current2->setEnabled(true);
  }
}

void TControlPanel::OkFrequencyClick(int Tag) {
  if (Tag < 2) {
    Frequency->interpretText();
    FLaser.SetFrequency(1, Frequency->value());
    FLaser.ReadFrequency(1);
  }
  if (Tag != 1 && FLayout.TriggerColumns() && Frequency2->isEnabled()) {
    Frequency2->interpretText();
    FLaser.SetFrequency(2, Frequency2->value());
    FLaser.ReadFrequency(2);
  }
}

bool TControlPanel::eventFilter(QObject* Watched, QEvent* Event) {
  const bool frequency = Watched == Frequency || Watched == Frequency2;
  const bool current = Watched == Current1 || Watched == Current2;
  if (!frequency && !current) return QObject::eventFilter(Watched, Event);
  const int tag = Watched->property("Tag").toInt();
  if (Event->type() == QEvent::ShortcutOverride) {
    // The edit boxes claim some Ctrl keys for themselves (Ctrl+D deletes a character on X11),
    // which would steal the window's hot keys from an operator typing a value. Leaving the
    // override unaccepted lets the action run.
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return true;
  }
  if (current && (Event->type() == QEvent::KeyPress || Event->type() == QEvent::KeyRelease)) {
    // Enter released in a current field acts as its OK button, but only an Enter that was
    // pressed there too: the Enter that closes a box (About, Options, an error message) is
    // released in the field that gets the focus back, and must not set a current.
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      if (Event->type() == QEvent::KeyPress) {
        if (!key->isAutoRepeat()) FEnterPressedIn = Watched;
      } else if (!key->isAutoRepeat()) {
        const bool pressedHere = FEnterPressedIn == Watched;
        FEnterPressedIn = nullptr;
        if (pressedHere) Guarded([&] { OkCurrentClick(tag); });
        return true;
      }
    }
  }
  if (current && Event->type() == QEvent::FocusOut) FEnterPressedIn = nullptr;
  if (Event->type() == QEvent::KeyPress && frequency) {
    const auto* key = static_cast<QKeyEvent*>(Event);
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
        Guarded([&] { OkFrequencyClick(tag); });
        return true;
      case Qt::Key_Backspace:
      case Qt::Key_Left:
      case Qt::Key_Right:
      case Qt::Key_Delete:
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
        return false;
      default:
        // Digits pass (also from the keypad: they type digits); every other key is swallowed
        // so that Home, End, the arrows and page keys do not move or step the box.
        if (key->key() >= Qt::Key_0 && key->key() <= Qt::Key_9 &&
            !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
          return false;
        }
        return true;
    }
  }
  return QObject::eventFilter(Watched, Event);
}

// ---------------------------------------------------------------- laser reports

void TControlPanel::Subscribe(TLaserEvents& Events) {
  // What shows from now on is this laser's.
  FSubscriptions += Events.Connect.Subscribe([this] { ClearValues(); });
  SubscribeValues(Events, FSubscriptions, *this);
  FSubscriptions += Events.LaserON.Subscribe([this](bool IsOn) { LaserLaserON(IsOn); });
}

void TControlPanel::LaserCurrent(std::uint8_t Branch, double Value) {
  if (!FLayout.ShowActual) {
    Reported(Branch == 1 ? NormCurrent1 : NormCurrent2,
             QString::fromStdString(FormatFloat2(Value)));
    return;
  }
  // Both currents in one number: rounding it would show the nominal 0.01 A too high for an actual
  // of 500 A or more, and cutting it naively an actual of 1000 A for 0.29 A.
  const TPackedCurrent packed = UnpackCurrent(Value);
  Reported(Branch == 1 ? NormCurrent1 : NormCurrent2,
           QString::fromStdString(FormatFloat2(packed.Nominal)));
  Reported(Branch == 1 ? ActCurrent1 : ActCurrent2,
           QString::fromStdString(FormatFloat2(packed.Actual)));
}

void TControlPanel::LaserMaxCurrent(std::uint8_t Branch, double Value) {
  Reported(Branch == 1 ? MaxCurrent1 : MaxCurrent2, QString::fromStdString(FormatFloat2(Value)));
}

void TControlPanel::LaserFrequency(std::uint8_t Branch, double Value) {
  const QString text = QString::fromStdString(FormatFloat2(Value));
  if (Branch == 1) {
    Reported(ActFrequency1, text);
    if (!Frequency2->isEnabled()) Reported(ActFrequency2, text);  // one common frequency
  } else {
    Reported(ActFrequency2, text);
  }
}

void TControlPanel::LaserTriggerMode(std::uint8_t Branch, TTriggerMode Mode) {
  const QString name = QString::fromLatin1(TriggerModeNames[std::min<int>(Mode, tmError)]);
  if (Branch == 1) {
    Reported(TriggerMode1, name);
  } else if (Branch == 2) {
    Reported(TriggerMode2, name);
  } else {
    Reported(TriggerMode1, name);
    if (FLayout.TriggerColumns()) Reported(TriggerMode2, name);
  }
}

void TControlPanel::LaserLaserON(bool IsOn) {
  LaserWarnOn->setVisible(IsOn);
  LaserWarnOff->setVisible(!IsOn);
  LaserWarnUnknown->hide();
  FStatusAt = TClock::now();
  for (QLabel* sign : {LaserWarnOn, LaserWarnOff}) sign->setToolTip(StatusHint(IsOn, 0));
  FStatusOn = IsOn;
}

// ---------------------------------------------------------------- what the laser reported

std::vector<QLabel*> TControlPanel::ValueLabels() const {
  return {NormCurrent1, NormCurrent2,  ActCurrent1,   ActCurrent2,  MaxCurrent1,
          MaxCurrent2,  ActFrequency1, ActFrequency2, TriggerMode1, TriggerMode2};
}

QString TControlPanel::StatusHint(bool IsOn, int AgeSeconds) {
  const QString state = IsOn ? QStringLiteral("Laser ON") : QStringLiteral("Laser OFF");
  if (AgeSeconds <= 0) return state;
  return state + QStringLiteral(" (reported %1 s ago)").arg(AgeSeconds);
}

void TControlPanel::Reported(QLabel* Label, const QString& Text) {
  Label->setText(Text);
  FReportedAt[Label] = TClock::now();
  if (Label->property("Stale").toBool()) {
    Label->setProperty("Stale", false);
    Label->setPalette(QPalette());
    Label->setToolTip(QString());
  }
}

void TControlPanel::ClearValues() {
  for (QLabel* label : ValueLabels()) {
    label->clear();
    label->setProperty("Stale", false);
    label->setPalette(QPalette());
    label->setToolTip(QString());
  }
  FReportedAt.clear();
  LaserWarnOn->hide();
  LaserWarnOff->hide();
  LaserWarnUnknown->show();
  FStatusAt.reset();
}

void TControlPanel::MarkStale(int PeriodMs) {
  const auto now = TClock::now();
  const auto limit = std::chrono::milliseconds(3 * std::max(PeriodMs, 1));
  for (auto& [label, at] : FReportedAt) {
    const auto age = now - at;
    if (age < limit) continue;
    const int seconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(age).count());
    if (!label->property("Stale").toBool()) {
      label->setProperty("Stale", true);
      QPalette palette = label->palette();
      palette.setColor(QPalette::WindowText,
                       palette.color(QPalette::Disabled, QPalette::WindowText));
      label->setPalette(palette);
    }
    label->setToolTip(QStringLiteral("Not reported again for %1 s").arg(seconds));
  }
  if (FStatusAt && now - *FStatusAt >= limit) {
    const int seconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(now - *FStatusAt).count());
    for (QLabel* sign : {LaserWarnOn, LaserWarnOff}) {
      sign->setToolTip(StatusHint(FStatusOn, seconds));
    }
  }
}

bool TControlPanel::Stale(const QLabel* Label) {
  return Label->property("Stale").toBool();
}

// ---------------------------------------------------------------- state

void TControlPanel::LaserActionUpdate() {
  const bool ready = IsReady && IsReady();
  for (QAction* a : {SetInternal, SetExternal, SetCW, SetLaserOn, SetCurrentZero}) {
    a->setEnabled(ready);
  }
  for (QAction* a : SetCurrentN) a->setEnabled(ready);
  // Laser OFF whenever a laser is connected, also while it is still being probed.
  SetLaserOff->setEnabled(FLaser.Connected());
}

void TControlPanel::RefreshLaserState() {
  if (!(IsReady && IsReady())) return;
  // One round at a time: a round still queued or unanswered is not joined by another, so no
  // period is too short for the line and the operator's commands never wait behind reads.
  if (!FLaser.RefreshDue()) return;
  TLaser::TRequestScope refresh(FLaser, TOrigin::Refresh);
  FLaser.ReadStatus();
  if (FLayout.Branch1) FLaser.ReadCurrent(1);
  if (FLayout.Branch2) FLaser.ReadCurrent(2);
  if (FLayout.Branch1) FLaser.ReadMaxCurrent(1);
  if (FLayout.Branch2) FLaser.ReadMaxCurrent(2);
  // The first trigger column is there in every layout.
  FLaser.ReadTriggerMode(1);
  if (FLayout.TriggerColumns()) FLaser.ReadTriggerMode(2);
  FLaser.ReadFrequency(1);
  if (FLayout.TriggerColumns() && Frequency2->isEnabled()) FLaser.ReadFrequency(2);
}

void TControlPanel::SetFrequencyEntry(std::uint8_t Branch, int Value) {
  (Branch == 2 ? Frequency2 : Frequency)->setValue(Value);
}

void TControlPanel::FocusCurrent() {
  if (FLayout.Branch1) {
    Current1->setFocus();
  } else if (FLayout.Branch2) {
    Current2->setFocus();
  }
}
