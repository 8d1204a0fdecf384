#include "logic/remote/Session.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "laser/Text.h"

#ifndef LASER_VERSION
#define LASER_VERSION "0"
#endif

namespace {

// The operator's commands go before a client's; a client's and the window's refresh reads take
// turns. Laser OFF goes first whoever gives it: the engine sees to that.
constexpr TPriority RemotePriority = TPriority::Refresh;

// One command under way.
struct TRun {
  TScpiUnit Unit;
  bool LineEnd = false;          // the last of its line: the answer line is written when it retires
  bool Local = false;            // needs no laser: run when it reaches the front
  bool Started = false;          // its laser commands were queued (or it failed before that)
  bool Sent = false;             // a command that may change the laser was queued for it
  int Outstanding = 0;           // laser commands not yet ended
  bool AwaitPhase = false;       // until the reset or clear-error phase ends
  std::optional<bool> PhaseEnd;  // a phase end seen while it was under way
  std::uint64_t ErrorLineMark = 0;  // the error lines counted before its error-code read
  bool ReadRefused = false;         // that read was refused
  std::optional<std::string> Answer;
  std::optional<TScpiError> Error;
};
using TRunPtr = std::shared_ptr<TRun>;

void Fail(TRun& run, const TScpiError& error) {
  if (!run.Error) run.Error = error;  // the first failure is the one that counts
}

std::optional<TScpiError> Failure(TCommandOutcome outcome) {
  switch (outcome) {
    case TCommandOutcome::Answered:
      return std::nullopt;
    case TCommandOutcome::Refused:
      return scpi::Refused;
    case TCommandOutcome::NoReply:
      return scpi::NoReply;
    case TCommandOutcome::NotSent:
      return scpi::NoLaser;  // the connection closed before it was written
    case TCommandOutcome::Cancelled:
      return scpi::Cancelled;
  }
  return scpi::NoReply;
}

bool IsLaserOff(const TScpiUnit& unit) {
  return unit.Command == TScpiCommand::Output && !unit.Query && !unit.On;
}

bool IsLocal(TScpiCommand command) {
  switch (command) {
    case TScpiCommand::Identify:
    case TScpiCommand::ResetDefaults:
    case TScpiCommand::SelfTest:
    case TScpiCommand::ClearStatus:
    case TScpiCommand::OperationComplete:
    case TScpiCommand::SystemError:
    case TScpiCommand::SystemState:
      return true;
    default:
      return false;
  }
}

// The text of value k of a reply (1: the main value, 2: the second) as the entry's Indexes name
// it; a group that took no part in the match is empty.
std::optional<std::string> ValueText(const TCommandSyntax& entry, const TLaserMsg& groups,
                                     std::size_t k) {
  if (entry.Indexes.size() <= k || entry.Indexes[k] < 0) return std::nullopt;
  const auto group = static_cast<std::size_t>(entry.Indexes[k]);
  return group < groups.size() ? groups[group] : std::string();
}

std::optional<double> ValueNumber(const TCommandSyntax& entry, const TLaserMsg& groups,
                                  std::size_t k) {
  const std::optional<std::string> text = ValueText(entry, groups, k);
  double value = 0;
  if (!text || !text::ParseFloat(text::TrimControls(*text), value)) return std::nullopt;
  return value;
}

// A reply as the window shows it; nothing when its value does not convert.
using TFormat = std::optional<std::string> (*)(const TCommandSyntax&, const TLaserMsg&);

std::optional<std::string> NominalCurrent(const TCommandSyntax& entry, const TLaserMsg& groups) {
  std::optional<double> value = ValueNumber(entry, groups, 1);
  if (!value) return std::nullopt;
  // A pattern with an actual-current group packs it into the value, as the laser object does.
  if (entry.Indexes.size() > 2) {
    const std::optional<double> actual = ValueNumber(entry, groups, 2);
    if (!actual) return std::nullopt;
    *value += *actual * 0.00001;
  }
  return text::Fixed2(*value);
}

std::optional<std::string> ActualCurrent(const TCommandSyntax& entry, const TLaserMsg& groups) {
  const std::optional<double> actual = ValueNumber(entry, groups, 2);
  if (!actual) return std::nullopt;
  return text::Fixed2(*actual);
}

std::optional<std::string> PlainValue(const TCommandSyntax& entry, const TLaserMsg& groups) {
  const std::optional<double> value = ValueNumber(entry, groups, 1);
  if (!value) return std::nullopt;
  return text::Fixed2(*value);
}

std::optional<std::string> TriggerMode(const TCommandSyntax& entry, const TLaserMsg& groups) {
  const std::optional<std::string> mode = ValueText(entry, groups, 1);
  if (!mode) return std::nullopt;
  return *mode == "CW" ? "CW" : *mode == "EXTERNAL" ? "EXT" : "INT";
}

std::optional<std::string> LaserStatus(const TCommandSyntax& entry, const TLaserMsg& groups) {
  const std::optional<std::string> status = ValueText(entry, groups, 1);
  if (!status) return std::nullopt;
  return *status == "LASER_ON" ? "1" : "0";
}

// The lines of a reply text (CR LF, LF or CR between them) as SCPI strings, comma-separated.
std::string QuotedLines(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (!out.empty()) out += ',';
    out += ScpiQuoted(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return out;
}

std::string ErrorCodes(const std::vector<TErrorLine>& lines) {
  std::vector<int> codes;
  for (const TErrorLine& line : lines) {
    if (std::find(codes.begin(), codes.end(), line.Code) == codes.end()) codes.push_back(line.Code);
  }
  if (codes.empty()) return "0";
  std::string out;
  for (const int code : codes) out += (out.empty() ? "" : ",") + std::to_string(code);
  return out;
}

std::string ErrorLineTexts(const std::vector<TErrorLine>& lines) {
  if (lines.empty()) return ScpiQuoted("");  // the laser holds no error and said nothing
  std::string out;
  for (const TErrorLine& line : lines) out += (out.empty() ? "" : ",") + ScpiQuoted(line.Text);
  return out;
}

}  // namespace

struct TRemoteSession::TCore : std::enable_shared_from_this<TCore> {
  TCore(TRemoteLaser& laser, TRemoteOptions options, TWrite write)
      : Laser(laser), Options(std::move(options)), Write(std::move(write)) {
    Options.MaxErrors = std::max<std::size_t>(Options.MaxErrors, 1);
    Options.MaxPending = std::max<std::size_t>(Options.MaxPending, 1);
    if (Options.Version.empty()) Options.Version = LASER_VERSION;
  }

