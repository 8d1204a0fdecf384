#include "ui/Detection.h"

#include <climits>
#include <cmath>
#include <exception>

#include "laser/ErrorExplan.h"
#include "laser/QNLaser.h"

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
  FConnectionLog.push_back(Line);
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
  if (ReportConnectFailure) FView.ShowConnectFailure(ConnectFailMessage(FLaser.Port()));
}

void TDetection::LaserConnect() {
  FLaser.LoadBaseCommands();
  DetectionStage = dsSerial;
  FLaser.ReadSN();
}

void TDetection::LaserSN(int SN) {
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
  if (Branch == 1 && DetectionStage == dsCurrent1) {
    DetectionStage = dsCurrent2;
    FLaser.ReadCurrent(2);
  } else if (Branch == 2 && DetectionStage == dsCurrent2Only) {
    DetectionStage = dsSingleBranch;
    FLaser.LoadZECommands(false);
    FExplanations.LoadZEExplanations();
    FView.ApplyCurrentLayout(clBranch2, false);
    FView.ApplyTriggerLayout(0);
    FLaser.ReadMaxCurrent(2);
  } else if (Branch == 2 && DetectionStage == dsCurrent2) {
    DetectionStage = dsBothBranches;
    FLaser.LoadQTCommands(false);
    FExplanations.LoadQTExplanations();
    FView.ApplyCurrentLayout(clBranch1 | clBranch2, false);
    FLaser.ReadMaxCurrent(2);
  }
}

void TDetection::LaserMaxCurrent(std::uint8_t Branch, double) {
  if (DetectionStage == dsIdle) return;
  LogRead("Imax", Branch);
  if (Branch == 2 && DetectionStage == dsBothBranches) {
    FLaser.ReadFrequency(2);
  } else {
    FLaser.ReadFrequency(1);
  }
}

void TDetection::LaserFrequency(std::uint8_t Branch, double Value) {
  if (DetectionStage == dsIdle) return;
  LogRead("f", Branch);
  if (Branch == 2) {
    FView.ApplyTriggerLayout(2);
    FLaser.ReadTriggerMode(2);
    FView.SetFrequencyEntry(2, TruncToInt(Value));
  } else {
    FLaser.ReadTriggerMode(1);
    FView.SetFrequencyEntry(1, TruncToInt(Value));
  }
}

void TDetection::LaserTriggerMode(std::uint8_t Branch, TTriggerMode) {
  if (DetectionStage == dsIdle) return;
  LogRead("trigger mode", Branch);
  if (Branch == 2) {
    if (DetectionStage == dsTrigger2) FView.ApplyTriggerLayout(1);
    FLaser.ReadMaxCurrent(1);
  } else {
    BecomeReady(false);
  }
}

// ---------------------------------------------------------------- failed commands

void TDetection::LaserCommandError(TLaserCommand Command, std::uint8_t SubID,
                                   const std::string& CmdStr) {
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
  if (name == nullptr) return;
  Log(std::string("Read ") + name + std::to_string(SubID) + "[\"" + CmdStr + "\"] --> Fail");

  switch (Command) {
    case lcReadCurrent:
      if (DetectionStage == dsCurrent1) {
        DetectionStage = dsCurrent2Only;
        FLaser.ReadCurrent(2);
      } else if (DetectionStage == dsCurrent2Only) {
        CloseConnection(true);
      } else if (DetectionStage == dsCurrent2) {
        DetectionStage = dsSingleBranch;
        FLaser.LoadQTCommands(false);
        FExplanations.LoadQTExplanations();
        FView.ApplyCurrentLayout(clBranch1, false);
        FView.ApplyTriggerLayout(0);
        FLaser.ReadMaxCurrent(1);
      }
      break;
    case lcReadMaxCurrent:
      CloseConnection(true);
      break;
    case lcReadFrequency:
      if (SubID == 1) {
        CloseConnection(true);
      } else {
        DetectionStage = dsTrigger2;
        FLaser.ReadTriggerMode(2);
      }
      break;
    case lcReadTriggerMode:
      if (SubID == 1 || DetectionStage == dsBothBranches) {
        CloseConnection(true);
      } else if (DetectionStage == dsTrigger2) {
        FView.ApplyTriggerLayout(0);
        FLaser.ReadMaxCurrent(1);
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- closing

void TDetection::CloseConnection(bool RestartDetection) {
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
  if (!FClosing) ShowClosed(true);
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
