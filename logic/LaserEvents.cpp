#include "logic/LaserEvents.h"

namespace {

// Sets the engine's handler while the fan-out has subscribers, and clears it when the last goes.
// The engine's sender argument is dropped: there is one laser.
template <typename Slot, typename... Args>
std::function<void()> Bind(Slot& EngineHandler, TFanOut<Args...>& Fan) {
  Fan.OnFirstOrLast([&EngineHandler, &Fan](bool Listen) {
    if (Listen) {
      EngineHandler = [&Fan](auto*, Args... Arguments) { Fan(Arguments...); };
    } else {
      EngineHandler = nullptr;
    }
  });
  return [&EngineHandler, &Fan] {
    Fan.OnFirstOrLast(nullptr);
    if (!Fan.Empty()) EngineHandler = nullptr;
  };
}

}  // namespace

TLaserEvents::TLaserEvents(TLaser& Laser) : FLaser(Laser) {
  TLaser& l = Laser;
  FUnbind = {
      Bind(l.OnConnect, Connect),
      Bind(l.OnConnectFail, ConnectFail),
      Bind(l.OnDisconnect, Disconnect),
      Bind(l.OnSN, SN),
      Bind(l.OnCommandError, CommandError),
      Bind(l.OnCommandTimeout, CommandTimeout),
      Bind(l.OnCommandReport, CommandReport),
      Bind(l.OnCurrent, Current),
      Bind(l.OnMaxCurrent, MaxCurrent),
      Bind(l.OnFrequency, Frequency),
      Bind(l.OnTriggerMode, TriggerMode),
      Bind(l.OnLaserON, LaserON),
      Bind(l.OnRunningTime, RunningTime),
      Bind(l.OnLaserError, LaserError),
      Bind(l.OnClearError, ClearError),
      Bind(l.OnClearedError, ClearedError),
      Bind(l.OnReset, Reset),
      Bind(l.OnReseted, Reseted),
      Bind(l.OnMointorError, MointorError),
      Bind(l.OnReceive, Receive),
      Bind(l.OnSend, Send),
      Bind(l.OnResync, Resync),
  };
}

TLaserEvents::~TLaserEvents() {
  for (const auto& unbind : FUnbind) unbind();
}
