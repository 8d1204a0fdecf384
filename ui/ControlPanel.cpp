#include "ui/ControlPanel.h"

#include <QAction>
#include <QEvent>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QToolButton>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "laser/QNLaser.h"
#include "ui/Application.h"
#include "ui/Detection.h"
#include "ui/Pictures.h"
#include "ui/Settings.h"

// ---------------------------------------------------------------- numbers

double StrToFloat(const std::string& Text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const char* first = Text.data();
  const char* last = first + Text.size();
  while (first < last && blank(*first)) ++first;
  while (last > first && blank(last[-1])) --last;
  if (first < last && *first == '+') ++first;  // from_chars takes "-" only
  double value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (first == last || ec != std::errc() || end != last || !std::isfinite(value)) {
    throw std::invalid_argument("'" + Text + "' is not a valid floating point value");
  }
  return value;
}

std::string FormatFloat2(double Value) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, 2);
  if (ec != std::errc()) return "0.00";
  std::string text(buffer, end);
  if (text == "-0.00") text = "0.00";
  return text;
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

QLabel* NewLabel(QWidget* Parent, const char* Name, const QString& Text, QRect Geometry,
                 Qt::Alignment Align = Qt::AlignLeft | Qt::AlignVCenter, bool Bold = false) {
  auto* label = new QLabel(Text, Parent);
  label->setObjectName(QString::fromLatin1(Name));
  label->setGeometry(Geometry);
  label->setAlignment(Align);
  if (Bold) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
  }
  return label;
}

QToolButton* NewButton(QWidget* Parent, const char* Name, const QString& Text, const QString& Hint,
                       QRect Geometry) {
  auto* button = new QToolButton(Parent);
  button->setObjectName(QString::fromLatin1(Name));
  button->setText(Text);
  button->setToolTip(Hint);
  button->setGeometry(Geometry);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  return button;
}

// A flat button with the "set" glyph.
QToolButton* NewOkButton(QWidget* Parent, const char* Name, const QString& Hint, QRect Geometry) {
  auto* button = NewButton(Parent, Name, QString(), Hint, Geometry);
  button->setAutoRaise(true);
  button->setIcon(SvgIcon(QStringLiteral("ok")));
  button->setIconSize(QSize(16, 16));
  button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  return button;
}

bool Shown(const QWidget* Widget) {
  return !Widget->isHidden();
}

void SetTag(QObject* Object, int Tag) {
  Object->setProperty("Tag", Tag);
}

