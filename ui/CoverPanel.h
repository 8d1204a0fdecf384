// The cover panel Panel1: "Laser Disconnected" with its picture and logo, lying over the control
// groups while no laser is ready and sliding away (down, out of the client area) when one is.
#pragma once

#include <QFrame>
#include <QTimer>

class QLabel;

class TCoverPanel : public QFrame {
 public:
  // Area: the client area below the tool bar, whose top lies ClientTop pixels below the
  // window's client top. The panel's home (its Tag) is 49: just below the tool bar.
  TCoverPanel(QWidget* Area, int ClientTop);

  static constexpr int Tag = 49;
  static constexpr int PanelHeight = 198;  // in the smallest window; it grows with the window
  static constexpr int Step = 20;          // pixels per animation step
  static constexpr int StepMs = 10;        // pause between steps

  // Slides up over the controls (disconnected) or down out of sight (connected). The slide runs
  // from the event loop; calling again reverses it from wherever it stands.
  void SlideUp();
  void SlideDown();
  // At home at once (start-up).
  void PlaceAtHome();
  // The client area has a new size: the panel takes it, and stays where it stood (over the
  // controls, or just below the client area).
  void Fit(QSize Area);
  // Top in the window's client coordinates (Tag when covering, Tag + height + 1 when away).
  int ClientTopPos() const { return y() + FClientTop; }
  bool Sliding() const { return FTimer.isActive(); }
  bool Covering() const { return !FDown; }

  QLabel* Image1;
  QLabel* Caption;
  QLabel* QNLogo;

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  void Tick();
  void SetClientTop(int Top) { move(x(), Top - FClientTop); }

  const int FClientTop;
  bool FDown = false;
  QTimer FTimer;
};