  TRemoteLaser& Laser;
  TRemoteOptions Options;
  TWrite Write;
  TRemoteSession* Owner = nullptr;  // none once the session is gone

  TScpiLineSplitter Splitter;
  std::deque<std::optional<std::string>> Backlog;  // complete lines; none: a refused one
  std::size_t BacklogBytes = 0;
  bool WasAccepting = true;
  std::deque<TRunPtr> Runs;
  std::deque<TScpiError> Errors;
  std::vector<std::string> Answers;  // of the line whose commands are being retired
  bool Pumping = false;
  bool PumpAgain = false;

  bool Gone() const { return Owner == nullptr; }
  bool Accepting() const { return BacklogBytes < Options.MaxBacklog; }

  void Receive(std::string_view bytes) {
    Splitter.Feed(bytes, [this](std::optional<std::string_view> line) {
      Backlog.emplace_back(line ? std::optional<std::string>(std::string(*line)) : std::nullopt);
      BacklogBytes += (line ? line->size() : 0) + 1;
    });
    Pump();
    if (!Accepting()) WasAccepting = false;
  }

  // Retires what has ended and takes further lines while few enough commands are under way.
  // Callbacks of commands that end meanwhile come back here: they only ask for another turn.
  void Pump() {
    const std::shared_ptr<TCore> self = shared_from_this();  // a write may end the session
    if (Pumping) {
      PumpAgain = true;
      return;
    }
    Pumping = true;
    do {
      PumpAgain = false;
      Retire();
      while (!Gone() && !Backlog.empty() && Runs.size() < Options.MaxPending) {
        std::optional<std::string> line = std::move(Backlog.front());
        Backlog.pop_front();
        BacklogBytes -= (line ? line->size() : 0) + 1;
        StartLine(line);
        Retire();
      }
      BeginWaiting();
    } while (PumpAgain && !Gone());
    Pumping = false;
    if (!Gone() && !WasAccepting && Accepting()) {
      WasAccepting = true;
      if (Owner->OnAccepting) Owner->OnAccepting();
    }
    if (!Gone() && Runs.empty() && Backlog.empty() && Owner->OnIdle) Owner->OnIdle();
  }

