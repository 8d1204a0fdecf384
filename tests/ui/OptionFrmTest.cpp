// The options dialog with its real controls.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <filesystem>

#include "DialogTestUtil.h"
#include "tests/TempDir.h"
#include "ui/SetOption.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

TOptions Unusual() {
  TOptions o;
  o.Port = 42;
  o.AllowOver100A = true;
  o.AutoUpdate = false;
  o.AutoDetect = true;
  o.DoubleClickOff = false;
  o.UpdateInterval = 2500;
  o.DetectInterval = 1500;
  o.ConnectLaser = scCtrl | scShift | 'K';
  o.InternalTrigger = scAlt | 0x70;  // Alt+F1
  o.ExternalTrigger = 0;
  o.CWMode = scCtrl | '7';
  o.LaserOn = scCtrl | scAlt | 'N';
  o.LaserOff = scCtrl | 'S';
  o.SetCurrentZero = scCtrl | '0';
  o.PresetCurrents = {"1.5", "2", "", "x", "12.25", "0", "7", "8.00", "99.99"};
  return o;
}

template <typename T>
T* Child(QWidget& w, const char* name) {
  T* child = w.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

TEST(OptionFrm, Layout) {
  TOptionFrm frm;
  EXPECT_EQ(frm.windowTitle(), "Options");
  // The classic width; as tall as the hot keys' rows need.
  EXPECT_EQ(frm.width(), 411);
  EXPECT_GE(frm.height(), 301);
  auto* pages = Child<QTabWidget>(frm, "PageControl1");
  ASSERT_EQ(pages->count(), 4);
  EXPECT_EQ(pages->tabText(0), "General");
  EXPECT_EQ(pages->tabText(1), "Hot keys");
  EXPECT_EQ(pages->tabText(2), "Preset currents");
  EXPECT_EQ(pages->tabText(3), "Remote");
  // The double-click setting is one the operator can see and change.
  EXPECT_FALSE(Child<QCheckBox>(frm, "DblClkOff")->isHidden());
  // Every hot-key editor whole on its page and clear of the next.
  pages->setCurrentIndex(1);
  frm.show();
  QWidget* previous = nullptr;
  for (const char* name :
       {"ConnectKey", "InternalTrigKey", "ExternalTrigKey", "CWKey", "LaserOnKey", "LaserOffKey",
        "SetCurrent0Key", "StartRecordingKey", "StopRecordingKey", "TrendsKey"}) {
    auto* edit = Child<THotKeyEdit>(frm, name);
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->parentWidget()->rect().contains(edit->geometry())) << name;
    EXPECT_GE(edit->height(), edit->minimumSizeHint().height()) << name;
    if (previous) {
      EXPECT_GT(edit->geometry().top(), previous->geometry().bottom()) << name;
    }
    previous = edit;
  }
}

// The "Remote" page: its port and control follow the switch, and what is loaded comes back.
TEST(OptionFrm, RemotePage) {
  TOptionFrm frm;
  const struct {
    TRemoteSettings Settings;
  } cases[] = {{{false, 5025, false}}, {{true, 65535, true}}, {{true, 1, false}}};
  for (const auto& c : cases) {
    frm.LoadRemote(c.Settings, QStringLiteral("Off"));
    EXPECT_EQ(Child<QSpinBox>(frm, "RemotePort")->isEnabled(), c.Settings.Enabled);
    EXPECT_EQ(Child<QCheckBox>(frm, "RemoteAllowControl")->isEnabled(), c.Settings.Enabled);
    TRemoteSettings back;
    frm.StoreRemote(back);
    EXPECT_EQ(back, c.Settings);
  }
  Child<QCheckBox>(frm, "RemoteEnabled")->setChecked(false);
  EXPECT_FALSE(Child<QSpinBox>(frm, "RemotePort")->isEnabled());
  EXPECT_EQ(Child<QLabel>(frm, "RemoteState")->text(), "Status: Off");
}

TEST(OptionFrm, LoadAndStoreRoundTrip) {
  TOptionFrm frm;
  const TOptions in = Unusual();
  frm.LoadFromOptions(in);
  EXPECT_EQ(Child<QComboBox>(frm, "LaserPort")->currentText(), "COM42");
  EXPECT_FALSE(Child<QSpinBox>(frm, "UpdateTime")->isEnabled());
  EXPECT_TRUE(Child<QSpinBox>(frm, "DetectTime")->isEnabled());
  EXPECT_EQ(Child<THotKeyEdit>(frm, "ExternalTrigKey")->text(), "None");
  EXPECT_EQ(Child<THotKeyEdit>(frm, "ConnectKey")->text(), "Ctrl+Shift+K");

  TOptions out;  // defaults everywhere, AllowOver100A false
  frm.StoreToOptions(out);
  TOptions expected = in;
  expected.AllowOver100A = false;  // not the dialog's to carry
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(frm.PresetsEdited());  // loading is no edit
}

