#include "ui/AboutFrm.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#ifdef _WIN32
#include "platform/WinShell.h"
#endif

#ifndef LASER_PRODUCT_NAME
#define LASER_PRODUCT_NAME ""
#endif
#ifndef LASER_VERSION
#define LASER_VERSION ""
#endif

QString AboutCaption(const QString& productName) {
  if (productName.contains("Corvane")) return "About " + productName;
  return "About Corvane " + productName;
}

// On Windows from the version resource of the program's own executable, as a user expects of
// an about box there; elsewhere from the build.
QString BuildProductName() {
#ifdef _WIN32
  return QString::fromStdString(ProgramVersionString("ProductName").value_or(""));
#else
  return QStringLiteral(LASER_PRODUCT_NAME);
#endif
}

QString BuildFileVersion() {
#ifdef _WIN32
  return QString::fromStdString(ProgramVersionString("FileVersion").value_or(""));
#else
  return QStringLiteral(LASER_VERSION);
#endif
}

namespace {

// A label that acts like a link: hand cursor, underlined, a click runs the given handler.
class TLinkLabel : public QLabel {
 public:
  TLinkLabel(const QString& text, std::function<void()> onClick, QWidget* parent)
      : QLabel(text, parent), FOnClick(std::move(onClick)) {
    setCursor(Qt::PointingHandCursor);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(0, 0, 255));
    setPalette(p);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QLabel::mouseReleaseEvent(event);
    if (FOnClick) FOnClick();
  }

 private:
  std::function<void()> FOnClick;
};

QLabel* NamedLabel(const QString& name, const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  return label;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About Laser Program");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  auto* frame = new QFrame(this);
  frame->setObjectName("Panel1");
  frame->setFrameShape(QFrame::StyledPanel);
  frame->setFrameShadow(QFrame::Sunken);
  FImage = NamedLabel("Image1", "", frame);
  FImage->setFixedSize(32, 32);
  auto* frameLayout = new QVBoxLayout(frame);
  frameLayout->setContentsMargins(4, 4, 4, 4);
  frameLayout->addWidget(FImage);

  FProductName = NamedLabel("ProductName", "ProductName", this);
  QFont bold = FProductName->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  FProductName->setFont(bold);
  FFileVersion = NamedLabel("FileVersion", "FileVersion", this);
  auto* version = new QHBoxLayout;
  version->addWidget(NamedLabel("Label3", "Ver.", this));
  version->addWidget(FFileVersion);
  version->addStretch();

  auto* maker = NamedLabel("Label1", "Corvane GmbH", this);
  auto* tagline = NamedLabel("Label2", "Lasers and laser controls", this);
  auto* further = NamedLabel("Label5", "Made for the QXC03 controller family", this);
  auto* link = new TLinkLabel(
      QUrl(kMakerHomePage).host(), [this] { Label4Click(); }, this);
  link->setObjectName("Label4");
  link->setToolTip("Visit Corvane Homepage");

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OKBtn");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);  // Esc rejects: a cancel button too

  auto* text = new QVBoxLayout;
  text->setSpacing(2);
  text->addWidget(FProductName);
  text->addLayout(version);
  text->addSpacing(8);
  text->addWidget(maker);
  text->addWidget(tagline);
  text->addWidget(further);
  text->addWidget(link);
  text->addStretch();

  auto* top = new QHBoxLayout;
  top->setSpacing(12);
  top->addWidget(frame, 0, Qt::AlignTop);
  top->addLayout(text, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addStretch();

  FSettingsFile = NamedLabel("SettingsFile", "", this);
  FSettingsFile->hide();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(12, 12, 12, 10);
  layout->addLayout(top, 1);
  layout->addWidget(FSettingsFile);
  layout->addLayout(buttons);

  FormCreate();
  setFixedSize(313, 160);
}

void TAboutForm::ShowSettingsFile(const std::filesystem::path& File) {
  const QString path = QString::fromStdU16String(File.u16string());
  QString brief = path;
#ifndef _WIN32
  // The home folder as Linux users write it.
  const QString home = QDir::homePath();
  if (home.size() > 1 && path.startsWith(home + '/')) brief = '~' + path.mid(home.size());
#endif
  const QString label = QStringLiteral("Settings: ");
  const QFontMetrics metrics = FSettingsFile->fontMetrics();
  const int room = width() - layout()->contentsMargins().left() -
                   layout()->contentsMargins().right() - metrics.horizontalAdvance(label);
  // The folder gives way in its middle; the file's own name stays whole.
  const QString name = QString::fromStdU16String(File.filename().u16string());
  const QString folder = brief.left(brief.size() - name.size());
  QString shown = brief;
  if (metrics.horizontalAdvance(brief) > room) {
    const int folderRoom = room - metrics.horizontalAdvance(name);
    shown = folderRoom > metrics.horizontalAdvance(QStringLiteral("/\u2026/"))
                ? metrics.elidedText(folder, Qt::ElideMiddle, folderRoom) + name
                : metrics.elidedText(brief, Qt::ElideMiddle, room);
  }
  FSettingsFile->setText(label + shown);
  FSettingsFile->setToolTip(path);
  if (FSettingsFile->isHidden()) {
    FSettingsFile->show();
    setFixedSize(width(), height() + FSettingsFile->sizeHint().height() + layout()->spacing());
  }
}

void TAboutForm::FormCreate() {
  // Without version information the design texts stay.
  const QString product = BuildProductName();
  if (!product.isEmpty()) {
    FProductName->setText(product);
    setWindowTitle(AboutCaption(product));
  }
  const QString version = BuildFileVersion();
  if (!version.isEmpty()) FFileVersion->setText(version);
  QIcon icon = QApplication::windowIcon();
  if (icon.isNull()) icon = style()->standardIcon(QStyle::SP_ComputerIcon);
  FImage->setPixmap(icon.pixmap(32, 32));
}

void TAboutForm::Label4Click() {
#ifdef _WIN32
  ShellOpen(kMakerHomePage);
#else
  QDesktopServices::openUrl(QUrl(kMakerHomePage));
#endif
}