  void StartLine(const std::optional<std::string>& line) {
    std::vector<TRunPtr> runs;
    if (!line) {
      runs.push_back(std::make_shared<TRun>());
      runs.back()->Local = true;
      runs.back()->Error = scpi::LineTooLong;
    } else {
      TScpiLine parsed = ParseScpiLine(*line);
      for (TScpiUnit& unit : parsed.Units) {
        runs.push_back(std::make_shared<TRun>());
        runs.back()->Local = IsLocal(unit.Command);
        runs.back()->Unit = std::move(unit);
      }
      if (parsed.Error) {
        runs.push_back(std::make_shared<TRun>());
        runs.back()->Local = true;
        runs.back()->Error = parsed.Error;
      }
    }
    if (runs.empty()) return;
    runs.back()->LineEnd = true;
    Runs.insert(Runs.end(), runs.begin(), runs.end());
    // Laser OFF is queued at once, and with it everything the client gave before it: the engine
    // puts it ahead of whatever waits and drops a Laser ON still waiting, which it can only do
    // for a Laser ON already in its queue.
    const auto off = std::find_if(runs.rbegin(), runs.rend(), [](const TRunPtr& run) {
      return IsLaserOff(run->Unit) && !run->Local && !run->Error;
    });
    if (off != runs.rend()) {
      for (const TRunPtr& run : Runs) {
        if (!run->Started) Begin(run);
        if (run == *off) break;
      }
    }
  }

  // Queues the laser commands of the runs not yet begun, oldest first, while fewer than
  // MaxPending are under way: a long line of queries does not fill the laser's queue ahead of
  // the window's refresh and the other clients.
  void BeginWaiting() {
    std::size_t underWay = 0;
    for (const TRunPtr& run : Runs) {
      if (Gone()) return;
      if (run->Local || run->Error) continue;
      if (!run->Started) {
        if (underWay >= Options.MaxPending) return;
        Begin(run);
      }
      if (run->Outstanding > 0 || run->AwaitPhase) ++underWay;
    }
  }

  void Begin(const TRunPtr& run) {
    run->Started = true;
    if (!run->Local && !run->Error) Start(run);
  }

  // --- commands that need the laser ---

  using TEnded = std::function<void(TCore& core, TRun& run, const TRemoteReply& reply)>;

  // Queues one command for `run`. A counted one keeps `run` under way until it ends.
  bool Request(const TRunPtr& run, TLaserCommand kind, std::uint8_t branch, std::string_view param,
               TPriority priority, TEnded ended, bool counted = true) {
    if (counted) ++run->Outstanding;
    const bool queued =
        Laser.Send(kind, branch, param, priority, Done(run, std::move(ended), counted));
    if (!queued && counted) --run->Outstanding;
    return queued;
  }

  bool RequestRaw(const TRunPtr& run, std::string_view text, TEnded ended, bool counted = true) {
    if (counted) ++run->Outstanding;
    const bool queued = Laser.SendRaw(text, RemotePriority, Done(run, std::move(ended), counted));
    if (!queued && counted) --run->Outstanding;
    return queued;
  }

  TRemoteDone Done(const TRunPtr& run, TEnded ended, bool counted) {
    std::weak_ptr<TCore> weak = weak_from_this();
    return [weak, run, ended = std::move(ended), counted](const TRemoteReply& reply) {
      const std::shared_ptr<TCore> core = weak.lock();
      if (!core || core->Gone()) return;  // the client has gone: nothing to tell
      if (counted) --run->Outstanding;
      if (ended) ended(*core, *run, reply);
      core->Pump();
    };
  }

  static void FailOnError(TCore&, TRun& run, const TRemoteReply& reply) {
    if (std::optional<TScpiError> error = Failure(reply.Outcome)) Fail(run, *error);
  }

