// One place where the laser's events fan out on the window's side. The engine keeps one optional
// handler per event; this object is the only one that sets them, and hands each event on to every
// part that subscribed (the control panel, the detection, the console, the log, the recorder, the
// remote server). A part keeps the subscriptions it took; when they go, it hears nothing more.
//
// An engine handler is set only while someone listens: the received text and the engine's own
// reads are handed over from the worker threads only while their handler is set, so a console
// that is hidden costs nothing.
//
// Everything here runs on the UI thread, where the engine raises its events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "laser/QNLaser.h"

// Ends a subscription when it goes (or on Cancel). Safe to outlive the fan-out it came from.
class TSubscription {
 public:
  TSubscription() = default;
  explicit TSubscription(std::function<void()> Cancel) : FCancel(std::move(Cancel)) {}
  TSubscription(TSubscription&& Other) noexcept : FCancel(std::exchange(Other.FCancel, {})) {}
  TSubscription& operator=(TSubscription&& Other) noexcept {
    if (this != &Other) {
      Cancel();
      FCancel = std::exchange(Other.FCancel, {});
    }
    return *this;
  }
  TSubscription(const TSubscription&) = delete;
  TSubscription& operator=(const TSubscription&) = delete;
  ~TSubscription() { Cancel(); }

  void Cancel() {
    if (auto cancel = std::exchange(FCancel, {})) cancel();
  }

 private:
  std::function<void()> FCancel;
};

// The subscriptions one part holds; they end together when it goes.
class TSubscriptions {
 public:
  TSubscriptions& operator+=(TSubscription S) {
    FAll.push_back(std::move(S));
    return *this;
  }
  void Clear() {
    // Last taken, first ended.
    while (!FAll.empty()) FAll.pop_back();
  }
  ~TSubscriptions() { Clear(); }

 private:
  std::vector<TSubscription> FAll;
};

// The subscribers of one event, called in the order they subscribed. A subscriber may subscribe
// or unsubscribe anyone, itself included, while the event is handed on: one that left is not
// called any more, one that joined hears the next event.
template <typename... Args>
class TFanOut {
 public:
  using THandler = std::function<void(Args...)>;

  TFanOut() = default;
  TFanOut(const TFanOut&) = delete;
  TFanOut& operator=(const TFanOut&) = delete;

  [[nodiscard]] TSubscription Subscribe(THandler Handler) {
    if (!Handler) return {};
    auto entry = std::make_shared<TEntry>(TEntry{std::move(Handler), true});
    const bool first = FState->Entries.empty();
    FState->Entries.push_back(entry);
    if (first && FState->OnFirstOrLast) FState->OnFirstOrLast(true);
    std::weak_ptr<TState> state = FState;
    return TSubscription([state, entry] {
      entry->Live = false;
      const std::shared_ptr<TState> s = state.lock();
      if (!s) return;
      std::erase(s->Entries, entry);
      if (s->Entries.empty() && s->OnFirstOrLast) s->OnFirstOrLast(false);
    });
  }

  template <typename... A>
  void operator()(A&&... Arguments) const {
    // A copy: the list may change while it is handed on.
    const std::vector<std::shared_ptr<TEntry>> entries = FState->Entries;
    for (const std::shared_ptr<TEntry>& entry : entries) {
      if (entry->Live) entry->Handler(Arguments...);
    }
  }

  bool Empty() const { return FState->Entries.empty(); }
  std::size_t Count() const { return FState->Entries.size(); }

  // Told when the first subscriber comes (true) and the last goes (false).
  void OnFirstOrLast(std::function<void(bool)> Handler) {
    FState->OnFirstOrLast = std::move(Handler);
  }

 private:
  struct TEntry {
    THandler Handler;
    bool Live;
  };
  struct TState {
    std::vector<std::shared_ptr<TEntry>> Entries;
    std::function<void(bool)> OnFirstOrLast;
  };
  std::shared_ptr<TState> FState = std::make_shared<TState>();
};

class TLaserEvents {
 public:
  // Binds nothing yet: each engine handler is set when its first subscriber comes.
  explicit TLaserEvents(TLaser& Laser);
  // Clears every engine handler it set: nothing of the laser reaches a subscriber afterwards.
  ~TLaserEvents();
  TLaserEvents(const TLaserEvents&) = delete;
  TLaserEvents& operator=(const TLaserEvents&) = delete;

  TLaser& Laser() const { return FLaser; }

  TFanOut<> Connect;
  TFanOut<> ConnectFail;
  TFanOut<> Disconnect;
  TFanOut<int> SN;
  TFanOut<TLaserCommand, std::uint8_t, const std::string&> CommandError;
  TFanOut<TLaserCommand, std::uint8_t, const std::string&> CommandTimeout;
  TFanOut<TCommandOutcome, const std::string&> CommandReport;
  TFanOut<std::uint8_t, double> Current;
  TFanOut<std::uint8_t, double> MaxCurrent;
  TFanOut<std::uint8_t, double> Frequency;
  TFanOut<std::uint8_t, TTriggerMode> TriggerMode;
  TFanOut<bool> LaserON;
  TFanOut<std::uint32_t> RunningTime;
  TFanOut<std::uint8_t> LaserError;
  TFanOut<> ClearError;
  TFanOut<> ClearedError;
  TFanOut<> Reset;
  TFanOut<> Reseted;
  TFanOut<const std::string&> MointorError;
  TFanOut<const std::string&> Receive;
  TFanOut<const std::string&> Send;
  TFanOut<const std::string&> Resync;

 private:
  TLaser& FLaser;
  std::vector<std::function<void()>> FUnbind;  // one per engine handler
};

// The four value events into a part's handlers of the same names (LaserCurrent, LaserMaxCurrent,
// LaserFrequency, LaserTriggerMode), the subscriptions kept in Into.
template <typename TPart>
void SubscribeValues(TLaserEvents& Events, TSubscriptions& Into, TPart& Part) {
  Into += Events.Current.Subscribe(
      [&Part](std::uint8_t Branch, double Value) { Part.LaserCurrent(Branch, Value); });
  Into += Events.MaxCurrent.Subscribe(
      [&Part](std::uint8_t Branch, double Value) { Part.LaserMaxCurrent(Branch, Value); });
  Into += Events.Frequency.Subscribe(
      [&Part](std::uint8_t Branch, double Value) { Part.LaserFrequency(Branch, Value); });
  Into += Events.TriggerMode.Subscribe(
      [&Part](std::uint8_t Branch, TTriggerMode Mode) { Part.LaserTriggerMode(Branch, Mode); });
}
