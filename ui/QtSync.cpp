#include "ui/QtSync.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "laser/Sync.h"
#include "ui/Application.h"

// Shared between the UI thread and the workers' wake-ups: the workers only copy the pointer and
// post; Sync is read and cleared on the UI thread alone.
struct TQtSync::TState {
  TSynchronizer* Sync = nullptr;
};

namespace {

void Drain(const std::shared_ptr<TQtSync::TState>& State);

void Post(std::shared_ptr<TQtSync::TState> State) {
  // The application object outlives every window, so posting to it is safe from any thread.
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(
      app, [State = std::move(State)] { Drain(State); }, Qt::QueuedConnection);
}

void Drain(const std::shared_ptr<TQtSync::TState>& State) {
  if (!State->Sync) return;
  try {
    State->Sync->CheckSynchronize();
  } catch (...) {
    // The worker of the failed call has been released; calls behind it still wait, so drain
    // again once the message has been seen.
    Post(State);
    TLaserApplication::HandleException();
  }
}

}  // namespace

TQtSync::TQtSync(TSynchronizer& Sync) : FState(std::make_shared<TState>()), FSync(Sync) {
  FState->Sync = &Sync;
  std::weak_ptr<TState> weak = FState;
  Sync.SetWakeUp([weak] {
    if (auto state = weak.lock()) Post(std::move(state));
  });
}

TQtSync::~TQtSync() {
  FSync.SetWakeUp(nullptr);
  FState->Sync = nullptr;
}