  // A query whose answer is the reply to one read, formatted as the window shows it.
  void Read(const TRunPtr& run, TLaserCommand kind, TFormat format) {
    const std::uint8_t branch = run->Unit.Branch;
    const std::optional<TCommandSyntax> entry = Laser.Entry(kind, branch);
    if (!entry) return Fail(*run, scpi::NotOnThisLaser);
    const bool queued =
        Request(run, kind, branch, "", RemotePriority,
                [entry = *entry, format](TCore&, TRun& r, const TRemoteReply& reply) {
                  if (std::optional<TScpiError> error = Failure(reply.Outcome)) {
                    return Fail(r, *error);
                  }
                  r.Answer = format(entry, reply.Groups);
                  if (!r.Answer) Fail(r, scpi::NotANumber);
                });
    if (!queued) Fail(*run, scpi::NoLaser);
  }

  // A command that changes the laser. False when it was not queued.
  bool Set(const TRunPtr& run, TLaserCommand kind, std::uint8_t branch, std::string_view param,
           TPriority priority = RemotePriority, TEnded ended = FailOnError) {
    if (!Laser.Entry(kind, branch)) {
      Fail(*run, scpi::NotOnThisLaser);
      return false;
    }
    if (!Request(run, kind, branch, param, priority, std::move(ended))) {
      Fail(*run, scpi::NoLaser);
      return false;
    }
    run->Sent = true;
    return true;
  }

  // The read after a setting, as the window sends it, so that the window shows what the laser
  // now holds. It keeps the command under way; its own failure is not the setting's.
  void ReadBack(const TRunPtr& run, TLaserCommand kind, std::uint8_t branch,
                TPriority priority = RemotePriority) {
    if (Laser.Entry(kind, branch)) Request(run, kind, branch, "", priority, nullptr);
  }

  // The error-code read, then a status read: when the status read's reply has come, every error
  // line of the first read's answer has come before it.
  void ReadErrorLines(const TRunPtr& run, const std::optional<std::string>& rawText,
                      std::string (*format)(const std::vector<TErrorLine>&)) {
    if (!Laser.Entry(lcReadStatus, 0) || (!rawText && !Laser.Entry(lcReadErrorCode, 0))) {
      return Fail(*run, scpi::NotOnThisLaser);
    }
    run->ErrorLineMark = Laser.ErrorLineCount();
    // Its end is heard only when it is refused or never written: it keeps nothing under way.
    const TEnded readEnded = [](TCore&, TRun& r, const TRemoteReply& reply) {
      if (reply.Outcome == TCommandOutcome::Refused) r.ReadRefused = true;
    };
    const bool queued =
        rawText ? RequestRaw(run, *rawText, readEnded, false)
                : Request(run, lcReadErrorCode, 0, "", RemotePriority, readEnded, false);
    if (!queued) return Fail(*run, scpi::NoLaser);
    if (rawText) run->Sent = true;
    Request(run, lcReadStatus, 0, "", RemotePriority,
            [format](TCore& core, TRun& r, const TRemoteReply& reply) {
              if (std::optional<TScpiError> error = Failure(reply.Outcome)) return Fail(r, *error);
              if (r.ReadRefused) return Fail(r, scpi::Refused);
              r.Answer = format(core.Laser.ErrorLinesSince(r.ErrorLineMark));
            });
  }

