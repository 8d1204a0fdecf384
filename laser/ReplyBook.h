// The reply bookkeeping of one line, without threads: which written commands may still be
// answered, whether the line is in step (the next reply belongs to the command written last), and
// what the sender must do to bring it back in step after a reply wait ran out.
//
// Replies come in the order of the commands, one per command at most, but a reply may be lost or
// come late. While every command has been answered in time, the next reply belongs to the command
// written last. Once a reply wait runs out, that is no longer known: a late reply to "r61" would
// fit "r62" as well. So after a timeout nothing more is written but the engine's own reads whose
// replies nothing else can match (the serial number, the on/off status), and no reply is taken for
// a command written later until the line is known to be in step again: one of those reads was
// answered, which settles everything written before it. A read is only of use while no earlier
// command of its kind may still be answered; the serial number, the status and the running time
// take turns.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "laser/CommandQueue.h"
#include "laser/Commands.h"

using TClock = std::chrono::steady_clock;

// A command written to the line whose reply may still come.
struct TWrittenCommand {
  std::uint64_t Serial = 0;
  std::string Text;
  std::shared_ptr<const TCommandSyntax> Entry;  // its pattern; none for an unknown typed text
  TOrigin Origin = TOrigin::Operator;
  bool Waited = true;  // the sender waits for its reply
  bool Sync = false;   // the engine's own read, written to bring the line back in step
  bool Late = false;   // its reply wait has passed
  TClock::time_point At{};
  TCommandDone Done;
};

// A command written without a reply wait (the error-code read) whose answer may still come.
struct TUnanswered {
  TWrittenCommand Command;
  TClock::time_point Until;  // no answer of it can come later than this
};

class TReplyBook {
 public:
  // The engine's own reads for getting back in step: their replies fit no other command.
  static constexpr int SyncKinds = 3;
  static const std::shared_ptr<const TCommandSyntax>& SyncEntry(int kind);

  void Written(TWrittenCommand command);
  // The command the sender waits for: written with a reply wait that has not passed yet.
  const TWrittenCommand* Pending() const;
  std::uint64_t PendingSerial() const;
  // Nothing written is unanswered past its reply wait: the next reply is the pending command's.
  bool InStep() const;
  // Every command that may still be answered, oldest first.
  const std::deque<TWrittenCommand>& InFlight() const { return FInFlight; }
  int Unsettled() const { return static_cast<int>(FInFlight.size()); }
  int Refreshes() const;

  // The reply of `serial` came: it and everything written before it are done. Returns them,
  // oldest first (empty when `serial` is no longer in the book).
  std::vector<TWrittenCommand> Settle(std::uint64_t serial);
  // A reply came that belongs to `serial` or to a later command: everything before it is done.
  std::vector<TWrittenCommand> SettleBefore(std::uint64_t serial);
  std::vector<TWrittenCommand> SettleAll();
  // The reply wait of `serial` passed; returns the command, now late (none when it is gone).
  std::optional<TWrittenCommand> TimedOut(std::uint64_t serial);

  // What the sender does while the line is out of step.
  struct TResync {
    int SyncKind = -1;    // write this sync read now (-1: none)
    bool Silent = false;  // the line has said nothing for so long that nothing more will come
    // Only commands written without a wait (Laser OFF out of step) are left, and their reply
    // wait has passed: they are given up.
    bool GiveUpUnwaited = false;
    std::optional<TClock::time_point> WakeAt;  // look again then, unless something happens first
  };
  // lastHeard: when the last byte came in. In a clear-error or reset phase the controller is
  // busy, and no sync read is written.
  TResync PlanResync(TClock::time_point now, TClock::time_point lastHeard, bool phase,
                     std::chrono::milliseconds replyWait, std::chrono::milliseconds syncWait,
                     std::chrono::milliseconds silence) const;

  // --- the error-code read, which is written without a reply wait ---
  void AddUnanswered(TUnanswered read);
  // The oldest read that may still be answered; expired ones are forgotten.
  std::optional<TUnanswered> TakeUnanswered(TClock::time_point now);
  // Reads written before `before` cannot be answered any more.
  void SettleUnanswered(std::uint64_t before);
  // An ERROR that came while both an unanswered error-code read and a later command `pending`
  // were waiting: the read's refusal, or (when the read said nothing) that command's. The
  // command's own reply after it decides for the read, its silence for the command.
  void HoldError(TUnanswered read, std::uint64_t pending);
  std::optional<TUnanswered> TakeHeldError(std::uint64_t pending);

  // --- the sender's wait for the pending command ---
  void Await(std::uint64_t serial);
  bool Awaiting(std::uint64_t serial) const { return serial != 0 && FAwaiting == serial; }
  // The matcher found the awaited command answered or refused.
  void NoteEnd(std::uint64_t serial, bool refused);
  enum class TWaitEnd : std::uint8_t { Answered, Refused, TimedOut, Gone };
  // The sender's wait is over: how it ended. TimedOut marks the command late and copies it to
  // `late`; Gone: a close took it.
  TWaitEnd EndWait(std::uint64_t serial, TWrittenCommand& late);

  // A closed connection: nothing written can be answered any more. Returns what was in flight.
  std::vector<TWrittenCommand> Clear();

 private:
  std::vector<TWrittenCommand> TakeThrough(std::deque<TWrittenCommand>::iterator end);

  std::deque<TWrittenCommand> FInFlight;  // in write order
  std::deque<TUnanswered> FUnanswered;
  struct THeldError {
    TUnanswered Read;
    std::uint64_t For = 0;
  };
  std::optional<THeldError> FHeldError;
  std::uint64_t FAwaiting = 0;
  std::optional<bool> FAwaitEnd;  // refused?
  int FEpisodeSyncs = 0;          // sync reads written since the line went out of step
};

// The reply book with the lock that the sending and matching threads share it under (taken after
// the receive text's lock when both are needed, never before it).
class TSharedReplyBook {
 public:
  template <typename F>
  decltype(auto) With(F&& f) {
    std::lock_guard lock(FLock);
    return f(FBook);
  }
  template <typename F>
  decltype(auto) With(F&& f) const {
    std::lock_guard lock(FLock);
    return f(static_cast<const TReplyBook&>(FBook));
  }

 private:
  mutable std::mutex FLock;
  TReplyBook FBook;
};
