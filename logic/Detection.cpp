#include "logic/Detection.h"

#include <climits>
#include <cmath>
#include <exception>
#include <optional>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"
#include "logic/PortAccess.h"

// Handlers set every piece of state before they call into the view: ShowConnectionState lets
// pending events run while the cover panel slides, and such a nested event must find the
// connection as it is now, not as it was when the handler began. A view call that may pump is
// therefore the last thing a handler does.

namespace {

// The whole-number part of a frequency for its entry field; values beyond an int are clamped.
int TruncToInt(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

const char* ReadName(TLaserCommand command) {
  switch (command) {
    case lcReadCurrent:
      return "I";
    case lcReadMaxCurrent:
      return "Imax";
    case lcReadFrequency:
      return "f";
    case lcReadTriggerMode:
      return "trigger mode";
    default:
      return nullptr;
  }
}

// What the probing does after each answer (or failure, once the retries are spent), by stage:
// the first row that matches applies. Branch 0 and stage -1 match any.
enum class TProbe : std::uint8_t { Current, MaxCurrent, Frequency, TriggerMode };
enum class TFamily : std::uint8_t { Same, QT, ZE };
enum class TThen : std::uint8_t { Nothing, Read, Close, Ready };
constexpr int kAnyStage = -1;
constexpr int kSameStage = -1;
constexpr int kNoLayout = -1;

struct TProbeStep {
  // when
  TProbe Answered;
  std::uint8_t Branch;
  bool Ok;
  int Stage;
  // what changes
  int NextStage;
  TFamily Family;
  int CurrentLayout;
  int TriggerLayout;
  // and then
  TThen Then;
  TProbe Read;
  std::uint8_t ReadBranch;
};

using P = TProbe;
using F = TFamily;
using T = TThen;
constexpr int Both = clBranch1 | clBranch2;
// clang-format off
constexpr TProbeStep kProbeSteps[] = {
    // answered        ok     stage           next stage      family   I layout   trigger    then      read
    {P::Current,     1, true,  dsCurrent1,     dsCurrent2,     F::Same, kNoLayout, kNoLayout, T::Read,  P::Current,     2},
    {P::Current,     2, true,  dsCurrent2Only, dsSingleBranch, F::ZE,   clBranch2, 0,         T::Read,  P::MaxCurrent,  2},
    {P::Current,     2, true,  dsCurrent2,     dsBothBranches, F::QT,   Both,      kNoLayout, T::Read,  P::MaxCurrent,  2},
    {P::MaxCurrent,  2, true,  dsBothBranches, kSameStage,     F::Same, kNoLayout, kNoLayout, T::Read,  P::Frequency,   2},
    {P::MaxCurrent,  0, true,  kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Read,  P::Frequency,   1},
    {P::Frequency,   2, true,  kAnyStage,      kSameStage,     F::Same, kNoLayout, 2,         T::Read,  P::TriggerMode, 2},
    {P::Frequency,   0, true,  kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Read,  P::TriggerMode, 1},
    {P::TriggerMode, 2, true,  dsTrigger2,     kSameStage,     F::Same, kNoLayout, 1,         T::Read,  P::MaxCurrent,  1},
    {P::TriggerMode, 2, true,  kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Read,  P::MaxCurrent,  1},
    {P::TriggerMode, 0, true,  kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Ready, P::Current,     0},
    {P::Current,     0, false, dsCurrent1,     dsCurrent2Only, F::Same, kNoLayout, kNoLayout, T::Read,  P::Current,     2},
    {P::Current,     0, false, dsCurrent2Only, kSameStage,     F::Same, kNoLayout, kNoLayout, T::Close, P::Current,     0},
    {P::Current,     0, false, dsCurrent2,     dsSingleBranch, F::QT,   clBranch1, 0,         T::Read,  P::MaxCurrent,  1},
    {P::MaxCurrent,  0, false, kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Close, P::Current,     0},
    {P::Frequency,   1, false, kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Close, P::Current,     0},
    {P::Frequency,   0, false, kAnyStage,      dsTrigger2,     F::Same, kNoLayout, kNoLayout, T::Read,  P::TriggerMode, 2},
    {P::TriggerMode, 1, false, kAnyStage,      kSameStage,     F::Same, kNoLayout, kNoLayout, T::Close, P::Current,     0},
    {P::TriggerMode, 0, false, dsBothBranches, kSameStage,     F::Same, kNoLayout, kNoLayout, T::Close, P::Current,     0},
    {P::TriggerMode, 0, false, dsTrigger2,     kSameStage,     F::Same, kNoLayout, 0,         T::Read,  P::MaxCurrent,  1},
};
// clang-format on

const TProbeStep* FindProbeStep(TProbe Answered, std::uint8_t Branch, bool Ok, int Stage) {
  for (const TProbeStep& step : kProbeSteps) {
    if (step.Answered == Answered && step.Ok == Ok && (step.Branch == 0 || step.Branch == Branch) &&
        (step.Stage == kAnyStage || step.Stage == Stage)) {
      return &step;
    }
  }
  return nullptr;
}

std::optional<TProbe> ProbeOf(TLaserCommand Command) {
  switch (Command) {
    case lcReadCurrent:
      return TProbe::Current;
    case lcReadMaxCurrent:
      return TProbe::MaxCurrent;
    case lcReadFrequency:
      return TProbe::Frequency;
    case lcReadTriggerMode:
      return TProbe::TriggerMode;
    default:
      return std::nullopt;
  }
}

}  // namespace

TDetection::TDetection(TLaser& Laser, IDetectionView& View, TExplanationList& Explanations,
                       std::vector<std::string>& ConnectionLog)
    : FLaser(Laser), FView(View), FExplanations(Explanations), FConnectionLog(ConnectionLog) {}

std::string TDetection::ConnectFailMessage(int Port) {
  return "Cannot open port: COM" + std::to_string(Port) +
         ". \r\n\r\nPlease check:\r\n1) if the port number is correct, \r\n2) if another program "
         "is using this port.";
}

void TDetection::Log(const std::string& Line) {
  FConnectionLog.push_back(Stamp ? Stamp() + " " + Line : Line);
}

void TDetection::LogRead(const char* Name, std::uint8_t Branch) {
  Log(std::string("Read ") + Name + std::to_string(Branch) + " --> OK");
}

// ---------------------------------------------------------------- connecting

void TDetection::ConnectLaserExecute() {
  if (FReady) {
    CloseConnection(false);
  } else if (FLaser.Connected()) {
    // a detection is running: let it finish
  } else {
    ReportConnectFailure = true;
    FLaser.Open();
  }
}

void TDetection::OpenSilently() {
  ReportConnectFailure = false;
  FLaser.Open();
}

void TDetection::LaserConnectFail() {
  FOpenFailed = true;
  if (ReportConnectFailure) {
    FView.ShowConnectFailure(ConnectFailMessage(FLaser.Port()) +
                             PortPermissionLine(FLaser.OpenError(), FLaser.DeviceName()));
  }
}

void TDetection::Subscribe(TLaserEvents& Events) {
  FSubscriptions += Events.Connect.Subscribe([this] { LaserConnect(); });
  FSubscriptions += Events.ConnectFail.Subscribe([this] { LaserConnectFail(); });
  FSubscriptions += Events.Disconnect.Subscribe([this] { LaserDisconnect(); });
  FSubscriptions += Events.SN.Subscribe([this](int SN) { LaserSN(SN); });
  const auto failed = [this](TLaserCommand Command, std::uint8_t SubID, const std::string& Text) {
    LaserCommandError(Command, SubID, Text);
  };
  FSubscriptions += Events.CommandError.Subscribe(failed);
  FSubscriptions += Events.CommandTimeout.Subscribe(failed);
  SubscribeValues(Events, FSubscriptions, *this);
}

void TDetection::LaserConnect() {
  FOpenFailed = false;
  FLastClose = TCloseCause::None;
  TLaser::TRequestScope program(FLaser, TOrigin::Program);  // probes, not the operator's
  FLaser.LoadBaseCommands();
  DetectionStage = dsSerial;
  FLaser.ReadSN();
}

void TDetection::LaserSN(int SN) {
  TLaser::TRequestScope program(FLaser, TOrigin::Program);  // probes, not the operator's
  if (SN < 100) SN += 100;
  FView.UpdateCaption(SN);
  if (DetectionStage != dsSerial) return;
  Log("Read SN --> OK");

  std::string fileName;
  bool applied = false;
  std::exception_ptr failure;
  if (FindTemplateLink && FindTemplateLink(SN, fileName)) {
    try {
      applied = FView.LoadTemplate(fileName);
    } catch (...) {
      // Probing still starts, so the connection never sticks half-detected; the error is
      // passed on afterwards for the application's handler to show.
      failure = std::current_exception();
    }
  }
  if (applied) {
    BecomeReady(true);
  } else {
    ProbeCurrent1();
  }
  if (failure) std::rethrow_exception(failure);
}

void TDetection::ProbeCurrent1() {
  DetectionStage = dsCurrent1;
  FLaser.ReadCurrent(1);
}

void TDetection::BecomeReady(bool FromTemplate) {
  DetectionStage = dsIdle;
  FReady = true;
  if (FromTemplate) {
    FView.RefreshLaserState();
  } else {
    FLaser.ReadStatus();
  }
  StartRefreshTimer();
  FView.ShowConnectionState(false);
}

// ---------------------------------------------------------------- successful probes

void TDetection::LaserCurrent(std::uint8_t Branch, double) {
  if (DetectionStage == dsIdle) return;
  LogRead("I", Branch);
  Probed(static_cast<int>(TProbe::Current), Branch, true);
}

void TDetection::LaserMaxCurrent(std::uint8_t Branch, double) {
  if (DetectionStage == dsIdle) return;
  LogRead("Imax", Branch);
  Probed(static_cast<int>(TProbe::MaxCurrent), Branch, true);
}

void TDetection::LaserFrequency(std::uint8_t Branch, double Value) {
  if (DetectionStage == dsIdle) return;
  LogRead("f", Branch);
  Probed(static_cast<int>(TProbe::Frequency), Branch, true);
  FView.SetFrequencyEntry(Branch == 2 ? 2 : 1, TruncToInt(Value));
}

void TDetection::LaserTriggerMode(std::uint8_t Branch, TTriggerMode) {
  if (DetectionStage == dsIdle) return;
  LogRead("trigger mode", Branch);
  Probed(static_cast<int>(TProbe::TriggerMode), Branch, true);
}

void TDetection::Probed(int Answered, std::uint8_t Branch, bool Ok) {
  const TProbeStep* step =
      FindProbeStep(static_cast<TProbe>(Answered), Branch, Ok, static_cast<int>(DetectionStage));
  if (step == nullptr) return;
  TLaser::TRequestScope program(FLaser, TOrigin::Program);  // probes, not the operator's
  if (step->NextStage != kSameStage) DetectionStage = static_cast<TDetectionStage>(step->NextStage);
  if (step->Family == TFamily::QT) {
    FLaser.LoadQTCommands(false);
    FExplanations.LoadQTExplanations();
  } else if (step->Family == TFamily::ZE) {
    FLaser.LoadZECommands(false);
    FExplanations.LoadZEExplanations();
  }
  if (step->CurrentLayout != kNoLayout) FView.ApplyCurrentLayout(step->CurrentLayout, false);
  if (step->TriggerLayout != kNoLayout) FView.ApplyTriggerLayout(step->TriggerLayout);
  switch (step->Then) {
    case TThen::Read:
      switch (step->Read) {
        case TProbe::Current:
          FLaser.ReadCurrent(step->ReadBranch);
          break;
        case TProbe::MaxCurrent:
          FLaser.ReadMaxCurrent(step->ReadBranch);
          break;
        case TProbe::Frequency:
          FLaser.ReadFrequency(step->ReadBranch);
          break;
        case TProbe::TriggerMode:
          FLaser.ReadTriggerMode(step->ReadBranch);
          break;
      }
      break;
    case TThen::Close:
      CloseConnection(true);
      break;
    case TThen::Ready:
      BecomeReady(false);
      break;
    case TThen::Nothing:
      break;
  }
}

// ---------------------------------------------------------------- failed commands

void TDetection::LaserCommandError(TLaserCommand Command, std::uint8_t SubID,
                                   const std::string& CmdStr) {
  TLaser::TRequestScope program(FLaser, TOrigin::Program);  // probes, not the operator's
  // A failure reported after the port closed belongs to a connection that is gone: there is
  // nothing to resend and nothing to close (closing again would start a retry nobody wants).
  if (!FLaser.Connected()) return;
  if (FLaser.VariousCommandErrors() >= 3) {
    CloseConnection(true);
    return;
  }
  if (DetectionStage == dsIdle) return;
  if (FLaser.CommandErrors() < 3) {
    FLaser.SendRaw(CmdStr, -1);
    return;
  }

  if (Command == lcReadSN) {
    Log("Read SN[\"" + CmdStr + "\"] --> Fail");
    CloseConnection(true);
    return;
  }
  const char* name = ReadName(Command);
  const std::optional<TProbe> probe = ProbeOf(Command);
  if (name == nullptr || !probe) return;
  Log(std::string("Read ") + name + std::to_string(SubID) + "[\"" + CmdStr + "\"] --> Fail");
  Probed(static_cast<int>(*probe), SubID, false);
}

// ---------------------------------------------------------------- closing

void TDetection::CloseConnection(bool RestartDetection) {
  // Closed with a restart when the laser stopped answering (or the port changed, which opens
  // the new one at once); without, when the operator disconnected.
  FLastClose = RestartDetection ? TCloseCause::NoReply : TCloseCause::Operator;
  StopTimer();
  FClosing = true;
  FLaser.Disconnect();
  FClosing = false;
  ShowClosed(RestartDetection);
}

void TDetection::ShowClosed(bool RestartDetection) {
  DetectionStage = dsIdle;
  FReady = false;
  if (RestartDetection && AutoDetect) {
    StartRetryTimer();
  } else {
    StopTimer();
  }
  FView.UpdateCaption(0);
  FView.CloseAdvanced();
  FView.ShowConnectionState(true);
}

void TDetection::LaserDisconnect() {
  FExplanations.Clear();
  FView.ClearConsole();
  // The device went away without our asking (cable pulled, adapter gone): the port is closed
  // already; show it as a closed connection and look for the laser again.
  if (!FClosing) {
    FLastClose = TCloseCause::Lost;
    ShowClosed(true);
  }
}

// ---------------------------------------------------------------- timer

void TDetection::RetryConnect() {
  // An open port means a detection runs or a laser is ready: opening again would restart it.
  // A closed port is tried also before the first connection ever closed, so that switching
  // AutoDetect on after a failed start-up attempt does find the laser.
  if (FLaser.Connected()) return;
  ReportConnectFailure = false;
  FLaser.Open();
}

void TDetection::StartRefreshTimer() {
  if (AutoUpdate) {
    FTimerRole = TTimerRole::Refresh;
    FView.StartTimer(UpdateInterval);
  } else {
    StopTimer();
  }
}

void TDetection::StartRetryTimer() {
  if (AutoDetect) {
    FTimerRole = TTimerRole::RetryConnect;
    FView.StartTimer(DetectInterval);
  } else {
    StopTimer();
  }
}

void TDetection::StopTimer() {
  FTimerRole = TTimerRole::None;
  FView.StopTimer();
}

void TDetection::SetTimerInterval(int IntervalMs) {
  if (FTimerRole != TTimerRole::None) FView.StartTimer(IntervalMs);
}

void TDetection::TimerTick() {
  switch (FTimerRole) {
    case TTimerRole::RetryConnect:
      RetryConnect();
      break;
    case TTimerRole::Refresh:
      FView.RefreshLaserState();
      break;
    case TTimerRole::None:
      break;
  }
}