  void Start(const TRunPtr& run) {
    const TScpiUnit& unit = run->Unit;
    if (ChangesLaser(unit) && !Options.AllowControl) return Fail(*run, scpi::NotAllowed);
    const TRemoteState state = Laser.State();
    const bool laserOff = IsLaserOff(unit);
    // Laser OFF goes whenever a laser is connected, also while it is being probed.
    if (laserOff ? state == TRemoteState::Disconnected : state != TRemoteState::Ready) {
      return Fail(*run, scpi::NoLaser);
    }
    const std::uint8_t branch = unit.Branch;
    switch (unit.Command) {
      case TScpiCommand::Current:
        if (unit.Query) return Read(run, lcReadCurrent, NominalCurrent);
        return SetValue(run, lcSetCurrent, lcReadCurrent, Options.MaxCurrent);
      case TScpiCommand::ActualCurrent: {
        // Only a pattern with a second value group carries the actual current.
        const std::optional<TCommandSyntax> entry = Laser.Entry(lcReadCurrent, branch);
        if (!entry || entry->Indexes.size() <= 2) return Fail(*run, scpi::NotOnThisLaser);
        return Read(run, lcReadCurrent, ActualCurrent);
      }
      case TScpiCommand::MaxCurrent:
        return Read(run, lcReadMaxCurrent, PlainValue);
      case TScpiCommand::Frequency:
        if (unit.Query) return Read(run, lcReadFrequency, PlainValue);
        return SetValue(run, lcSetFrequency, lcReadFrequency, RemoteMaxFrequency);
      case TScpiCommand::TriggerSource: {
        if (unit.Query) return Read(run, lcReadTriggerMode, TriggerMode);
        const TLaserCommand kind = unit.Mode == tmCW         ? lcSetCW
                                   : unit.Mode == tmExternal ? lcSetExternal
                                                             : lcSetInternal;
        if (Set(run, kind, branch, "")) ReadBack(run, lcReadTriggerMode, branch);
        return;
      }
      case TScpiCommand::Output:
        if (unit.Query) return Read(run, lcReadStatus, LaserStatus);
        // The engine puts Laser OFF ahead of everything not yet written and drops a Laser ON
        // still waiting; its status read goes right behind it, as the window's does.
        if (Set(run, lcSetStatus, 0, unit.On ? "1" : "0")) {
          ReadBack(run, lcReadStatus, 0, laserOff ? TPriority::Urgent : RemotePriority);
        }
        return;
      case TScpiCommand::LaserError:
        return ReadErrorLines(run, std::nullopt, ErrorCodes);
      case TScpiCommand::Save:
        Set(run, lcSaveSettings, 0, "");
        return;
      case TScpiCommand::Reset:
        // Under way until the controller is back: its phase begins with the reply.
        Set(run, lcReset, 0, "", RemotePriority,
            [](TCore& core, TRun& r, const TRemoteReply& reply) {
              if (std::optional<TScpiError> error = Failure(reply.Outcome)) return Fail(r, *error);
              r.AwaitPhase = core.Laser.PhaseRunning();
            });
        return;
      case TScpiCommand::ClearError:
        // The controller's READY ends the phase and is no reply of the command, which therefore
        // ends unanswered: the phase's end tells.
        Set(run, lcClearError, 0, "", RemotePriority,
            [](TCore& core, TRun& r, const TRemoteReply& reply) {
              if (reply.Outcome != TCommandOutcome::NoReply) return FailOnError(core, r, reply);
              if (core.Laser.PhaseRunning()) {
                r.AwaitPhase = true;
              } else if (!r.PhaseEnd.value_or(false)) {
                Fail(r, scpi::NoReply);
              }
            });
        return;
      case TScpiCommand::Raw:
        return SendRawText(run);
      default:
        return;
    }
  }

  // A setting with a number, checked against its range as it will be sent, then read back.
  void SetValue(const TRunPtr& run, TLaserCommand set, TLaserCommand read, double max) {
    const std::string param = text::Fixed2(run->Unit.Number);
    double sent = 0;
    if (!text::ParseFloat(param, sent) || sent < 0 || sent > max) {
      return Fail(*run, scpi::OutOfRange);
    }
    if (Set(run, set, run->Unit.Branch, param)) ReadBack(run, read, run->Unit.Branch);
  }

  void SendRawText(const TRunPtr& run) {
    const std::string& text = run->Unit.Text;
    // The error-code read has no reply to wait for: its answer is the error lines.
    if (Laser.IsErrorCodeRead(text)) return ReadErrorLines(run, text, ErrorLineTexts);
    // A reply is told from the others by its command's pattern: one to a text the table does not
    // know could not be collected, and waiting for it would put the line out of step.
    if (!Laser.KnowsText(text)) return Fail(*run, scpi::UnknownText);
    const bool queued = RequestRaw(run, text, [](TCore&, TRun& r, const TRemoteReply& reply) {
      if (std::optional<TScpiError> error = Failure(reply.Outcome)) return Fail(r, *error);
      // The whole match: the reply's lines as the laser sent them (upper-cased, as the engine
      // takes every reply).
      r.Answer = QuotedLines(reply.Groups.empty() ? std::string() : reply.Groups.front());
    });
    if (!queued) return Fail(*run, scpi::NoLaser);
    run->Sent = true;
  }

