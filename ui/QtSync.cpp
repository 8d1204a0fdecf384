#include "ui/QtSync.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <vector>

#include "laser/Sync.h"
#include "ui/Application.h"

namespace {

// One object on the UI thread that drains every installed synchronizer. A worker only posts
// a call by name to it: nothing of ours travels through Qt's queue, and the object lives as
// long as the application, so a late wake-up never reaches a destroyed window.
class TSyncPump : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  std::vector<TSynchronizer*> Syncs;  // UI thread only

  void Post() { QMetaObject::invokeMethod(this, "Drain", Qt::QueuedConnection); }

  Q_INVOKABLE void Drain() {
    const std::vector<TSynchronizer*> syncs = Syncs;  // a handler may install or remove one
    for (TSynchronizer* sync : syncs) {
      if (std::find(Syncs.begin(), Syncs.end(), sync) == Syncs.end()) continue;
      try {
        sync->CheckSynchronize();
      } catch (...) {
        // The worker of the failed call has been released; calls behind it still wait, so
        // drain again once the message has been seen.
        Post();
        TLaserApplication::HandleException();
      }
    }
  }
};

TSyncPump* Pump() {
  static TSyncPump* pump = new TSyncPump(QCoreApplication::instance());
  return pump;
}

}  // namespace

TQtSync::TQtSync(TSynchronizer& Sync) : FSync(Sync) {
  TSyncPump* pump = Pump();
  pump->Syncs.push_back(&Sync);
  Sync.SetWakeUp([pump] { pump->Post(); });
  // Calls queued before the wake-up was there.
  pump->Post();
}

TQtSync::~TQtSync() {
  FSync.SetWakeUp(nullptr);
  auto& syncs = Pump()->Syncs;
  syncs.erase(std::remove(syncs.begin(), syncs.end(), &FSync), syncs.end());
}

#include "QtSync.moc"
