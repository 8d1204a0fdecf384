#include "laser/CommandQueue.h"

#include "laser/Text.h"

namespace {

// The digit run that starts at the second character, leading zeros skipped unless it is all
// zeros.
std::string_view DigitRun(std::string_view text) {
  std::size_t end = 1;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  std::string_view run = text.substr(1, end - 1);
  const std::size_t nonZero = run.find_first_not_of('0');
  return nonZero == std::string_view::npos ? run : run.substr(nonZero);
}

}  // namespace

bool SameCommand(const std::string& first, const std::string& second) {
  if (&first == &second || (first.empty() && second.empty())) return true;
  if (first.empty() || second.empty()) return false;
  const char a = text::UpperAscii(first[0]);
  const char b = text::UpperAscii(second[0]);
  if (a < 'A' || a > 'Z' || a != b) return false;
  return DigitRun(first) == DigitRun(second);
}

void TStrQueue::Push(std::string_view text, int commandIndex) {
  TQueueItem item;
  item.CommandIndex = commandIndex;
  item.Text = std::string(text);
  Push(std::move(item));
}

bool TStrQueue::Push(TQueueItem item) {
  const std::string_view trimmed = text::TrimControls(item.Text);
  if (trimmed.empty()) return false;
  item.Text = ShortString(trimmed);
  item.Sent = false;
  {
    std::lock_guard lock(FLock);
    item.Serial = FNextSerial++;
    FQueuedRefreshes += item.Origin == TOrigin::Refresh;
    FItems[static_cast<int>(item.Priority)].push_back(std::move(item));
    Counted();
  }
  Changed();
  return true;
}

std::optional<TQueueItem> TStrQueue::Peek() const {
  std::lock_guard lock(FLock);
  for (int p = 2; p >= 0; --p) {
    if (!FItems[p].empty()) return FItems[p].front();
  }
  return std::nullopt;
}

void TStrQueue::Pop() {
  if (Take()) Changed();
}

std::optional<TQueueItem> TStrQueue::Taken(std::deque<TQueueItem>& line,
                                           std::deque<TQueueItem>::iterator it, bool hold) {
  std::optional<TQueueItem> item(std::move(*it));
  line.erase(it);
  const bool refresh = item->Origin == TOrigin::Refresh;
  FQueuedRefreshes -= refresh;
  if (hold) {
    ++FHeld;
    FHeldRefreshes += refresh;
  }
  Counted();
  return item;
}

std::optional<TQueueItem> TStrQueue::Take(bool urgentOnly, bool hold) {
  std::lock_guard lock(FLock);
  for (int p = 2; p >= (urgentOnly ? 2 : 0); --p) {
    if (!FItems[p].empty()) return Taken(FItems[p], FItems[p].begin(), hold);
  }
  return std::nullopt;
}

std::optional<TQueueItem> TStrQueue::TakeBypass(bool hold) {
  std::lock_guard lock(FLock);
  auto& urgent = FItems[static_cast<int>(TPriority::Urgent)];
  for (auto it = urgent.begin(); it != urgent.end(); ++it) {
    if (it->Bypass) return Taken(urgent, it, hold);
  }
  return std::nullopt;
}

void TStrQueue::Release(TOrigin origin) {
  std::lock_guard lock(FLock);
  if (FHeld == 0) return;
  --FHeld;
  if (origin == TOrigin::Refresh && FHeldRefreshes > 0) --FHeldRefreshes;
  Counted();
}

std::deque<TQueueItem> TStrQueue::TakeIf(const std::function<bool(const TQueueItem&)>& drop) {
  std::deque<TQueueItem> taken;
  std::lock_guard lock(FLock);
  for (auto& line : FItems) {
    for (auto it = line.begin(); it != line.end();) {
      if (!drop(*it)) {
        ++it;
        continue;
      }
      FQueuedRefreshes -= it->Origin == TOrigin::Refresh;
      taken.push_back(std::move(*it));
      it = line.erase(it);
    }
  }
  Counted();
  return taken;
}

std::deque<TQueueItem> TStrQueue::TakeAll() {
  std::deque<TQueueItem> all;
  std::lock_guard lock(FLock);
  for (int p = 2; p >= 0; --p) {
    for (TQueueItem& item : FItems[p]) all.push_back(std::move(item));
    FItems[p].clear();
  }
  FQueuedRefreshes = 0;
  Counted();
  return all;
}

void TStrQueue::Clear() {
  // freed here, outside the lock: a long queue must not hold up the other threads
  std::deque<TQueueItem> items = TakeAll();
}

void TStrQueue::Counted() {
  FCount.store(static_cast<int>(FItems[0].size() + FItems[1].size() + FItems[2].size()) + FHeld);
  FRefreshes.store(FQueuedRefreshes + FHeldRefreshes);
}

void TStrQueue::Changed() {
  if (OnChange) OnChange(this);
}
