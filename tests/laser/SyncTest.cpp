#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "laser/ErrorExplan.h"
#include "laser/Sync.h"
#include "laser/Threads.h"

namespace {

using namespace std::chrono_literals;

TEST(Event, ManualResetStaysSignalledAutoResetIsTakenByOneWait) {
  TEvent manual(true);
  TEvent automatic(false);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  automatic.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.IsSet());
  manual.Set();
  manual.Set();  // setting twice is one signal
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
}

TEST(Event, WaitForAnyPrefersTheFirstAndTimesOut) {
  TEvent a, b;
  b.Set();
  EXPECT_EQ(TEvent::WaitForAny({&a, &b}, 0), 1);
  a.Set();
  EXPECT_EQ(TEvent::WaitForAny({&a, &b}, 0), 0);
  a.Reset();
  b.Reset();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TEvent::WaitForAny({&a, &b}, 50), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 49ms);
}

TEST(Event, ASetFromAnotherThreadEndsAnUnboundedWait) {
  TEvent event(false);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    event.Set();
  });
  EXPECT_TRUE(event.Wait(-1));
  setter.join();
}

TEST(Synchronizer, WorkerBlocksUntilTheUiThreadRunsTheCall) {
  TSynchronizer sync;
  std::atomic<int> stage{0};
  int ranOn = 0;  // written by the call, which must run on this thread
  std::thread worker([&] {
    stage = 1;
    sync.Synchronize([&] { ranOn = 1; });
    stage = 2;
  });
  while (stage.load() == 0) std::this_thread::yield();
  ASSERT_TRUE(sync.WaitPending(10000));
  EXPECT_EQ(stage.load(), 1) << "the worker must wait for the UI thread";
  EXPECT_TRUE(sync.CheckSynchronize());
  worker.join();
  EXPECT_EQ(ranOn, 1);
  EXPECT_EQ(stage.load(), 2);
  EXPECT_FALSE(sync.CheckSynchronize());
}

