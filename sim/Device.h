// The simulated laser controller: bytes in, bytes out, on a clock the caller drives.
// No threads and no I/O here, so that tests can step it millisecond by millisecond; SimServer
// puts it on a pseudo-terminal.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class CaseMode { Upper, Lower, Mixed };
enum class Trigger { Internal, External, CW };

// qt2: two branches, a frequency each; qt2c: two branches, one common frequency; qt1: branch 1
// alone; ze: the single-branch family; sn-only: answers "r01" only; mute: answers nothing.
enum class Model { Qt2, Qt2c, Qt1, Ze, SnOnly, Mute };
std::optional<Model> ParseModel(std::string_view name);
const char* ModelName(Model model);

struct Options {
  std::string model = "qt2";  // qt2, qt2c, qt1, ze, sn-only, mute
  int sn = 1234;              // laser serial number ("S/N: 1234.000")
  int qxcSn = 1234;           // controller serial number ("SERIENNUMMER-QXC : 1234.0")
  bool pace = false;          // 173.6 us per byte both ways (57600 bit/s, 8N1)
  double drop = 0, garbage = 0, errorRate = 0;  // probabilities per reply
  int delayMs = 0;                              // every reply delayed
  bool split = false;                           // replies in 2 to 4 chunks with gaps of 1 to 3 ms
  CaseMode caseMode = CaseMode::Upper;
  std::vector<int> errors;             // codes held from the start
  std::vector<int> persistentErrors;   // held from the start, and back after a clear
  std::vector<int> unclearableErrors;  // held from the start; "w97 347" answers ERROR
  int clearDelayMs = 200;              // "w97 347" -> READY after this
  int resetMs = 3000;                  // "w99 347" -> silent this long, then READY
  int unplugAfter = -1;                // the line dies as command N arrives (-1: never)
  double unsolicitedErrorRate = 0;     // probability of an unsolicited error line after a reply
  std::uint64_t seed = 1;

  std::map<int, int> errorDetails;           // code -> second code shown as "07 (03)"
  std::vector<int> unsolicitedCodes = {93};  // what unsolicited error lines carry
  bool blanks = false;   // random extra leading blanks/tabs where the reply forms allow them
  bool journal = false;  // keep a JournalEntry per command (tests; it grows without bound)

  // The state at power-on (also what "w99 347" returns to until "w98 347" saves another).
  double current1 = 10.0, current2 = 12.5;
  double maxCurrent1 = 40.0, maxCurrent2 = 30.0;
  double limit1 = 45.0, limit2 = 45.0;
  double frequency1 = 30000.0, frequency2 = 20000.0;
  double maxFrequency = 100000.0;
  Trigger trigger1 = Trigger::Internal, trigger2 = Trigger::External;
  bool laserOn = false;
  double runningMinutes = 1234 * 60 + 5;
  double flow = 3.5;
  double humidity1 = 35.2, humidity2 = 36.8;
  double seederMHz = 80.5;
  int pulseCount = 10, pulseNumber = 5;
  double regulator = 50.0;
  bool grenz = false;  // ze names its maximum "I_GRENZ" instead of "IMAX"
};

// Empty when the options make sense, else a message naming the first bad one.
std::string ValidateOptions(const Options& options);

struct Branch {
  double current = 0, maxCurrent = 0, limit = 0, frequency = 0, humidity = 0;
  Trigger trigger = Trigger::Internal;
};

struct DeviceState {
  bool laserOn = false;
  int sn = 0, qxcSn = 0;
  std::array<Branch, 2> branch;  // ze keeps its single branch in branch[1] (it answers "r62")
  double flow = 0, seederMHz = 0, regulator = 0;
  int pulseCount = 0, pulseNumber = 0;
  double runningMinutes = 0;  // up to the last switch-off; see Device::RunningMinutes
  std::set<int> errors;       // the codes held
};

struct Received {
  double ms;         // device clock when the terminator came
  std::string text;  // the command without its terminator
};

// One command as the device handled it: what it meant to answer, what the line faults did to
// that answer, and what it held afterwards. A test checks a client's reports against it.
struct JournalEntry {
  std::size_t seq = 0;             // position in the journal, from 0
  double receivedMs = 0;           // device clock when the terminator came
  std::string command;             // as received, without its terminator
  std::vector<std::string> reply;  // the answer before line faults; empty: said nothing
  bool refused = false;            // the answer is ERROR
  bool injectedRefusal = false;    // refused by errorRate: nothing was done
  bool dropped = false;            // the answer was lost on the line (drop)
  bool garbage = false;            // a noise line went ahead of the answer
  double replyAtMs = -1;           // when the answer is due on the line; -1: nothing went out
  DeviceState state;               // after the command
};

