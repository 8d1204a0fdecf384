// The command queue under many items and two threads: first in, first out, every item once, the
// head-only operations aimed at the right item, and OnChange run with the lock released.
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

// Random pushes (some blank, some padded), pops, head marks and clears, checked step by step
// against a plain model. Long runs of pushes make the queue deep, so its storage wraps and grows
// while items come and go at both ends.
TEST(StrQueueModel, ManyItemsKeepTheirOrderAndFields) {
  struct {
    const char* Name;
    int Steps;
    int PushPercent;  // the rest pops, or marks and signals the head
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
      bool Sent;
      std::uint64_t Serial;
    };
    std::deque<TModelItem> model;
    TStrQueue queue;
    TEvent reply;
    int changes = 0, expectedChanges = 0;
    queue.OnChange = [&](TStrQueue* sender) {
      EXPECT_EQ(sender, &queue);
      ++changes;
    };
    std::mt19937 random(7);
    std::uint64_t lastSerial = 0;
    std::size_t deepest = 0;
    for (int step = 0; step < c.Steps; ++step) {
      const int roll = static_cast<int>(random() % 100);
      if (step == c.ClearAt) {
        queue.Clear();  // no OnChange
        model.clear();
      } else if (roll < c.PushPercent) {
        const int index = static_cast<int>(random() % 50) - 1;
        const std::string core = "r" + std::to_string(step);
        switch (random() % 8) {
          case 0:  // blank: not queued, no OnChange
            queue.Push(" \t\r\n", index);
            break;
          case 1:
            queue.Push("\t " + core + " \r", index);
            model.push_back({core, index, false, 0});
            ++expectedChanges;
            break;
          default:
            queue.Push(core, index);
            model.push_back({core, index, false, 0});
            ++expectedChanges;
        }
      } else if (roll < c.PushPercent + (100 - c.PushPercent) / 2) {
        queue.Pop();
        if (!model.empty()) {
          model.pop_front();
          ++expectedChanges;
        }
      } else {
        // Marks and signals reach the head only, and only by its own serial.
        if (std::optional<TQueueItem> head = queue.Peek()) {
          queue.MarkSent(head->Serial + 1);
          queue.SignalIfHead(head->Serial - 1, reply);
          EXPECT_FALSE(reply.IsSet()) << "step " << step;
          queue.MarkSent(head->Serial);
          model.front().Sent = true;
          queue.SignalIfHead(head->Serial, reply);
          EXPECT_TRUE(reply.IsSet()) << "step " << step;
          reply.Reset();
        }
      }
      deepest = std::max(deepest, model.size());

      ASSERT_EQ(queue.Count(), static_cast<int>(model.size())) << "step " << step;
      std::optional<TQueueItem> head = queue.Peek();
      ASSERT_EQ(head.has_value(), !model.empty()) << "step " << step;
      if (head) {
        TModelItem& expected = model.front();
        ASSERT_EQ(head->Text, expected.Text) << "step " << step;
        ASSERT_EQ(head->CommandIndex, expected.Index) << "step " << step;
        ASSERT_EQ(head->Sent, expected.Sent) << "step " << step;
        if (expected.Serial == 0) {
          // A new head: serials rise in the order of the pushes.
          ASSERT_GT(head->Serial, lastSerial) << "step " << step;
          expected.Serial = lastSerial = head->Serial;
        }
        ASSERT_EQ(head->Serial, expected.Serial) << "step " << step;
      }
    }
    EXPECT_EQ(changes, expectedChanges);
    if (c.PushPercent > 90) {
      EXPECT_GT(deepest, 100'000u);
    }
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
      queue.MarkSent(head->Serial);
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