TEST(Synchronizer, OnTheUiThreadTheCallRunsAtOnce) {
  TSynchronizer sync;
  bool ran = false;
  sync.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(Synchronizer, WakeUpHookIsCalledForEveryQueuedCall) {
  TSynchronizer sync;
  std::atomic<int> wakes{0};
  sync.SetWakeUp([&] { ++wakes; });
  std::thread worker([&] {
    sync.Synchronize([] {});
    sync.Synchronize([] {});
  });
  while (wakes.load() < 2) {
    sync.WaitPending(100);
    sync.CheckSynchronize();
  }
  worker.join();
  EXPECT_EQ(wakes.load(), 2);
}

TEST(Synchronizer, AThrowingCallReleasesTheWorkerAndReachesTheCaller) {
  TSynchronizer sync;
  std::thread worker([&] { sync.Synchronize([] { throw std::runtime_error("boom"); }); });
  ASSERT_TRUE(sync.WaitPending(10000));
  EXPECT_THROW(sync.CheckSynchronize(), std::runtime_error);
  worker.join();
}

TEST(Synchronizer, ShutdownReleasesWaitingWorkersWithoutRunningTheirCalls) {
  TSynchronizer sync;
  std::atomic<bool> ran{false};
  std::thread worker([&] { sync.Synchronize([&] { ran = true; }); });
  ASSERT_TRUE(sync.WaitPending(10000));
  sync.Shutdown();
  worker.join();
  sync.Synchronize([&] { ran = true; });
  EXPECT_FALSE(ran.load());
}

TEST(SameCommand, KeysCompareLetterAndNumber) {
  struct {
    const char* A;
    const char* B;
    bool Same;
  } cases[] = {
      {"r61", "R061", true}, {"w98 347", "w98", true}, {"r61", "r62", false},
      {"r0", "r00", false},  {"", "", true},           {"", "r1", false},
      {"r1", "", false},     {"1r", "1r", false},      {"w97 347", "W97 999", true},
      {"r", "R", true},      {"r", "r0", false},       {"r007", "r7", true},
      {"r61x", "r61", true}, {"#1", "#1", false},      {"r6 1", "r6", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameCommand(c.A, c.B), c.Same) << '"' << c.A << "\" / \"" << c.B << '"';
  }
  const std::string digitFirst = "1r";
  EXPECT_TRUE(SameCommand(digitFirst, digitFirst)) << "the very same object";
}

TEST(StrQueue, PushTrimsSkipsBlanksAndNotifies) {
  TStrQueue queue;
  int changes = 0;
  queue.OnChange = [&](TStrQueue*) { ++changes; };
  queue.Push("  r61 ", 3);
  queue.Push(" \t\r\n ", 1);
  queue.Push("", 1);
  EXPECT_EQ(queue.Count(), 1);
  EXPECT_EQ(changes, 1);
  queue.Push("w62 12.50", -1);
  auto head = queue.Peek();
  ASSERT_TRUE(head);
  EXPECT_EQ(head->Text, "r61");
  EXPECT_EQ(head->CommandIndex, 3);
  EXPECT_FALSE(head->Sent);
  queue.Pop();
  EXPECT_EQ(queue.Peek()->Text, "w62 12.50");
  EXPECT_EQ(changes, 3);
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(changes, 3);
  queue.Pop();  // empty: nothing
  EXPECT_EQ(changes, 3);
}

// Laser OFF before everything that waits, the operator's commands before refresh reads, and the
// order of pushing within each.
TEST(StrQueue, PrioritiesDecideTheOrder) {
  TStrQueue queue;
  auto push = [&](const char* text, TPriority priority, bool bypass = false) {
    TQueueItem item;
    item.Text = text;
    item.Priority = priority;
    item.Origin = priority == TPriority::Refresh ? TOrigin::Refresh : TOrigin::Operator;
    item.Bypass = bypass;
    queue.Push(std::move(item));
  };
  push("r60", TPriority::Refresh);
  push("r61", TPriority::Refresh);
  push("w61 12.50", TPriority::Normal);
  push("r61", TPriority::Normal);
  push("w60 0", TPriority::Urgent, true);
  push("r60", TPriority::Urgent);
  push("w62 3.00", TPriority::Normal);
  push("w60 0", TPriority::Urgent, true);
  EXPECT_EQ(queue.Count(), 8);
  EXPECT_EQ(queue.Refreshes(), 2);
  // Out of step only Laser OFF goes, each in its turn.
  EXPECT_EQ(queue.TakeBypass()->Text, "w60 0");
  std::vector<std::string> order;
  while (std::optional<TQueueItem> item = queue.Take()) order.push_back(item->Text);
  EXPECT_EQ(order, (std::vector<std::string>{"r60", "w60 0", "w61 12.50", "r61", "w62 3.00", "r60",
                                             "r61"}));
  EXPECT_EQ(queue.Refreshes(), 0);
  EXPECT_FALSE(queue.TakeBypass());
}

TEST(StrQueue, LongTextsAreCut) {
  TStrQueue queue;
  queue.Push(std::string(300, 'r'), -1);
  EXPECT_EQ(queue.Peek()->Text.size(), 255u);
}

TEST(Explanations, TablesCodesAndDisplayLines) {
  TExplanationList list;
  list.LoadQTExplanations();
  EXPECT_EQ(list.Count(), 12);
  EXPECT_EQ(list.DisplayLine(93), "[93]  General protection (interlock is open).");
  EXPECT_EQ(list.DisplayLine(96), "[96]");
  EXPECT_EQ(list.DisplayLine(73), "[73]  Flow rate of cooling water is out of working range");
  list.LoadZEExplanations();
  EXPECT_EQ(list.Count(), 18);
  EXPECT_EQ(list.DisplayLine(93),
            "[93]  (M4)Interlock (safety loops) is open. (R7)LD current is too high.");
  EXPECT_EQ(list.DisplayLine(96), "[96]  (M4)LD voltage is too high.");
  EXPECT_EQ(list.DisplayLine(73), "[73]");
  EXPECT_EQ(list.DisplayLine(7), "[7]");
  for (int code = 80; code <= 97; ++code) EXPECT_NE(list.Find(code), nullptr) << code;
  list.Clear();
  EXPECT_EQ(list.DisplayLine(80), "[80]");
}

TEST(Explanations, AddingAPresentCodeReplacesItsText) {
  TExplanationList list;
  list.LoadQTExplanations();
  EXPECT_EQ(list.Add(86, "new"), 3);
  EXPECT_EQ(list.Count(), 12);
  EXPECT_EQ(list.Find(86)->Text, "new");
  EXPECT_EQ(list.Add(5, "five"), 12);
  EXPECT_EQ(list.IndexOfCode(5), 12);
  EXPECT_EQ(list.IndexOfCode(6), -1);
  EXPECT_THROW(list.Items(13), std::out_of_range);
}

}  // namespace
