// The connect-and-detect sequence of the main window: what happens from a successful Open to a
// ready laser (or a closed connection), kept free of Qt so that every probe order is tested
// against the simulator. The window implements IDetectionView and forwards the laser's events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "laser/Commands.h"
#include "logic/LaserEvents.h"
#include "logic/StatusText.h"

class TLaser;
class TExplanationList;

enum TDetectionStage : std::uint8_t {
  dsSerial = 0,
  dsCurrent1 = 1,
  dsCurrent2Only = 2,
  dsCurrent2 = 3,
  dsSingleBranch = 4,
  dsTrigger2 = 5,
  dsBothBranches = 6,
  dsIdle = 7,
};

// ApplyCurrentLayout's numeric layout: a set of these two flags (2, 4 or 6).
constexpr int clBranch1 = 2;
constexpr int clBranch2 = 4;

// What the sequence needs of the window. Every call comes on the UI thread.
class IDetectionView {
 public:
  virtual ~IDetectionView() = default;
  virtual void ApplyCurrentLayout(int Layout, bool ShowActual) = 0;
  virtual void ApplyTriggerLayout(int Layout) = 0;
  virtual void RefreshLaserState() = 0;
  // Disconnected: clear error list, command line and reply box, uncheck ConnectLaser, cover
  // the panel. Connected: check ConnectLaser, reveal the panel, focus Current1 or Current2.
  // It may let pending events run while the panel slides; those may call it again before it
  // returns, and then the last call's state is the one to end in.
  virtual void ShowConnectionState(bool Disconnected) = 0;
  virtual void UpdateCaption(int SN) = 0;
  // During detection a frequency reading also fills the entry of its branch (1 or 2).
  virtual void SetFrequencyEntry(std::uint8_t Branch, int Value) = 0;
  // The "Error" message box (warning icon) for a connect the operator asked for.
  virtual void ShowConnectFailure(const std::string& Message) = 0;
  // If the console is shown: detach the laser's OnReceive, uncheck ShowAdvanced, hide it.
  virtual void CloseAdvanced() = 0;
  // On disconnect: the reply box and the command history are emptied.
  virtual void ClearConsole() = 0;
  // Timer1: (re)start with this period, or stop. Each tick calls TDetection::TimerTick.
  virtual void StartTimer(int IntervalMs) = 0;
  virtual void StopTimer() = 0;
  // Applies the command template of that file name; true when it was applied.
  virtual bool LoadTemplate(const std::string& FileName) = 0;
};

class TDetection {
 public:
  enum class TTimerRole : std::uint8_t { None, RetryConnect, Refresh };

  TDetection(TLaser& Laser, IDetectionView& View, TExplanationList& Explanations,
             std::vector<std::string>& ConnectionLog);

  // Settings (from Options); the window keeps them current.
  bool AutoDetect = true;
  int DetectInterval = 1000;
  bool AutoUpdate = true;
  int UpdateInterval = 1000;
  // Looks up the template link: value of key "SN<n>" in section "Template"; false when absent.
  std::function<bool(int SN, std::string& FileName)> FindTemplateLink;

  TDetectionStage DetectionStage = dsSerial;
  bool ReportConnectFailure = false;
  // ConnectLaser is checked exactly while this is true.
  bool LaserReady() const { return FReady; }
  TTimerRole TimerRole() const { return FTimerRole; }
  // For the status bar: whether the last attempt to open the port failed, and why the last
  // connection ended.
  bool OpenFailed() const { return FOpenFailed; }
  TCloseCause LastClose() const { return FLastClose; }
  // Put before each connection-log line (the window gives the time); none when empty.
  std::function<std::string()> Stamp;

  // Operator's connect command (tool button, menu, hot key).
  void ConnectLaserExecute();
  // The silent attempt of start-up.
  void OpenSilently();

  // Takes the laser events below from the fan-out; after the window's display half has had them,
  // so the subscribers that show values subscribe first. Ends with the detection.
  void Subscribe(TLaserEvents& Events);

  // Laser events. OnCommandError and OnCommandTimeout both go to LaserCommandError. LaserDisconnect
  // handles every close: the one CloseConnection asks for, and a device that went away by itself,
  // which it shows as closed and (with AutoDetect) looks for again.
  void LaserConnect();
  void LaserConnectFail();
  void LaserDisconnect();
  void LaserSN(int SN);
  void LaserCommandError(TLaserCommand Command, std::uint8_t SubID, const std::string& CmdStr);
  void LaserCurrent(std::uint8_t Branch, double Value);
  void LaserMaxCurrent(std::uint8_t Branch, double Value);
  void LaserFrequency(std::uint8_t Branch, double Value);
  void LaserTriggerMode(std::uint8_t Branch, TTriggerMode Mode);

  void CloseConnection(bool RestartDetection);
  void RetryConnect();
  void StartRefreshTimer();
  void TimerTick();  // Timer1's tick: RetryConnect or RefreshLaserState by role

  // Timer1 for the options step: the retry role (running exactly when AutoDetect), no role, or
  // a new period for whatever role runs (a stopped timer stays stopped).
  void StartRetryTimer();
  void StopTimer();
  void SetTimerInterval(int IntervalMs);

  // The message of a failed operator's connect, for port n.
  static std::string ConnectFailMessage(int Port);

 private:
  void Log(const std::string& Line);
  void LogRead(const char* Name, std::uint8_t Branch);
  // Ready: the refresh starts and the panel is revealed. FromTemplate refreshes every value,
  // else only the status is read (the probes have just read the rest).
  void BecomeReady(bool FromTemplate);
  // What a closed connection shows; the port is closed already.
  void ShowClosed(bool RestartDetection);
  void ProbeCurrent1();
  // The probe order's next step after a read answered (Ok) or failed, from its table.
  void Probed(int Answered, std::uint8_t Branch, bool Ok);

  TLaser& FLaser;
  IDetectionView& FView;
  TExplanationList& FExplanations;
  std::vector<std::string>& FConnectionLog;
  bool FReady = false;
  // Set while CloseConnection disconnects, so that LaserDisconnect tells the disconnect it
  // asked for from a device that went away by itself.
  bool FClosing = false;
  TTimerRole FTimerRole = TTimerRole::None;
  bool FOpenFailed = false;
  TCloseCause FLastClose = TCloseCause::None;
  TSubscriptions FSubscriptions;  // last: ended first when the detection goes
};
