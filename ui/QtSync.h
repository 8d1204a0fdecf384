// The hand-over into Qt: a worker's Synchronize posts a call to CheckSynchronize into the Qt
// event loop, so laser events run on the UI thread also while a modal box runs its own loop.
#pragma once

class TSynchronizer;

// Installs the wake-up on Sync for as long as this object lives; destroying it (on the UI
// thread) detaches it, and wake-ups already posted then do nothing.
class TQtSync {
 public:
  explicit TQtSync(TSynchronizer& Sync);
  ~TQtSync();
  TQtSync(const TQtSync&) = delete;
  TQtSync& operator=(const TQtSync&) = delete;

 private:
  TSynchronizer& FSync;
};
