#include "laser/ReplyBook.h"

#include <algorithm>

namespace {

std::shared_ptr<const TCommandSyntax> MakeSync(TLaserCommand id, const char* command,
                                               const char* mask, std::int16_t group) {
  TCommandSyntax entry;
  entry.ID = id;
  entry.Command = command;
  entry.Mask = mask;
  entry.Indexes = {-1, group};
  entry.Lines = CountLines(entry.Mask);
  return std::make_shared<const TCommandSyntax>(std::move(entry));
}

bool SameKindAs(const TWrittenCommand& c, const TCommandSyntax& sync) {
  return SameCommand(c.Text, sync.Command);
}

}  // namespace

const std::shared_ptr<const TCommandSyntax>& TReplyBook::SyncEntry(int kind) {
  // The serial-number, status and running-time reads of the initial command set, which every
  // laser knows.
  static const std::shared_ptr<const TCommandSyntax> entries[SyncKinds] = {
      MakeSync(lcReadSN, "r01", "\\AS/N:[ \\t]*?((\\d+?)(\\.0*?)??)[ \\t]*?\\Z", 2),
      MakeSync(lcReadStatus, "r60", "\\A(LASER_ON|LASER_OFF)\\Z", 0),
      MakeSync(lcReadRunningTime, "r51",
               "\\A.*?TIME:\\r\\n[ \\t]*?(\\d+?) H\\r\\n[ \\t]*?(\\d{1,2}) M\\Z", 1),
  };
  return entries[kind];
}

void TReplyBook::Written(TWrittenCommand command) {
  if (command.Sync) ++FEpisodeSyncs;
  FInFlight.push_back(std::move(command));
}

const TWrittenCommand* TReplyBook::Pending() const {
  for (auto it = FInFlight.rbegin(); it != FInFlight.rend(); ++it) {
    if (it->Waited && !it->Late && !it->Sync) return &*it;
  }
  return nullptr;
}

std::uint64_t TReplyBook::PendingSerial() const {
  const TWrittenCommand* pending = Pending();
  return pending ? pending->Serial : 0;
}

bool TReplyBook::InStep() const {
  return std::none_of(FInFlight.begin(), FInFlight.end(),
                      [](const TWrittenCommand& c) { return c.Late || c.Sync || !c.Waited; });
}

int TReplyBook::Refreshes() const {
  return static_cast<int>(std::count_if(FInFlight.begin(), FInFlight.end(), [](const auto& c) {
    return c.Origin == TOrigin::Refresh;
  }));
}

std::vector<TWrittenCommand> TReplyBook::TakeThrough(std::deque<TWrittenCommand>::iterator end) {
  std::vector<TWrittenCommand> done(std::make_move_iterator(FInFlight.begin()),
                                    std::make_move_iterator(end));
  FInFlight.erase(FInFlight.begin(), end);
  if (InStep()) FEpisodeSyncs = 0;
  return done;
}

std::vector<TWrittenCommand> TReplyBook::Settle(std::uint64_t serial) {
  auto it = std::find_if(FInFlight.begin(), FInFlight.end(),
                         [&](const TWrittenCommand& c) { return c.Serial == serial; });
  if (it == FInFlight.end()) return {};
  return TakeThrough(std::next(it));
}

std::vector<TWrittenCommand> TReplyBook::SettleBefore(std::uint64_t serial) {
  auto it = std::find_if(FInFlight.begin(), FInFlight.end(),
                         [&](const TWrittenCommand& c) { return c.Serial == serial; });
  if (it == FInFlight.end()) return {};
  return TakeThrough(it);
}

std::vector<TWrittenCommand> TReplyBook::SettleAll() {
  return TakeThrough(FInFlight.end());
}

std::optional<TWrittenCommand> TReplyBook::TimedOut(std::uint64_t serial) {
  for (TWrittenCommand& c : FInFlight) {
    if (c.Serial != serial) continue;
    c.Late = true;
    return c;
  }
  return std::nullopt;
}