// Current group geometry: two value columns (right edges) and the rows.
constexpr int CaptionLeft = 8;
constexpr int ValueWidth = 46;
constexpr int Column1Right = 104;
constexpr int Column2Right = 172;
constexpr int RowHeight = 15;
constexpr int HeadingTop = 13;
constexpr int NominalTop = 28;
constexpr int RowStep = 16;
constexpr int EntryGap = 24;  // from the last value row to the entry row
constexpr int EntryHeight = 21;

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
  TriggerGroup->setGeometry(4, 2, 226, 116);
  QWidget* g = TriggerGroup;
  const auto center = Qt::AlignHCenter | Qt::AlignVCenter;
  const auto right = Qt::AlignRight | Qt::AlignVCenter;

  LabelBranches2 = NewLabel(g, "LabelBranches2", QStringLiteral("Laser 1            Laser 2"),
                            QRect(80, 12, 140, 13));
  Label6 = NewLabel(g, "Label6", QStringLiteral("Mode:"), QRect(6, 24, 70, 13));
  TriggerMode1 =
      NewLabel(g, "TriggerMode1", QStringLiteral("External"), QRect(80, 24, 65, 13), center, true);
  TriggerMode2 =
      NewLabel(g, "TriggerMode2", QStringLiteral("External"), QRect(152, 24, 65, 13), center, true);
  Label1 = NewLabel(g, "Label1", QStringLiteral("Frequency(Hz):"), QRect(3, 47, 84, 13));
  {
    // The row was measured in Tahoma; a wider face gets its letters drawn a little closer so
    // that the caption ends before the value beside it.
    QFont font = Label1->font();
    const int excess = QFontMetrics(font).horizontalAdvance(Label1->text()) - Label1->width();
    if (excess > 0) {
      font.setLetterSpacing(QFont::AbsoluteSpacing,
                            -std::min(1.0, (excess + 1.0) / Label1->text().size()));
      Label1->setFont(font);
    }
  }
  ActFrequency1 =
      NewLabel(g, "ActFrequency1", QStringLiteral("30000"), QRect(84, 47, 65, 13), right, true);
  ActFrequency2 =
      NewLabel(g, "ActFrequency2", QStringLiteral("30000"), QRect(154, 38, 65, 13), right, true);

  const auto newSpin = [g](const char* name, int tag, QRect geometry) {
    auto* spin = new QSpinBox(g);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setRange(0, 200000);
    spin->setSingleStep(100);
    spin->setValue(0);
    spin->setGeometry(geometry);
    SetTag(spin, tag);
    return spin;
  };
  Frequency = newSpin("Frequency", 1, QRect(152, 44, 65, 21));
  Frequency2 = newSpin("Frequency2", 2, QRect(152, 52, 65, 21));
  Frequency->installEventFilter(this);
  Frequency2->installEventFilter(this);

  OkFrequency =
      NewOkButton(g, "OkFrequency", QStringLiteral("Set frequency"), QRect(152, 20, 65, 22));
  SetTag(OkFrequency, 0);
  connect(OkFrequency, &QToolButton::clicked, this, Guard([this](bool) { OkFrequencyClick(0); }));

  InternTrig = NewButton(g, "InternTrig", QString(), QString(), QRect(8, 75, 65, 33));
  InternTrig->setDefaultAction(SetInternal);
  ExternTrig = NewButton(g, "ExternTrig", QStringLiteral("External"),
                         QStringLiteral("Set External Trigger"), QRect(80, 75, 65, 33));
  ExternTrig2 = NewButton(g, "ExternTrig2", QStringLiteral("External"),
                          QStringLiteral("Set External Trigger"), QRect(152, 75, 65, 17));
  CW = NewButton(g, "CW", QStringLiteral("CW"), QStringLiteral("Set CW mode"),
                 QRect(152, 76, 65, 33));
  CW2 = NewButton(g, "CW2", QStringLiteral("CW"), QStringLiteral("Set CW mode for Laser 2"),
                  QRect(152, 92, 65, 17));
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
}

void TControlPanel::CreateCurrentGroup(QWidget* Area) {
  CurrentGroup = new QGroupBox(QStringLiteral(" Current "), Area);
  CurrentGroup->setObjectName(QStringLiteral("CurrentGroup"));
  CurrentGroup->setGeometry(234, 2, 241, 116);
  QWidget* g = CurrentGroup;
  const auto right = Qt::AlignRight | Qt::AlignVCenter;
  const QRect r;  // placed by PlaceCurrentControls

  LabelBranches = NewLabel(g, "LabelBranches", QStringLiteral("Laser 1   Laser 2"), r);
  LabelNorminal = NewLabel(g, "LabelNorminal", QStringLiteral("Nominal:"), r);
  Actual = NewLabel(g, "Actual", QStringLiteral("Actual:"), r);
  Label8 = NewLabel(g, "Label8", QStringLiteral("Max:"), r);
  NormCurrent1 = NewLabel(g, "NormCurrent1", QStringLiteral("0.00"), r, right, true);
  NormCurrent2 = NewLabel(g, "NormCurrent2", QStringLiteral("0.00"), r, right, true);
  ActCurrent1 = NewLabel(g, "ActCurrent1", QStringLiteral("0.00"), r, right, true);
  ActCurrent2 = NewLabel(g, "ActCurrent2", QStringLiteral("0.00"), r, right, true);
  MaxCurrent1 = NewLabel(g, "MaxCurrent1", QStringLiteral("50.00"), r, right, true);
  MaxCurrent2 = NewLabel(g, "MaxCurrent2", QStringLiteral("50.00"), r, right, true);
  Label7 = NewLabel(g, "Label7", QStringLiteral("A"), r);
  Label17 = NewLabel(g, "Label17", QStringLiteral("A"), r);
  Label10 = NewLabel(g, "Label10", QStringLiteral("A"), r);
  Label18 = NewLabel(g, "Label18", QStringLiteral("A"), r);
  Label19 = NewLabel(g, "Label19", QStringLiteral("A"), r);
  Label22 = NewLabel(g, "Label22", QStringLiteral("A"), r);

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
  OkCurrent1 = NewOkButton(g, "OkCurrent1", QString(), r);
  OkCurrent2 = NewOkButton(g, "OkCurrent2", QStringLiteral("Set current for Laser 2"), r);
  SetTag(OkCurrent1, 1);
  SetTag(OkCurrent2, 2);
  connect(OkCurrent1, &QToolButton::clicked, this, Guard([this](bool) { OkCurrentClick(1); }));
  connect(OkCurrent2, &QToolButton::clicked, this, Guard([this](bool) { OkCurrentClick(2); }));
  LinkCurrents = NewButton(g, "LinkCurrents", QStringLiteral("Sync"),
                           QStringLiteral("Set current for both branchs with the same value"), r);
  LinkCurrents->setCheckable(true);
  connect(LinkCurrents, &QToolButton::clicked, this, Guard([this](bool) { LinkCurrentsClick(); }));
  PlaceCurrentControls();
}