  // --- commands of the session itself, run when they reach the front ---

  void RunLocal(TRun& run) {
    if (run.Error) return;
    switch (run.Unit.Command) {
      case TScpiCommand::Identify:
        run.Answer =
            "Corvane,Laser Control," + std::to_string(Laser.SerialNumber()) + "," + Options.Version;
        return;
      case TScpiCommand::ResetDefaults:
        return Fail(run, scpi::NoDefaults);
      case TScpiCommand::SelfTest:
        run.Answer = "0";
        return;
      case TScpiCommand::ClearStatus:
        Errors.clear();
        return;
      case TScpiCommand::OperationComplete:
        run.Answer = "1";
        return;
      case TScpiCommand::SystemError:
        if (Errors.empty()) {
          run.Answer = TScpiError{0, "No error"}.Format();
        } else {
          run.Answer = Errors.front().Format();
          Errors.pop_front();
        }
        return;
      case TScpiCommand::SystemState:
        switch (Laser.State()) {
          case TRemoteState::Disconnected:
            run.Answer = "DISCONNECTED";
            return;
          case TRemoteState::Probing:
            run.Answer = "PROBING";
            return;
          case TRemoteState::Ready:
            run.Answer = "READY";
            return;
        }
        return;
      default:
        return;
    }
  }

  void PushError(const TScpiError& error) {
    if (Errors.size() >= Options.MaxErrors) {
      Errors.back() = scpi::QueueOverflow;
      return;
    }
    Errors.push_back(error);
  }

  void Retire() {
    while (!Runs.empty() && !Gone()) {
      TRun& run = *Runs.front();
      if (run.Local && !run.Answer && !run.Error) RunLocal(run);
      if (!run.Started) Begin(TRunPtr(Runs.front()));  // at the front, so within the limit
      if (run.Outstanding > 0 || run.AwaitPhase) return;
      const TRunPtr done = std::move(Runs.front());
      Runs.pop_front();
      if (done->Error) PushError(*done->Error);
      if (done->Unit.Query && done->Answer && !done->Error) Answers.push_back(*done->Answer);
      // Logged before the answer goes out: a client may be gone once it is written.
      if (done->Sent && Owner->OnControl) Owner->OnControl(ScpiText(done->Unit), done->Error);
      if (done->LineEnd && !Answers.empty() && !Gone()) {
        std::string line;
        for (const std::string& answer : Answers) line += (line.empty() ? "" : ";") + answer;
        Answers.clear();
        line += '\n';
        if (Write) Write(line);
      }
    }
  }

  void PhaseEnded(bool answered) {
    for (const TRunPtr& run : Runs) {
      const TScpiCommand command = run->Unit.Command;
      if (run->Local || (command != TScpiCommand::Reset && command != TScpiCommand::ClearError)) {
        continue;
      }
      if (run->AwaitPhase) {
        run->AwaitPhase = false;
        if (command == TScpiCommand::ClearError && !answered) Fail(*run, scpi::NoReply);
      } else if (run->Outstanding > 0) {
        run->PhaseEnd = answered;
      }
    }
    Pump();
  }
};

TRemoteSession::TRemoteSession(TRemoteLaser& Laser, TRemoteOptions Options, TWrite Write)
    : FCore(std::make_shared<TCore>(Laser, std::move(Options), std::move(Write))) {
  FCore->Owner = this;
}

TRemoteSession::~TRemoteSession() {
  FCore->Owner = nullptr;
}

void TRemoteSession::Receive(std::string_view Bytes) {
  FCore->Receive(Bytes);
}

bool TRemoteSession::Accepting() const {
  return FCore->Accepting();
}

std::size_t TRemoteSession::Pending() const {
  return FCore->Runs.size();
}

bool TRemoteSession::Idle() const {
  return FCore->Runs.empty() && FCore->Backlog.empty();
}

void TRemoteSession::SetAllowControl(bool Allow) {
  FCore->Options.AllowControl = Allow;
}

void TRemoteSession::PhaseEnded(bool Answered) {
  FCore->PhaseEnded(Answered);
}
