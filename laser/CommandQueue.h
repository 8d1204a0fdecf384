// The queue of commands waiting to be written: who asked for each, and the order in which they go.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "laser/Commands.h"

// Two command texts name the same command when their first letters agree (case ignored) and the
// digit runs after them agree with leading zeros ignored; parameters do not count.
bool SameCommand(const std::string& first, const std::string& second);

// Who asked for a command. Only the operator's own commands (and a script's) are reported when
// they fail or are dropped; the program's probes and refresh reads have their own handling.
enum class TOrigin : std::uint8_t { Operator, Program, Refresh };

// The order in which waiting commands go: Laser OFF before everything, what the operator or the
// program asked for before refresh reads; first come first served within one class.
enum class TPriority : std::uint8_t { Refresh, Normal, Urgent };

// How a command ended, for whoever asked to be told.
enum class TCommandOutcome : std::uint8_t {
  Answered,   // its reply matched (Groups hold the reply's capture groups)
  Refused,    // the laser answered "ERROR"
  NoReply,    // no reply within the reply wait, or the line closed while it waited
  NotSent,    // the connection closed before it was written
  Cancelled,  // not written: a Laser OFF given after it went first (a Laser ON, say)
};
using TCommandDone = std::function<void(TCommandOutcome Outcome, const TLaserMsg& Groups)>;

struct TQueueItem {
  int CommandIndex = -1;  // index in the laser's command table, -1 for a typed command
  std::string Text;
  bool Sent = false;
  std::uint64_t Serial = 0;  // tells one queued command from another with the same text
  TOrigin Origin = TOrigin::Operator;
  TPriority Priority = TPriority::Normal;
  // The table entry its reply is matched with, as it was when the command was queued; none for
  // a typed text that the table does not know.
  std::shared_ptr<const TCommandSyntax> Entry;
  // Written even while the line is out of step, at once: Laser OFF.
  bool Bypass = false;
  std::uint64_t Connection = 0;  // the connection it was queued for
  TCommandDone Done;             // run on the UI thread when it has ended; may be empty
};

// First-in first-out command texts by priority; all operations are thread-safe, and Push, Peek
// and Pop take constant time however many commands wait.
class TStrQueue {
 public:
  // Trims the text (codes 0 to 32 at both ends); a blank text is not queued.
  void Push(std::string_view text, int commandIndex);
  // The same with everything the laser knows of the command. Returns false for a blank text.
  bool Push(TQueueItem item);
  std::optional<TQueueItem> Peek() const;  // a copy of the head item
  void Pop();
  // Takes the head out, optionally only when it is Urgent. A held item still counts in Count and
  // Refreshes until Release: the sender holds what it takes until the item is on record as
  // written (or dropped), so that nobody sees it in neither place.
  std::optional<TQueueItem> Take(bool urgentOnly = false, bool hold = false);
  // Takes the first item that goes out whatever the line's state (Laser OFF), held likewise.
  std::optional<TQueueItem> TakeBypass(bool hold = false);
  // Ends the hold on an item taken with `hold`.
  void Release(TOrigin origin);
  // Removes the items `drop` picks and hands them over (no OnChange).
  std::deque<TQueueItem> TakeIf(const std::function<bool(const TQueueItem&)>& drop);
  // Removes every item and hands them over (no OnChange).
  std::deque<TQueueItem> TakeAll();
  void Clear();  // no OnChange
  // Without the lock: the workers ask on every turn. Written under the lock before OnChange runs,
  // so a thread that pauses and then finds 0 here cannot miss a push's resume.
  int Count() const { return FCount.load(); }
  // Refresh reads waiting.
  int Refreshes() const { return FRefreshes.load(); }

  // Runs on the thread that pushed or popped, after the queue's lock is released.
  std::function<void(TStrQueue* Sender)> OnChange;

 private:
  void Changed();
  void Counted();  // under the lock
  std::optional<TQueueItem> Taken(std::deque<TQueueItem>& line, std::deque<TQueueItem>::iterator it,
                                  bool hold);  // under the lock
  mutable std::mutex FLock;
  // One line per priority, head first; Peek and Take look at the highest non-empty one.
  std::deque<TQueueItem> FItems[3];
  int FQueuedRefreshes = 0;  // under the lock, as are the two held counts
  int FHeld = 0;
  int FHeldRefreshes = 0;
  std::atomic<int> FCount{0};
  std::atomic<int> FRefreshes{0};
  std::uint64_t FNextSerial = 1;
};