void TControlPanel::CreateLaserSwitch(QWidget* Area) {
  LaserWarnOn = new QLabel(Area);
  LaserWarnOn->setObjectName(QStringLiteral("LaserWarnOn"));
  LaserWarnOn->setGeometry(343, 131, 62, 55);
  SetPicture(LaserWarnOn, QStringLiteral("laser-warn-on"));
  LaserWarnOn->setToolTip(QStringLiteral("Laser ON"));
  LaserWarnOff = new QLabel(Area);
  LaserWarnOff->setObjectName(QStringLiteral("LaserWarnOff"));
  LaserWarnOff->setGeometry(343, 131, 62, 55);
  SetPicture(LaserWarnOff, QStringLiteral("laser-warn-off"));
  LaserWarnOff->setToolTip(QStringLiteral("Laser OFF"));
  LaserWarnOff->hide();

  LaserON = NewButton(Area, "LaserON", QString(), QString(), QRect(409, 122, 66, 35));
  LaserON->setDefaultAction(SetLaserOn);
  LaserOff = NewButton(Area, "LaserOff", QString(), QString(), QRect(409, 160, 66, 35));
  LaserOff->setDefaultAction(SetLaserOff);
  for (QToolButton* b : {LaserON, LaserOff}) {
    QFont font = b->font();
    font.setBold(true);
    b->setFont(font);
  }
}

// ---------------------------------------------------------------- layouts

void TControlPanel::PlaceCurrentControls() {
  const bool b1 = Shown(Current1);
  const bool actual = Shown(Actual);
  // A branch shown alone takes the first column; rows close up when "Actual:" is hidden.
  const int right1 = Column1Right;
  const int right2 = b1 ? Column2Right : Column1Right;
  const int nominalTop = NominalTop;
  const int actualTop = NominalTop + RowStep;
  const int maxTop = actual ? actualTop + RowStep : actualTop;
  const auto value = [](QLabel* label, int right, int top) {
    label->setGeometry(right - ValueWidth, top, ValueWidth, RowHeight);
  };
  const auto unit = [](QLabel* label, int right, int top) {
    label->setGeometry(right + 2, top, 12, RowHeight);
  };
  LabelNorminal->setGeometry(CaptionLeft, nominalTop, 52, RowHeight);
  Actual->setGeometry(CaptionLeft, actualTop, 52, RowHeight);
  Label8->setGeometry(CaptionLeft, maxTop, 52, RowHeight);
  value(NormCurrent1, right1, nominalTop);
  value(ActCurrent1, right1, actualTop);
  value(MaxCurrent1, right1, maxTop);
  unit(Label7, right1, nominalTop);
  unit(Label17, right1, actualTop);
  unit(Label10, right1, maxTop);
  value(NormCurrent2, right2, nominalTop);
  value(ActCurrent2, right2, actualTop);
  value(MaxCurrent2, right2, maxTop);
  unit(Label18, right2, nominalTop);
  unit(Label19, right2, actualTop);
  unit(Label22, right2, maxTop);
  // The heading's two words stand over the two value columns.
  const QFontMetrics fm(LabelBranches->font());
  const int headingWidth = fm.horizontalAdvance(LabelBranches->text());
  LabelBranches->setGeometry(Column2Right - headingWidth, HeadingTop, headingWidth + 2, RowHeight);

  const int entryTop = maxTop + EntryGap;
  const int entryWidth = Current1->inputMask().size() > 8 ? ValueWidth + 6 : ValueWidth;
  Current1->setGeometry(right1 - entryWidth, entryTop, entryWidth, EntryHeight);
  OkCurrent1->setGeometry(right1 + 1, entryTop, 20, EntryHeight);
  Current2->setGeometry(right2 - entryWidth, entryTop, entryWidth, EntryHeight);
  OkCurrent2->setGeometry(right2 + 1, entryTop, 20, EntryHeight);
  LinkCurrents->setGeometry(Column2Right + 24, entryTop, 40, EntryHeight);
}

