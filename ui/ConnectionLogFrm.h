// The log window: shows the main window's connection log (the probe results of each connection)
// and lets the operator save, copy or clear it.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "logic/TextEncoding.h"

class QPlainTextEdit;
class QPushButton;

class TLogForm : public QDialog {
  Q_OBJECT

 public:
  explicit TLogForm(QWidget* parent = nullptr);

  // Takes a copy of the log's lines, remembers the log (not owned) and runs modally.
  void ShowLog(std::vector<std::string>& log);
  // The first half of ShowLog, without the modal run.
  void SetLog(std::vector<std::string>& log);

  void SaveLogsClick();
  void CopyToClipboardClick();
  void ClearLogsClick();
  // Writes the memo's lines to path; false after telling the operator why it failed.
  bool SaveToFile(const QString& path, TTextEncoding encoding);

  QPlainTextEdit* LogMemo() const { return FMemo; }

 private:
  QPlainTextEdit* FMemo = nullptr;
  std::vector<std::string>* FLog = nullptr;
};
