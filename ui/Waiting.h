// The modal box shown while the laser controller clears an error or resets: a message, a running
// indicator, and a button that stops waiting early.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class TWaitingBox : public QDialog {
  Q_OBJECT

 public:
  explicit TWaitingBox(QWidget* parent = nullptr);

  // Resets the indicator, shows msg, starts the tick and runs the box modally; returns once the
  // box has closed, by Close() or by "Stop Waiting".
  void ShowWithMessage(const QString& msg);
  // Closes the box; nothing happens when it is not shown (an early "Stop Waiting" came first).
  void Close();

  // Called after every closing, with the box. May be empty.
  std::function<void(TWaitingBox*)> OnClosed;
  // The "Laser OFF" button: the laser is switched off while the box waits on. May be empty.
  std::function<void()> OnLaserOff;

  void TimerTimer();  // one 100 ms tick: the indicator and the count advance by one

  QLabel* Label1() const { return FLabel; }
  QProgressBar* ProgressBar() const { return FProgress; }
  QTimer* Timer() const { return FTimer; }
  QPushButton* BitBtn1() const { return FStop; }
  QPushButton* LaserOffButton() const { return FLaserOff; }

 protected:
  void done(int result) override;  // every way of closing a dialog ends here

 private:
  void FormClose();

  QLabel* FLabel = nullptr;
  QProgressBar* FProgress = nullptr;
  QTimer* FTimer = nullptr;
  QPushButton* FStop = nullptr;
  QPushButton* FLaserOff = nullptr;
};
