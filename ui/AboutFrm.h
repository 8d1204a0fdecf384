// The about box: the program's product name and version, and the maker's details with a link to
// its home page. Created for each showing.
#pragma once

#include <QDialog>
#include <QString>
#include <filesystem>

class QLabel;
class QPushButton;

// "About " + name when the name already carries the maker's name, else "About Corvane " + name.
QString AboutCaption(const QString& productName);

// The product name and version the build gives the program.
QString BuildProductName();
QString BuildFileVersion();

inline constexpr const char* kMakerHomePage = "https://www.corvane.example/";

class TAboutForm : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutForm(QWidget* parent = nullptr);

  void Label4Click();  // opens the maker's home page in the desktop's browser
  // The line that names the settings file in use (elided in the middle; the whole path is its
  // tool tip).
  void ShowSettingsFile(const std::filesystem::path& File);

 private:
  void FormCreate();

  QLabel* FImage = nullptr;
  QLabel* FProductName = nullptr;
  QLabel* FFileVersion = nullptr;
  QLabel* FSettingsFile = nullptr;
};
