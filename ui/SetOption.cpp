#include "ui/SetOption.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "logic/PortText.h"
#include "logic/Settings.h"
#include "serial/PortNames.h"
#include "ui/HotKeys.h"

namespace {

constexpr int kPeriodMin = 500;
constexpr int kPeriodMax = 32767;

QString ShortCutText(TShortCut hotKey) {
  if (hotKey == 0) return "None";
  const QString text = ShortCutToKeySequence(hotKey).toString(QKeySequence::NativeText);
  return text.isEmpty() ? QString("None") : text;
}

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

}  // namespace

// ---------------------------------------------------------------- THotKeyEdit

THotKeyEdit::THotKeyEdit(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);  // typed characters never land in the text; keyPressEvent takes them
  setContextMenuPolicy(Qt::NoContextMenu);
  SetHotKey(0);
}

void THotKeyEdit::SetHotKey(TShortCut hotKey) {
  FHotKey = hotKey;
  setText(ShortCutText(hotKey));
}

bool THotKeyEdit::event(QEvent* e) {
  // Every key combination is ours while we have the focus, also those that are shortcuts
  // elsewhere (Ctrl+C, Alt+letter mnemonics).
  if (e->type() == QEvent::ShortcutOverride) {
    e->accept();
    return true;
  }
  return QLineEdit::event(e);
}

void THotKeyEdit::keyPressEvent(QKeyEvent* event) {
  const auto key = static_cast<Qt::Key>(event->key());
  const Qt::KeyboardModifiers mods = event->modifiers();
  const bool shift = mods & Qt::ShiftModifier;
  const bool ctrl = mods & Qt::ControlModifier;
  const bool alt = mods & Qt::AltModifier;
  switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
    case Qt::Key_AltGr:
    case Qt::Key_unknown:
      return;  // a modifier alone makes no hot key
    default:
      break;
  }
  if (!shift && !ctrl && !alt) {
    if (key == Qt::Key_Backspace || key == Qt::Key_Delete) {
      SetHotKey(0);
      return;
    }
    // Enter and Esc still run the dialog's OK and Cancel.
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
      event->ignore();
      return;
    }
  }
  const std::uint8_t vk = QtKeyToVirtualKey(key, mods & Qt::KeypadModifier);
  if (vk == 0) return;  // a key the table lacks: the hot key stays as it was
  TShortCut hotKey = vk;
  if (shift) hotKey |= scShift;
  if (ctrl) hotKey |= scCtrl;
  if (alt) hotKey |= scAlt;
  // Neither Ctrl nor Alt: the key alone or with Shift would be typed text, so Alt is added.
  if (!ctrl && !alt) hotKey |= scAlt;
  SetHotKey(hotKey);
}

// ---------------------------------------------------------------- TPortComboBox

void TPortComboBox::showPopup() {
  if (OnDropDown) OnDropDown();
  QComboBox::showPopup();
}

// ---------------------------------------------------------------- TOptionFrm