void TControlPanel::ApplyCurrentLayout(int Layout, bool ShowActual) {
  const bool b1 = (Layout & clBranch1) != 0;
  const bool b2 = (Layout & clBranch2) != 0;
  for (QWidget* w : {static_cast<QWidget*>(Current1), static_cast<QWidget*>(OkCurrent1),
                     static_cast<QWidget*>(NormCurrent1), static_cast<QWidget*>(MaxCurrent1),
                     static_cast<QWidget*>(Label7), static_cast<QWidget*>(Label10)}) {
    w->setVisible(b1);
  }
  ActCurrent1->setVisible(b1 && ShowActual);
  Label17->setVisible(Shown(ActCurrent1));
  for (QWidget* w : {static_cast<QWidget*>(Current2), static_cast<QWidget*>(OkCurrent2),
                     static_cast<QWidget*>(NormCurrent2), static_cast<QWidget*>(MaxCurrent2),
                     static_cast<QWidget*>(Label18), static_cast<QWidget*>(Label22)}) {
    w->setVisible(b2);
  }
  ActCurrent2->setVisible(b2 && ShowActual);
  Label19->setVisible(Shown(ActCurrent2));
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
    ExternTrig->setGeometry(ExternTrig->x(), ExternTrig->y(), ExternTrig->width(), 33);
    CW->setGeometry(152, 76, CW->width(), 33);
    ActFrequency1->move(ActFrequency1->x(), 47);
    Label1->move(Label1->x(), 47);
    OkFrequency->setGeometry(152, 20, 65, OkFrequency->height());
    Frequency->move(152, 44);
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
    // The narrow glyph width again: the one-column layout widened the button to 65, which
    // here would run under the first frequency box.
    OkFrequency->setGeometry(56, 52, 22, OkFrequency->height());
    Frequency->move(80, 52);
    ActFrequency1->move(ActFrequency1->x(), 38);
    Label1->move(Label1->x(), 38);
    ExternTrig->setGeometry(ExternTrig->x(), ExternTrig->y(), ExternTrig->width(), 17);
    CW->setGeometry(80, 92, CW->width(), 17);
  }
}

void TControlPanel::SetAllowOver100A() {
  for (QLineEdit* edit : {Current1, Current2}) {
    edit->setInputMask(QtInputMask("999.99;1;0"));
    edit->setText(QStringLiteral("020.00"));
  }
  PlaceCurrentControls();
}

// ---------------------------------------------------------------- operator's actions

void TControlPanel::SetInternalExecute() {
  FLaser.SetTriggerMode(tmInternal, 0);
  FLaser.ReadTriggerMode(0);
}