class Device {
 public:
  // Throws std::invalid_argument when ValidateOptions finds fault.
  explicit Device(Options options);

  Model GetModel() const { return model_; }
  const Options& GetOptions() const { return options_; }

  // Bytes from the line at time nowMs; each complete command is answered (scheduled). Paced,
  // the bytes arrive one byte time apart from nowMs on, and a command counts from its last.
  void Receive(std::string_view bytes, double nowMs);

  struct Due {
    std::string bytes;    // due on the line by now, in order
    bool hangUp = false;  // the line closes after these bytes (unplugAfter)
  };
  // Takes what is due by nowMs off the line. Times never go backwards.
  Due TakeDue(double nowMs);
  // When TakeDue has something next; nothing when the line is idle.
  std::optional<double> NextDueMs() const;

  // A code appearing: held, and sent at once as its own line; the laser switches off.
  void RaiseError(int code, double nowMs);
  void ClearErrorCode(int code);
  // Later lines of the code carry the second code too ("07 (03)"); a negative one removes it.
  void SetErrorDetail(int code, int detail);
  void SetSN(int sn) { state_.sn = sn; }
  // From now on a reply is lost with probability p (1: the controller falls silent).
  void SetDrop(double p) { options_.drop = p; }

  const DeviceState& State() const { return state_; }
  DeviceState& MutableState() { return state_; }
  double RunningMinutes(double nowMs) const;
  bool Resetting(double nowMs) const { return nowMs < resetUntilMs_; }
  const std::vector<Received>& Commands() const { return commands_; }
  // Empty unless Options::journal.
  const std::vector<JournalEntry>& Journal() const { return journal_; }

 private:
  struct Command {
    char letter = 0;  // lower case
    int number = -1;
    bool hasParam = false;
    double value = 0;  // the parameter as a number
    bool numeric = false;
  };
  struct Outcome {
    bool silent = false;
    std::vector<std::string> reply;    // subject to drop
    double replyAfterMs = 0;           // "w97 347": READY after the clear delay
    std::vector<std::string> trailer;  // error lines after the reply, never dropped

    static Outcome Say(std::vector<std::string> lines) {
      Outcome o;
      o.reply = std::move(lines);
      return o;
    }
    static Outcome Refuse() { return Say({"ERROR"}); }
    static Outcome Ok() { return Say({"OK"}); }
    static Outcome Silent() {
      Outcome o;
      o.silent = true;
      return o;
    }
  };
  struct Segment {
    double atMs;
    std::uint64_t seq;
    std::vector<std::pair<double, std::string>> pieces;  // gap before, bytes
    bool hangUp;
  };

  void Handle(const std::string& line, double nowMs);
  void Log(const std::string& line, double nowMs, JournalEntry entry);
  Outcome Execute(const Command& c, double nowMs);
  Outcome ExecuteQt(const Command& c, double nowMs);
  Outcome ExecuteZe(const Command& c);
  Outcome SetCurrent(Branch& b, const Command& c);
  Outcome SetFrequency(Branch& b, const Command& c);
  void Restore();
  void SwitchOff(double nowMs);

  std::string CodeLine(int code) const;
  std::vector<std::string> HeldCodeLines() const;
  std::string Lead();  // optional random leading blanks
  std::string Cased(std::string text);
  std::string GarbageLine();
  void Enqueue(double atMs, const std::vector<std::string>& lines, bool hangUp = false);

  double Random();  // [0, 1)
  bool Chance(double p) { return p > 0 && Random() < p; }
  int RandomInt(int lo, int hi);  // [lo, hi]

  Options options_;
  Model model_;
  DeviceState state_;
  std::array<Branch, 2> saved_;  // what "w98 347" stored
  std::optional<double> onSinceMs_;
  std::set<int> persistent_, unclearable_;
  double resetUntilMs_ = -1;
  std::mt19937_64 rng_;

  std::string input_;
  std::vector<Received> commands_;
  std::vector<JournalEntry> journal_;

  std::vector<Segment> pending_;  // waiting for the line, taken in (atMs, seq) order
  std::uint64_t seq_ = 0;
  std::deque<std::pair<double, char>> sending_;  // bytes of the segment on the line
  double lineFreeMs_ = 0;
  double receiveLineFreeMs_ = 0;  // paced: when the last byte received so far has arrived
};

}  // namespace sim
