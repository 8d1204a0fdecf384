// Signalling events and the synchronous hand-over from worker threads to the UI thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

#include "serial/ComPort.h"  // TWaitHandle

// A manual- or auto-reset event. Its Handle() is readable while it is signalled, so a thread can
// wait for it together with a serial port.
class TEvent {
 public:
  explicit TEvent(bool manualReset = true, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits at most timeoutMs (negative: no limit). True when signalled; an auto-reset event is
  // then reset again. False on timeout or when the wait itself failed (see LastError).
  bool Wait(int timeoutMs);
  TWaitHandle Handle() const { return FHandle; }

  // Waits for the first of several events; returns its position in the list, or -1 on timeout,
  // or -2 when the wait failed. When several are signalled, the first in the list wins.
  static int WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs);

 private:
  bool TryConsume();  // for auto-reset events: take the signal if it is still there

  const bool FManualReset;
  mutable std::mutex FLock;
  bool FSignalled = false;
  TWaitHandle FHandle;
};

// The calling thread's last system error code (errno; GetLastError on Windows), and the
// system's message text for a code, without a trailing line break.
int LastSystemError();
std::string SystemErrorText(int code);

// Worker threads hand calls to the UI thread and wait until it has run them.
class TSynchronizer {
 public:
  TSynchronizer();  // the constructing thread is taken as the UI thread
  TSynchronizer(const TSynchronizer&) = delete;
  TSynchronizer& operator=(const TSynchronizer&) = delete;

  // Runs fn on the UI thread and returns when it has run; on the UI thread it runs at once.
  // After Shutdown, returns at once without running fn.
  void Synchronize(const std::function<void()>& fn);
  // UI thread: runs every pending call; true when at least one ran. An exception of a call is
  // passed on to the caller after the waiting worker has been released.
  bool CheckSynchronize();
  // UI thread: waits at most timeoutMs for a pending call (for tests and simple event loops).
  bool WaitPending(int timeoutMs);
  // Called (on the worker's thread) whenever a call is queued; a GUI posts a CheckSynchronize
  // into its event loop from here.
  void SetWakeUp(std::function<void()> wakeUp);
  // Readable while calls are pending.
  TWaitHandle Handle() const { return FPending.Handle(); }

  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }
  void SetMainThread(std::thread::id id) { FMainThread = id; }

  // Releases every waiting worker without running its call; later calls are not run either.
  // Used while the owner is destroyed, when nothing may reach the UI any more.
  void Shutdown();

 private:
  struct TCall {
    const std::function<void()>* Fn;
    bool Done = false;
  };
  std::thread::id FMainThread;
  std::mutex FLock;
  std::condition_variable FDone;
  std::deque<TCall*> FCalls;
  std::function<void()> FWakeUp;
  bool FShutdown = false;
  TEvent FPending{true, false};
};