TReplyBook::TResync TReplyBook::PlanResync(TClock::time_point now, TClock::time_point lastHeard,
                                           bool phase, std::chrono::milliseconds replyWait,
                                           std::chrono::milliseconds syncWait,
                                           std::chrono::milliseconds silence) const {
  TResync plan;
  if (InStep()) return plan;
  // Only a Laser OFF written out of step left: its own reply settles it, and nothing else can be
  // in the way; it is given its reply wait like any command.
  const bool onlyUnwaited = std::all_of(FInFlight.begin(), FInFlight.end(), [](const auto& c) {
    return !c.Late && !c.Sync && !c.Waited;
  });
  if (onlyUnwaited) {
    const TClock::time_point due = FInFlight.front().At + replyWait;
    if (now >= due) {
      plan.GiveUpUnwaited = true;
    } else {
      plan.WakeAt = due;
    }
    return plan;
  }
  TClock::time_point lastWrite{};
  TClock::time_point lastSync{};
  for (const TWrittenCommand& c : FInFlight) {
    lastWrite = std::max(lastWrite, c.At);
    if (c.Sync) lastSync = std::max(lastSync, c.At);
  }
  // Nothing heard since the last write for this long: whatever was on its way is lost.
  const TClock::time_point quietSince = std::max(lastWrite, lastHeard);
  if (now - quietSince >= silence) {
    plan.Silent = true;
    return plan;
  }
  plan.WakeAt = quietSince + silence;
  if (phase) return plan;
  // One sync read at a time, each given a wait of its own before the next is tried; the waits
  // double, so that a line slower than the first wait is not flooded with reads whose replies
  // all come too late to count.
  const auto wait = syncWait * (1 << std::clamp(FEpisodeSyncs - 1, 0, 3));
  if (lastSync != TClock::time_point{} && now - lastSync < wait) {
    plan.WakeAt = std::min(*plan.WakeAt, lastSync + wait);
    return plan;
  }
  // A read whose reply could also be an earlier command's proves nothing: only a kind with no
  // command of its own in flight will do.
  for (int kind = 0; kind < SyncKinds; ++kind) {
    const TCommandSyntax& sync = *SyncEntry(kind);
    if (std::none_of(FInFlight.begin(), FInFlight.end(),
                     [&](const TWrittenCommand& c) { return SameKindAs(c, sync); })) {
      plan.SyncKind = kind;
      break;
    }
  }
  return plan;
}

void TReplyBook::AddUnanswered(TUnanswered read) {
  FUnanswered.push_back(std::move(read));
}

std::optional<TUnanswered> TReplyBook::TakeUnanswered(TClock::time_point now) {
  while (!FUnanswered.empty() && FUnanswered.front().Until < now) FUnanswered.pop_front();
  if (FUnanswered.empty()) return std::nullopt;
  TUnanswered first = std::move(FUnanswered.front());
  FUnanswered.pop_front();
  return first;
}

void TReplyBook::SettleUnanswered(std::uint64_t before) {
  while (!FUnanswered.empty() && FUnanswered.front().Command.Serial < before)
    FUnanswered.pop_front();
}

void TReplyBook::HoldError(TUnanswered read, std::uint64_t pending) {
  FHeldError = THeldError{std::move(read), pending};
}

std::optional<TUnanswered> TReplyBook::TakeHeldError(std::uint64_t pending) {
  if (!FHeldError || FHeldError->For != pending) return std::nullopt;
  TUnanswered read = std::move(FHeldError->Read);
  FHeldError.reset();
  return read;
}

void TReplyBook::Await(std::uint64_t serial) {
  FAwaiting = serial;
  FAwaitEnd.reset();
}

void TReplyBook::NoteEnd(std::uint64_t serial, bool refused) {
  if (Awaiting(serial)) FAwaitEnd = refused;
}

TReplyBook::TWaitEnd TReplyBook::EndWait(std::uint64_t serial, TWrittenCommand& late) {
  const bool mine = FAwaiting == serial;
  const std::optional<bool> end = FAwaitEnd;
  FAwaiting = 0;
  FAwaitEnd.reset();
  if (mine && end) return *end ? TWaitEnd::Refused : TWaitEnd::Answered;
  std::optional<TWrittenCommand> timedOut = TimedOut(serial);
  if (!timedOut) return TWaitEnd::Gone;
  late = std::move(*timedOut);
  return TWaitEnd::TimedOut;
}

std::vector<TWrittenCommand> TReplyBook::Clear() {
  FAwaiting = 0;
  FAwaitEnd.reset();
  FUnanswered.clear();
  FHeldError.reset();
  return SettleAll();
}
