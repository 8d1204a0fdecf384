// The program's QApplication: the default error handler at the event-loop boundary. A handler
// that throws (a number that does not convert, a list index out of range) ends there; its
// message is shown in a box captioned "Error" and the program goes on.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

class TLaserApplication : public QApplication {
 public:
  TLaserApplication(int& argc, char** argv);
  bool notify(QObject* Receiver, QEvent* Event) override;

  // Shows the message of the exception being handled (call inside a catch block).
  static void HandleException();
  // The message box of the default handler, owned by the active window.
  static void ShowError(const std::string& Message);
};

// Runs Fn and hands any exception to the default error handler, so that nothing unwinds
// through Qt's frames. Every slot of ours that may throw goes through this.
void Guarded(const std::function<void()>& Fn);

// Wraps a callable for a signal connection: the same as Guarded, per call. Arguments the
// callable does not take (a signal's private tag) are dropped.
template <typename F>
auto Guard(F Fn) {
  return [Fn = std::move(Fn)](auto&&... Args) {
    Guarded([&] {
      if constexpr (std::is_invocable_v<F&, decltype(Args)...>) {
        Fn(std::forward<decltype(Args)>(Args)...);
      } else {
        Fn();
      }
    });
  };
}