TEST(OptionFrm, PeriodsOutsideTheArrowsRange) {
  struct {
    std::int32_t Stored;
    int Shown;
  } cases[] = {{100, 500}, {0, 500}, {-5, 500}, {40000, 32767}, {500, 500}, {32767, 32767}};
  for (const auto& c : cases) {
    TOptionFrm frm;
    TOptions in;
    in.UpdateInterval = c.Stored;
    in.DetectInterval = c.Stored;
    frm.LoadFromOptions(in);
    auto* update = Child<QSpinBox>(frm, "UpdateTime");
    EXPECT_EQ(update->value(), c.Shown) << c.Stored;
    TOptions out;
    frm.StoreToOptions(out);
    EXPECT_EQ(out.UpdateInterval, c.Stored) << "kept unless changed";
    EXPECT_EQ(out.DetectInterval, c.Stored);

    update->setValue(1500);  // the operator's change wins
    frm.StoreToOptions(out);
    EXPECT_EQ(out.UpdateInterval, 1500) << c.Stored;
    EXPECT_EQ(out.DetectInterval, c.Stored);
  }
  // Typed values outside the range are clamped by the field.
  TOptionFrm frm;
  frm.LoadFromOptions(TOptions{});
  auto* detect = Child<QSpinBox>(frm, "DetectTime");
  detect->findChild<QLineEdit*>()->setText("100");
  detect->interpretText();
  QTest::keyClick(detect, Qt::Key_Tab);
  TOptions out;
  frm.StoreToOptions(out);
  EXPECT_GE(out.DetectInterval, 500);
}

TEST(OptionFrm, AutomationCheckBoxesEnableTheirFields) {
  TOptionFrm frm;
  TOptions in;
  in.UpdateInterval = 3000;
  frm.LoadFromOptions(in);
  frm.show();
  auto* box = Child<QCheckBox>(frm, "AutoUpdate");
  auto* field = Child<QSpinBox>(frm, "UpdateTime");
  auto* detectBox = Child<QCheckBox>(frm, "AutoDetect");
  auto* detectField = Child<QSpinBox>(frm, "DetectTime");
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
  EXPECT_FALSE(box->isChecked());
  EXPECT_FALSE(field->isEnabled());
  EXPECT_TRUE(detectField->isEnabled());
  QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
  EXPECT_TRUE(field->isEnabled());
  EXPECT_EQ(field->value(), 3000);
  QTest::mouseClick(detectBox, Qt::LeftButton, {}, QPoint(5, detectBox->height() / 2));
  EXPECT_FALSE(detectField->isEnabled());
  frm.hide();
}

TEST(OptionFrm, OkChecksThePortText) {
  struct {
    const char* Text;
    int Port;  // 0: the "Unknown Port" message, dialog stays open
  } cases[] = {
      {"com7", 7},   {" COM7 ", 7}, {"COM07", 7}, {"COM256", 256}, {"COM0", 0},
      {"COM257", 0}, {"COM3x", 0},  {"7", 0},     {"", 0},         {"No serial port present", 0}};
  for (const auto& c : cases) {
    TOptionFrm frm;
    TOptions in;
    in.Port = 3;
    frm.LoadFromOptions(in);
    auto* pages = Child<QTabWidget>(frm, "PageControl1");
    auto* port = Child<QComboBox>(frm, "LaserPort");
    port->setEditText(c.Text);
    pages->setCurrentIndex(2);
    frm.show();
    test::TSeenMessage seen;
    test::DismissNextMessage(seen);
    QTest::mouseClick(Child<QPushButton>(frm, "BitBtn1"), Qt::LeftButton);
    QApplication::processEvents();
    TOptions out;
    frm.StoreToOptions(out);
    if (c.Port != 0) {
      EXPECT_FALSE(seen.Seen) << c.Text;
      EXPECT_EQ(frm.result(), QDialog::Accepted) << c.Text;
      EXPECT_FALSE(frm.isVisible());
      EXPECT_EQ(out.Port, c.Port) << c.Text;
    } else {
      EXPECT_TRUE(seen.Seen) << c.Text;
      EXPECT_EQ(seen.Title, "Unknown Port");
      EXPECT_EQ(seen.Text, "Please check the Laser port again!\n(Valid port: COM1 ~ COM256)");
      EXPECT_EQ(seen.Icon, QMessageBox::Critical);
      EXPECT_TRUE(frm.isVisible()) << c.Text;
      EXPECT_EQ(pages->currentIndex(), 0);
      EXPECT_EQ(out.Port, 3) << "the loaded port stays";
      frm.hide();
    }
  }
}