TOptionFrm::TOptionFrm(QWidget* parent) : QDialog(parent) {
  setObjectName("OptionFrm");
  setWindowTitle("Options");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  FPages = Named(new QTabWidget(this), "PageControl1");

  // --- "General" ---
  auto* general = Named(new QWidget, "TabSheet1");
  auto* laser = Named(new QGroupBox(" Laser ", general), "LaserProperty");
  FPort = Named(new TPortComboBox(laser), "LaserPort");
  FPort->setEditable(true);
  FPort->setInsertPolicy(QComboBox::NoInsert);
  FPort->setMaxVisibleItems(16);
  FPort->setMinimumWidth(110);
  FPort->OnDropDown = [this] { LaserPortDropDown(); };
  FPort->installEventFilter(this);
  FPort->lineEdit()->installEventFilter(this);
  // A chosen item puts only the port's name into the field; the device beside it is a hint.
  connect(FPort, &QComboBox::activated, this, [this](int index) {
    const QString name = FPort->itemData(index).toString();
    if (!name.isEmpty()) FPort->setEditText(name);
  });
  auto* portLabel = Named(new QLabel("Laser port", laser), "Label1");
  portLabel->setBuddy(FPort);
  FDblClkOff =
      Named(new QCheckBox("Double clicking tray icon turns Laser OFF", laser), "DblClkOff");
  auto* laserLayout = new QGridLayout(laser);
  laserLayout->setContentsMargins(9, 4, 9, 6);
  laserLayout->setVerticalSpacing(3);
  laserLayout->addWidget(portLabel, 0, 0);
  laserLayout->addWidget(FPort, 0, 1);
  laserLayout->setColumnStretch(2, 1);
  laserLayout->addWidget(FDblClkOff, 1, 0, 1, 3);

  auto* automation = Named(new QGroupBox(" Automation ", general), "AutomationFeature");
  FAutoUpdate = Named(new QCheckBox("Update laser parameters automatically for every", automation),
                      "AutoUpdate");
  FAutoDetect = Named(new QCheckBox("Detect Laser connection for every", automation), "AutoDetect");
  auto period = [automation](const char* name) {
    auto* spin = Named(new QSpinBox(automation), name);
    spin->setRange(kPeriodMin, kPeriodMax);
    spin->setSingleStep(500);
    spin->setGroupSeparatorShown(false);
    spin->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    spin->setAlignment(Qt::AlignRight);
    spin->setMinimumWidth(90);
    return spin;
  };
  FUpdate.Spin = period("UpdateTime");
  FDetect.Spin = period("DetectTime");
  auto* automationLayout = new QGridLayout(automation);
  automationLayout->addWidget(FAutoUpdate, 0, 0, 1, 3);
  automationLayout->addWidget(FUpdate.Spin, 1, 1);
  automationLayout->addWidget(Named(new QLabel("ms", automation), "Label2"), 1, 2);
  automationLayout->addWidget(FAutoDetect, 2, 0, 1, 3);
  automationLayout->addWidget(FDetect.Spin, 3, 1);
  automationLayout->addWidget(Named(new QLabel("ms after disconnected", automation), "Label3"), 3,
                              2);
  automationLayout->setContentsMargins(9, 4, 9, 6);
  automationLayout->setVerticalSpacing(3);
  automationLayout->setColumnMinimumWidth(0, 18);
  automationLayout->setColumnStretch(2, 1);
  connect(FAutoUpdate, &QCheckBox::clicked, this, &TOptionFrm::AutoUpdateClick);
  connect(FAutoDetect, &QCheckBox::clicked, this, &TOptionFrm::AutoDetectClick);
  // An operator's change of a period ends the keeping of a stored value the arrows cannot show.
  connect(FUpdate.Spin, &QSpinBox::valueChanged, this, [this] {
    if (!FLoading) FUpdate.Kept.reset();
  });
  connect(FDetect.Spin, &QSpinBox::valueChanged, this, [this] {
    if (!FLoading) FDetect.Kept.reset();
  });

  auto* generalLayout = new QVBoxLayout(general);
  generalLayout->setContentsMargins(6, 6, 6, 6);
  generalLayout->setSpacing(4);
  generalLayout->addWidget(laser);
  generalLayout->addWidget(automation);
  generalLayout->addStretch();
  FPages->addTab(general, "General");

  // --- "Hot keys" ---
  auto* hotKeys = Named(new QWidget, "TabSheet2");
  static constexpr struct {
    const char* Name;
    const char* Label;
  } kEditors[HotKeyCount] = {{"ConnectKey", "Connect / disconnect Laser"},
                             {"InternalTrigKey", "Internal Trigger"},
                             {"ExternalTrigKey", "External Trigger"},
                             {"CWKey", "CW mode"},
                             {"LaserOnKey", "Laser ON"},
                             {"LaserOffKey", "Laser OFF"},
                             {"SetCurrent0Key", "Set current to 0"},
                             {"StartRecordingKey", "Start recording"},
                             {"StopRecordingKey", "Stop recording"},
                             {"TrendsKey", "Trends"}};
  auto* hotKeyLayout = new QGridLayout(hotKeys);
  hotKeyLayout->setVerticalSpacing(4);
  for (int i = 0; i < HotKeyCount; ++i) {
    FHotKeys[i] = Named(new THotKeyEdit(hotKeys), kEditors[i].Name);
    auto* label = new QLabel(kEditors[i].Label, hotKeys);
    label->setBuddy(FHotKeys[i]);
    hotKeyLayout->addWidget(label, i, 0);
    hotKeyLayout->addWidget(FHotKeys[i], i, 1);
  }
  hotKeyLayout->setColumnStretch(1, 1);
  hotKeyLayout->setRowStretch(HotKeyCount, 1);
  FPages->addTab(hotKeys, "Hot keys");

  // --- "Preset currents" ---
  auto* presets = Named(new QWidget, "TabSheet3");
  auto* presetLayout = new QGridLayout(presets);
  presetLayout->setHorizontalSpacing(6);
  for (int i = 0; i < 9; ++i) {
    const int column = i / 3;
    const int row = i % 3;
    const QByteArray name = "Current" + QByteArray::number(i + 1);
    FPresets[i] = Named(new QLineEdit(presets), name.constData());
    FPresets[i]->setMaximumWidth(70);
    auto* label = new QLabel(QString("Ctrl+%1").arg(i + 1), presets);
    label->setBuddy(FPresets[i]);
    presetLayout->addWidget(label, row, column * 3);
    presetLayout->addWidget(FPresets[i], row, column * 3 + 1);
    connect(FPresets[i], &QLineEdit::textChanged, this, &TOptionFrm::PreCurrentChange);
  }
  presetLayout->setColumnMinimumWidth(2, 12);
  presetLayout->setColumnMinimumWidth(5, 12);
  presetLayout->setRowStretch(3, 1);
  FPages->addTab(presets, "Preset currents");

  // --- "Remote" ---
  auto* remote = Named(new QWidget, "TabSheet4");
  FRemoteEnabled = Named(new QCheckBox("Let programs on this computer reach the laser", remote),
                         "RemoteEnabled");
  FRemotePort = Named(new QSpinBox(remote), "RemotePort");
  FRemotePort->setRange(1, 65535);
  FRemotePort->setGroupSeparatorShown(false);
  FRemotePort->setAlignment(Qt::AlignRight);
  FRemotePort->setMinimumWidth(90);
  FRemotePort->setValue(TRemoteSettings{}.Port);
  auto* remotePortLabel = Named(new QLabel("TCP port", remote), "RemotePortLabel");
  remotePortLabel->setBuddy(FRemotePort);
  FRemoteControl =
      Named(new QCheckBox("Allow them to change the laser", remote), "RemoteAllowControl");
  FRemoteState = Named(new QLabel(remote), "RemoteState");
  FRemoteState->setWordWrap(true);
  auto* remoteHint = Named(new QLabel("Without it they may read values and switch the laser off, "
                                      "nothing more. Commands in the style of SCPI, one per line, "
                                      "from 127.0.0.1 and ::1 only; at most 8 clients at once.",
                                      remote),
                           "RemoteHint");
  remoteHint->setWordWrap(true);
  auto* remoteLayout = new QGridLayout(remote);
  remoteLayout->setContentsMargins(9, 9, 9, 9);
  remoteLayout->setVerticalSpacing(6);
  remoteLayout->addWidget(FRemoteEnabled, 0, 0, 1, 3);
  remoteLayout->addWidget(remotePortLabel, 1, 0);
  remoteLayout->addWidget(FRemotePort, 1, 1);
  remoteLayout->addWidget(FRemoteControl, 2, 0, 1, 3);
  remoteLayout->addWidget(remoteHint, 3, 0, 1, 3);
  remoteLayout->addWidget(FRemoteState, 4, 0, 1, 3);
  remoteLayout->setColumnStretch(2, 1);
  remoteLayout->setRowStretch(5, 1);
  const auto remoteEnabled = [this] {
    FRemotePort->setEnabled(FRemoteEnabled->isChecked());
    FRemoteControl->setEnabled(FRemoteEnabled->isChecked());
  };
  connect(FRemoteEnabled, &QCheckBox::toggled, this, remoteEnabled);
  FPages->addTab(remote, "Remote");

  // --- buttons ---
  auto* ok = Named(new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this),
                   "BitBtn1");
  ok->setDefault(true);
  auto* cancel =
      Named(new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", this),
            "BitBtn2");
  cancel->setAutoDefault(false);
  connect(ok, &QPushButton::clicked, this, &TOptionFrm::BitBtn1Click);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(FPages, 1);
  layout->addLayout(buttons);
  // Taller than the classic 411 x 301 only as far as the hot keys' rows need.
  setFixedSize(411, std::max(301, layout->minimumSize().height()));
}

