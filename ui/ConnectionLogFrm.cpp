#include "ui/ConnectionLogFrm.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// Log lines are 8-bit texts: UTF-8 where they are valid UTF-8, else taken byte by byte.
QString LineText(const std::string& line) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8(QByteArrayView(line.data(), static_cast<qsizetype>(line.size())));
  if (utf8.hasError()) text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
  return text;
}

#ifdef Q_OS_WIN
constexpr const char* kLineBreak = "\r\n";
#else
constexpr const char* kLineBreak = "\n";
#endif

}  // namespace

TLogForm::TLogForm(QWidget* parent) : QDialog(parent) {
  setObjectName("LogForm");
  setWindowTitle("Log information");
  setSizeGripEnabled(true);

  FMemo = new QPlainTextEdit(this);
  FMemo->setObjectName("LogMemo");
  FMemo->setReadOnly(true);
  FMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  FMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  FMemo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  auto button = [this](const char* name, const QString& text, QStyle::StandardPixmap icon) {
    auto* b = new QPushButton(style()->standardIcon(icon), text, this);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
  };
  QPushButton* save = button("SaveLogs", "Save as...", QStyle::SP_DialogSaveButton);
  QPushButton* copy = button("CopyToClipboard", "Copy", QStyle::SP_FileDialogDetailedView);
  QPushButton* clear = button("ClearLogs", "Clear", QStyle::SP_DialogResetButton);
  QPushButton* close = button("BitBtn2", "&Close", QStyle::SP_DialogCloseButton);
  connect(save, &QPushButton::clicked, this, &TLogForm::SaveLogsClick);
  connect(copy, &QPushButton::clicked, this, &TLogForm::CopyToClipboardClick);
  connect(clear, &QPushButton::clicked, this, &TLogForm::ClearLogsClick);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);  // Esc rejects as well

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(save);
  buttons->addWidget(copy);
  buttons->addWidget(clear);
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addWidget(FMemo, 1);
  layout->addLayout(buttons);
  resize(447, 219);
}

void TLogForm::ShowLog(std::vector<std::string>& log) {
  SetLog(log);
  exec();
}

void TLogForm::SetLog(std::vector<std::string>& log) {
  QStringList lines;
  lines.reserve(static_cast<qsizetype>(log.size()));
  for (const std::string& line : log) lines << LineText(line);
  FMemo->setPlainText(lines.join('\n'));
  FLog = &log;
}

void TLogForm::ClearLogsClick() {
  FMemo->clear();
  if (FLog) FLog->clear();
}

void TLogForm::CopyToClipboardClick() {
  FMemo->copy();  // nothing when nothing is selected
}

void TLogForm::SaveLogsClick() {
  // Qt's own dialog, so that an encoding choice can sit below the file-type row.
  QFileDialog dialog(this, "Save log as...");
  dialog.setObjectName("SaveTextFileDialog1");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix("txt");
  dialog.setNameFilters({"Log file(*.txt *.log)", "Any file (*)"});
  dialog.setSizeGripEnabled(true);
  auto* encoding = new QComboBox(&dialog);
  encoding->setObjectName("Encoding");
  for (const TTextEncoding e : kTextEncodings) {
    encoding->addItem(EncodingName(e), static_cast<int>(e));
  }
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
    const int row = grid->rowCount();
    grid->addWidget(new QLabel("Encoding:", &dialog), row, 0);
    grid->addWidget(encoding, row, 1);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveToFile(dialog.selectedFiles().constFirst(),
             static_cast<TTextEncoding>(encoding->currentData().toInt()));
}

bool TLogForm::SaveToFile(const QString& path, TTextEncoding encoding) {
  std::string text;
  const QString memo = FMemo->toPlainText();
  if (!memo.isEmpty()) {
    for (const QString& line : memo.split('\n')) {
      text += EncodeText(line.toStdString(), encoding);
      text += kLineBreak;
    }
  }
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.flush()) {
    QMessageBox::critical(this, "Error",
                          QString("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    return false;
  }
  return true;
}