void TControlPanel::SetExternalExecute() {
  if (Shown(TriggerMode1) && Shown(TriggerMode2)) {
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
  if (Shown(TriggerMode1)) {
    FLaser.SetTriggerMode(tmCW, 1);
    FLaser.ReadTriggerMode(1);
  }
  if (Shown(TriggerMode2)) {
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
  FLaser.SetLaserOn(false);
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
  if (Shown(Current1)) {
    FLaser.SetCurrent(1, std::min(Value, FLaser.MaxCurrent(1)));
    FLaser.ReadCurrent(1);
  }
  if (Shown(Current2)) {
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
  if (!Shown(Current1) || !Shown(Current2)) return;
  if (LinkCurrents->isChecked()) {
    const bool hadFocus = Current2->hasFocus();
    Current2->setEnabled(false);
    if (hadFocus) Current1->setFocus();
  } else {
    Current2->setEnabled(true);
  }
}

void TControlPanel::OkFrequencyClick(int Tag) {
  if (Tag < 2 && Shown(Frequency)) {
    Frequency->interpretText();
    FLaser.SetFrequency(1, Frequency->value());
    FLaser.ReadFrequency(1);
  }
  if (Tag != 1 && Shown(Frequency2) && Frequency2->isEnabled()) {
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
  if (Event->type() == QEvent::KeyRelease && current) {
    // Enter released in a current field acts as its OK button.
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      Guarded([&] { OkCurrentClick(tag); });
      return true;
    }
  }
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

void TControlPanel::LaserCurrent(std::uint8_t Branch, double Value) {
  const QString nominal = QString::fromStdString(FormatFloat2(Value));
  (Branch == 1 ? NormCurrent1 : NormCurrent2)->setText(nominal);
  if (Shown(Actual)) {
    // The laser object packs the actual current a into the value as nominal + a * 0.00001.
    const double scaled = Value * 100;
    const double actual = (scaled - std::trunc(scaled)) * 1000;
    (Branch == 1 ? ActCurrent1 : ActCurrent2)
        ->setText(QString::fromStdString(FormatFloat2(actual)));
  }
}

void TControlPanel::LaserMaxCurrent(std::uint8_t Branch, double Value) {
  (Branch == 1 ? MaxCurrent1 : MaxCurrent2)->setText(QString::fromStdString(FormatFloat2(Value)));
}

void TControlPanel::LaserFrequency(std::uint8_t Branch, double Value) {
  const QString text = QString::fromStdString(FormatFloat2(Value));
  if (Branch == 1) {
    ActFrequency1->setText(text);
    if (!Frequency2->isEnabled()) ActFrequency2->setText(text);  // one common frequency
  } else {
    ActFrequency2->setText(text);
  }
}

void TControlPanel::LaserTriggerMode(std::uint8_t Branch, TTriggerMode Mode) {
  const QString name = QString::fromLatin1(TriggerModeNames[std::min<int>(Mode, tmError)]);
  if (Branch == 1) {
    TriggerMode1->setText(name);
  } else if (Branch == 2) {
    TriggerMode2->setText(name);
  } else {
    if (Shown(TriggerMode1)) TriggerMode1->setText(name);
    if (Shown(TriggerMode2)) TriggerMode2->setText(name);
  }
}

void TControlPanel::LaserLaserON(bool IsOn) {
  LaserWarnOn->setVisible(IsOn);
  LaserWarnOff->setVisible(!IsOn);
}

// ---------------------------------------------------------------- state

void TControlPanel::LaserActionUpdate() {
  const bool ready = IsReady && IsReady();
  for (QAction* a : {SetInternal, SetExternal, SetCW, SetLaserOn, SetLaserOff, SetCurrentZero}) {
    a->setEnabled(ready);
  }
  for (QAction* a : SetCurrentN) a->setEnabled(ready);
}

void TControlPanel::RefreshLaserState() {
  if (!(IsReady && IsReady())) return;
  FLaser.ReadStatus();
  if (Shown(Current1)) FLaser.ReadCurrent(1);
  if (Shown(Current2)) FLaser.ReadCurrent(2);
  if (Shown(MaxCurrent1)) FLaser.ReadMaxCurrent(1);
  if (Shown(MaxCurrent2)) FLaser.ReadMaxCurrent(2);
  if (Shown(TriggerMode1)) FLaser.ReadTriggerMode(1);
  if (Shown(TriggerMode2)) FLaser.ReadTriggerMode(2);
  if (Shown(ActFrequency1)) FLaser.ReadFrequency(1);
  if (Shown(ActFrequency2) && Frequency2->isEnabled()) FLaser.ReadFrequency(2);
}

void TControlPanel::SetFrequencyEntry(std::uint8_t Branch, int Value) {
  (Branch == 2 ? Frequency2 : Frequency)->setValue(Value);
}

void TControlPanel::FocusCurrent() {
  if (Shown(Current1)) {
    Current1->setFocus();
  } else if (Shown(Current2)) {
    Current2->setFocus();
  }
}
