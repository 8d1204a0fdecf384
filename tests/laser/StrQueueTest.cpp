// The command queue under many items and two threads: first in, first out within a priority,
// every item once, and OnChange run with the lock released.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "laser/Sync.h"
#include "laser/Threads.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kHang = 10s;  // only a hang takes this long

// Random pushes (some blank, some padded, of every priority), pops and clears, checked step by step
// against a plain model. Long runs of pushes make the queue deep, so its storage wraps and grows
// while items come and go at both ends.
TEST(StrQueueModel, ManyItemsKeepTheirOrderAndFields) {
  struct {
    const char* Name;
    int Steps;
    int PushPercent;  // the rest pops
    int ClearAt;      // the step that clears the queue, -1 for none
  } cases[] = {
      {"mostly pushing: 100000 deep", 150'000, 97, -1},
      {"balanced", 100'000, 50, 60'000},
      {"mostly popping", 50'000, 30, 20'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    struct TModelItem {
      std::string Text;
      int Index;
      std::uint64_t Serial;
    };
    // One line per priority, the highest last.
    std::deque<TModelItem> model[3];
    auto modelSize = [&] { return model[0].size() + model[1].size() + model[2].size(); };
    auto modelHead = [&]() -> std::deque<TModelItem>* {
      for (int p = 2; p >= 0; --p) {
        if (!model[p].empty()) return &model[p];
      }
      return nullptr;
    };
    TStrQueue queue;
    int changes = 0, expectedChanges = 0;
    queue.OnChange = [&](TStrQueue* sender) {
      EXPECT_EQ(sender, &queue);
      ++changes;
    };
    std::mt19937 random(7);
    std::size_t deepest = 0;
    for (int step = 0; step < c.Steps; ++step) {
      const int roll = static_cast<int>(random() % 100);
      if (step == c.ClearAt) {
        queue.Clear();  // no OnChange
        for (auto& line : model) line.clear();
      } else if (roll < c.PushPercent) {
        const int index = static_cast<int>(random() % 50) - 1;
        const std::string core = "r" + std::to_string(step);
        // Mostly refresh reads, as a busy line has them; now and then the operator's, rarely OFF.
        const int p = random() % 10 == 0 ? 2 : random() % 3 == 0 ? 1 : 0;
        TQueueItem item;
        item.CommandIndex = index;
        item.Priority = static_cast<TPriority>(p);
        switch (random() % 8) {
          case 0:  // blank: not queued, no OnChange
            item.Text = " \t\r\n";
            queue.Push(std::move(item));
            break;
          case 1:
            item.Text = "\t " + core + " \r";
            queue.Push(std::move(item));
            model[p].push_back({core, index, 0});
            ++expectedChanges;
            break;
          default:
            item.Text = core;
            queue.Push(std::move(item));
            model[p].push_back({core, index, 0});
            ++expectedChanges;
        }
      } else {
        queue.Pop();
        if (std::deque<TModelItem>* line = modelHead()) {
          line->pop_front();
          ++expectedChanges;
        }
      }
      deepest = std::max(deepest, modelSize());

      ASSERT_EQ(queue.Count(), static_cast<int>(modelSize())) << "step " << step;
      std::optional<TQueueItem> head = queue.Peek();
      std::deque<TModelItem>* line = modelHead();
      ASSERT_EQ(head.has_value(), line != nullptr) << "step " << step;
      if (head) {
        TModelItem& expected = line->front();
        ASSERT_EQ(head->Text, expected.Text) << "step " << step;
        ASSERT_EQ(head->CommandIndex, expected.Index) << "step " << step;
        ASSERT_FALSE(head->Sent) << "step " << step;
        if (expected.Serial == 0) {
          expected.Serial = head->Serial;
        } else {
          ASSERT_EQ(head->Serial, expected.Serial) << "step " << step;
        }
        ASSERT_GT(head->Serial, 0u);
      }
    }
    EXPECT_EQ(changes, expectedChanges);
    if (c.PushPercent > 90) {
      EXPECT_GT(deepest, 100'000u);
    }
  }
}

// What the sender holds still counts until it is on record as written: a refresh round must never
// look finished in the moment between the queue and the reply book.
TEST(StrQueueHold, TakenItemsCountUntilReleased) {
  const auto item = [](const char* text, TOrigin origin, TPriority priority, bool bypass) {
    TQueueItem i;
    i.Text = text;
    i.Origin = origin;
    i.Priority = priority;
    i.Bypass = bypass;
    return i;
  };
  struct {
    const char* Name;
    bool Bypass;  // taken with TakeBypass, else Take
    bool Hold;
    bool ClearWhileHeld;
    int CountWhileHeld, RefreshesWhileHeld;
  } cases[] = {
      {"held refresh read", false, true, false, 2, 2},
      {"taken without hold", false, false, false, 1, 1},
      {"held, then the queue cleared by a close", false, true, true, 1, 1},
      {"held Laser OFF", true, true, false, 3, 2},
      {"Laser OFF without hold", true, false, false, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TStrQueue queue;
    if (c.Bypass) queue.Push(item("w60 0", TOrigin::Operator, TPriority::Urgent, true));
    queue.Push(item("r60", TOrigin::Refresh, TPriority::Refresh, false));
    queue.Push(item("r61", TOrigin::Refresh, TPriority::Refresh, false));
    if (!c.Bypass) queue.Push(item("w61 1", TOrigin::Operator, TPriority::Normal, false));
    const std::optional<TQueueItem> taken =
        c.Bypass ? queue.TakeBypass(c.Hold)
                 : queue.Take(false, c.Hold);  // the operator's set current goes first
    ASSERT_TRUE(taken);
    if (!c.Bypass) {
      // Take the refresh read too, so a held refresh is counted.
      queue.Release(taken->Origin);
      ASSERT_EQ(queue.Take(false, c.Hold)->Text, "r60");
    }
    if (c.ClearWhileHeld) queue.Clear();
    EXPECT_EQ(queue.Count(), c.CountWhileHeld);
    EXPECT_EQ(queue.Refreshes(), c.RefreshesWhileHeld);
    queue.Release(c.Bypass ? TOrigin::Operator : TOrigin::Refresh);
    EXPECT_EQ(queue.Count(), c.CountWhileHeld - c.Hold);
    EXPECT_EQ(queue.Refreshes(), c.RefreshesWhileHeld - (c.Hold && !c.Bypass));
    queue.Release(TOrigin::Refresh);  // nothing held: no effect
    EXPECT_EQ(queue.Count(), c.CountWhileHeld - c.Hold);
  }
}

// A pusher and a popper working like the UI thread and the sending thread: every command comes
// out once, in order, and a push is never lost between the popper's "empty" and its pause.
TEST(StrQueueThreads, ConcurrentPushAndPopKeepOrderAndLoseNothing) {
  constexpr int kItems = 50'000;
  TStrQueue queue;
  TEvent run(true, false);
  queue.OnChange = [&](TStrQueue* sender) {
    if (sender->Count() > 0) run.Set();
  };
  auto popper = std::async(std::launch::async, [&] {
    int next = 0;
    while (next < kItems) {
      if (queue.Count() == 0) {
        run.Reset();
        if (queue.Count() == 0 && !run.Wait(static_cast<int>(kHang / 1ms))) return next;
        continue;
      }
      std::optional<TQueueItem> head = queue.Peek();
      if (!head || head->Text != "w" + std::to_string(next) || head->CommandIndex != next % 40) {
        return next;
      }
      queue.Pop();
      ++next;
    }
    return next;
  });
  for (int i = 0; i < kItems; ++i) queue.Push("w" + std::to_string(i), i % 40);
  ASSERT_EQ(popper.wait_for(kHang * 3), std::future_status::ready);
  EXPECT_EQ(popper.get(), kItems) << "the item the popper stopped at";
  EXPECT_EQ(queue.Count(), 0);
}

// OnChange sees the queue as changed and runs with its lock free: another thread may use the
// queue meanwhile (the laser's handler reads it, and a worker may be peeking at the same time).
TEST(StrQueueThreads, OnChangeRunsWithTheLockReleased) {
  TStrQueue queue;
  struct TSeen {
    int Count = -1;
    bool OtherThreadGotIn = false;
    std::string Head;
  };
  std::vector<TSeen> seen;
  std::vector<std::future<std::string>> stuck;  // kept, so a failing case fails instead of hanging
  queue.OnChange = [&](TStrQueue* sender) {
    TSeen s;
    s.Count = sender->Count();
    auto other = std::async(std::launch::async, [&] {
      std::optional<TQueueItem> head = queue.Peek();
      return head ? head->Text : std::string();
    });
    s.OtherThreadGotIn = other.wait_for(kHang) == std::future_status::ready;
    if (s.OtherThreadGotIn) {
      s.Head = other.get();
    } else {
      stuck.push_back(std::move(other));
    }
    seen.push_back(s);
  };
  queue.Push("r61", 1);
  queue.Push("r62", 2);
  queue.Pop();
  queue.Pop();
  ASSERT_EQ(seen.size(), 4u);
  const TSeen expected[] = {{1, true, "r61"}, {2, true, "r61"}, {1, true, "r62"}, {0, true, ""}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(seen[i].Count, expected[i].Count) << "change " << i;
    EXPECT_TRUE(seen[i].OtherThreadGotIn) << "change " << i;
    EXPECT_EQ(seen[i].Head, expected[i].Head) << "change " << i;
  }
}

}  // namespace