void TOptionFrm::LoadRemote(const TRemoteSettings& Settings, const QString& State) {
  FRemoteEnabled->setChecked(Settings.Enabled);
  FRemotePort->setValue(Settings.Port);
  FRemoteControl->setChecked(Settings.AllowControl);
  FRemotePort->setEnabled(Settings.Enabled);
  FRemoteControl->setEnabled(Settings.Enabled);
  FRemoteState->setText("Status: " + State);
}

void TOptionFrm::StoreRemote(TRemoteSettings& Settings) const {
  Settings.Enabled = FRemoteEnabled->isChecked();
  Settings.Port = static_cast<std::uint16_t>(FRemotePort->value());
  Settings.AllowControl = FRemoteControl->isChecked();
}

void TOptionFrm::LoadPeriod(TPeriod& period, std::int32_t value) {
  period.Spin->setValue(value);  // clamped by the arrows' range
  period.Kept.reset();
  if (period.Spin->value() != value) period.Kept = value;
}

std::int32_t TOptionFrm::StorePeriod(const TPeriod& period) {
  return period.Kept.value_or(period.Spin->value());
}

void TOptionFrm::LoadFromOptions(const TOptions& Options) {
  FLoading = true;  // filling the fields is no edit of the presets
  FPort->setEditText(QString("COM%1").arg(Options.Port));
  FPortTag = Options.Port;
  FAutoUpdate->setChecked(Options.AutoUpdate);
  FAutoDetect->setChecked(Options.AutoDetect);
  FDblClkOff->setChecked(Options.DoubleClickOff);
  FUpdate.Spin->setEnabled(Options.AutoUpdate);
  FDetect.Spin->setEnabled(Options.AutoDetect);
  LoadPeriod(FUpdate, Options.UpdateInterval);
  LoadPeriod(FDetect, Options.DetectInterval);
  for (int i = 0; i < HotKeyCount; ++i) {
    FHotKeys[i]->SetHotKey(Options.HotKey(static_cast<THotKeyAction>(i)));
  }
  for (int i = 0; i < 9; ++i) {
    FPresets[i]->setText(QString::fromStdString(Options.PresetCurrents[i]));
  }
  FPages->setCurrentIndex(0);
  FLoading = false;
}