TEST(OptionFrm, PresetsEditedSurvivesCancel) {
  TOptionFrm frm;
  frm.LoadFromOptions(Unusual());
  EXPECT_FALSE(frm.PresetsEdited());
  frm.show();
  auto* current5 = Child<QLineEdit>(frm, "Current5");
  QTest::keyClicks(current5, "5");
  QTest::mouseClick(Child<QPushButton>(frm, "BitBtn2"), Qt::LeftButton);
  EXPECT_EQ(frm.result(), QDialog::Rejected);
  EXPECT_TRUE(frm.PresetsEdited());
  frm.LoadFromOptions(TOptions{});  // the next opening reloads every field, the flag stays
  EXPECT_TRUE(frm.PresetsEdited());
  EXPECT_EQ(current5->text(), "0");
}

TEST(OptionFrm, HotKeyEditorAddsAlt) {
  struct {
    Qt::Key Key;
    Qt::KeyboardModifiers Mods;
    TShortCut Expected;
  } cases[] = {
      {Qt::Key_L, Qt::NoModifier, scAlt | 'L'},
      {Qt::Key_L, Qt::ShiftModifier, scAlt | scShift | 'L'},
      {Qt::Key_L, Qt::ControlModifier, scCtrl | 'L'},
      {Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier, scCtrl | scShift | 'L'},
      {Qt::Key_F5, Qt::AltModifier, scAlt | 0x74},
      {Qt::Key_F1, Qt::NoModifier, scAlt | 0x70},
      {Qt::Key_1, Qt::ControlModifier | Qt::AltModifier, scCtrl | scAlt | '1'},
      {Qt::Key_Backspace, Qt::NoModifier, 0},
      {Qt::Key_Delete, Qt::NoModifier, 0},
      {Qt::Key_Shift, Qt::ShiftModifier, scCtrl | 'Q'},  // a modifier alone changes nothing
      {Qt::Key_Return, Qt::NoModifier, scCtrl | 'Q'},    // Enter stays the dialog's
  };
  TOptionFrm frm;
  frm.LoadFromOptions(TOptions{});
  frm.show();
  auto* editor = Child<THotKeyEdit>(frm, "LaserOnKey");
  for (const auto& c : cases) {
    editor->SetHotKey(scCtrl | 'Q');
    editor->setFocus();
    QTest::keyClick(editor, c.Key, c.Mods);
    EXPECT_EQ(editor->HotKey(), c.Expected) << c.Key << " " << c.Mods.toInt();
  }
  frm.hide();
}

#if defined(_WIN32)
// COM77 in the registry's list of serial ports while it lives (a value of the device map, which
// Wine's prefix lets a test write). The registry names no device behind it.
const QString kItem = QStringLiteral("COM77");
class TPresentPort {
 public:
  TPresentPort() {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                    nullptr, &FKey, nullptr);
    const wchar_t data[] = L"COM77";
    EXPECT_EQ(
        RegSetValueExW(FKey, kName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof data),
        ERROR_SUCCESS);
  }
  ~TPresentPort() {
    RegDeleteValueW(FKey, kName);
    RegCloseKey(FKey);
  }

 private:
  static constexpr const wchar_t* kSerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
  static constexpr const wchar_t* kName = L"\\Device\\LaserTestPort77";
  HKEY FKey = nullptr;
};
#else
// COM77 among the ports while it lives: a link in the folder that LASER_COM_DIR names.
const QString kItem = QString::fromUtf8("COM77 \u2014 /dev/null");
class TPresentPort {
 public:
  TPresentPort() {
    std::filesystem::create_symlink("/dev/null", FDir.Path() / "COM77");
    test::SetEnv("LASER_COM_DIR", FDir.String());
  }
  ~TPresentPort() { test::UnsetEnv("LASER_COM_DIR"); }

 private:
  test::TTempDir FDir{"laser-ports"};
};
#endif

TEST(OptionFrm, PortListFromTheSerialLayer) {
  TPresentPort present;

  TOptionFrm frm;
  TOptions in;
  in.Port = 77;
  frm.LoadFromOptions(in);
  auto* port = Child<QComboBox>(frm, "LaserPort");
  EXPECT_EQ(port->count(), 0) << "filled on the first drop-down";
  for (int drop = 0; drop < 2; ++drop) {
    frm.LaserPortDropDown();
    int found = -1;
    for (int i = 0; i < port->count(); ++i) {
      const QString item = port->itemText(i);
      EXPECT_TRUE(item.startsWith("COM") || item == "No serial port present") << item.toStdString();
      if (item == kItem) {
        EXPECT_EQ(found, -1) << "listed once";
        found = i;
      }
    }
    ASSERT_GE(found, 0) << "drop-down " << drop;
    EXPECT_EQ(port->currentText(), "COM77") << "the field keeps its text";
  }
  // Choosing an item (the list sets the field to it, then reports the choice) puts only the
  // port's name into the field.
  port->setEditText("COM1");
  const int item = port->findText(kItem);
  port->setCurrentIndex(item);
  emit port->activated(item);
  EXPECT_EQ(port->currentText(), "COM77");
}

}  // namespace