void TOptionFrm::StoreToOptions(TOptions& Options) const {
  Options.Port = static_cast<TPort>(FPortTag);
  Options.AutoUpdate = FAutoUpdate->isChecked();
  Options.AutoDetect = FAutoDetect->isChecked();
  Options.DoubleClickOff = FDblClkOff->isChecked();
  Options.UpdateInterval = StorePeriod(FUpdate);
  Options.DetectInterval = StorePeriod(FDetect);
  for (int i = 0; i < HotKeyCount; ++i) {
    Options.HotKey(static_cast<THotKeyAction>(i)) = FHotKeys[i]->HotKey();
  }
  for (int i = 0; i < 9; ++i) Options.PresetCurrents[i] = FPresets[i]->text().toStdString();
}

void TOptionFrm::BitBtn1Click() {
  // A period still being typed counts as what the operator sees once the field lets go of it.
  FUpdate.Spin->interpretText();
  FDetect.Spin->interpretText();
  const std::optional<int> port = ParsePortText(FPort->currentText().toStdString());
  if (!port) {
    QMessageBox box(QMessageBox::Critical, "Unknown Port",
                    "Please check the Laser port again!\n(Valid port: COM1 ~ COM256)",
                    QMessageBox::Ok, this);
    box.setObjectName("UnknownPortBox");
    box.exec();
    FPages->setCurrentIndex(0);
    FPort->setFocus();
    return;
  }
  // A preset that is no number would only fail when its hot key is pressed, at the laser.
  for (int i = 0; i < 9; ++i) {
    const QString text = FPresets[i]->text();
    if (ParseDecimal(text.toStdString())) continue;
    QMessageBox box(QMessageBox::Critical, "Preset current",
                    QString("The preset current Ctrl+%1 is not a number: \"%2\".\n"
                            "(A current such as 12.50, with \".\" as the decimal separator)")
                        .arg(i + 1)
                        .arg(text),
                    QMessageBox::Ok, this);
    box.setObjectName("BadPresetBox");
    box.exec();
    FPages->setCurrentIndex(2);
    FPresets[i]->setFocus();
    FPresets[i]->selectAll();
    return;
  }
  FPortTag = *port;
  accept();
}

bool TOptionFrm::eventFilter(QObject* watched, QEvent* event) {
  // The editable port box would keep Enter for itself; with its list closed, Enter is OK.
  if (event->type() == QEvent::KeyPress && (watched == FPort || watched == FPort->lineEdit())) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        !FPort->view()->isVisible()) {
      BitBtn1Click();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TOptionFrm::LaserPortDropDown() {
  FillPortList();
}

void TOptionFrm::FillPortList() {
  const QString text = FPort->currentText();  // emptying the list must not lose what was typed
  FPort->clear();
  for (const TPortItem& item : PortListItems(PresentPortInfo())) {
    FPort->addItem(QString::fromStdString(item.Text), QString::fromStdString(item.Name));
  }
  // The list may be wider than the field: the devices beside the names stay readable.
  QAbstractItemView* list = FPort->view();
  list->setMinimumWidth(list->sizeHintForColumn(0) + list->verticalScrollBar()->sizeHint().width() +
                        2 * list->frameWidth());
  FPort->setEditText(text);
}

void TOptionFrm::AutoUpdateClick() {
  FUpdate.Spin->setEnabled(FAutoUpdate->isChecked());
}

void TOptionFrm::AutoDetectClick() {
  FDetect.Spin->setEnabled(FAutoDetect->isChecked());
}

void TOptionFrm::PreCurrentChange() {
  if (!FLoading) FPresetsEdited = true;
}
