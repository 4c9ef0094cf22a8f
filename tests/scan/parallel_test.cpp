// A parallel job's order: checkers take files in list order, ahead by the ring at most (or only
// those the worker hands on); the worker takes results in list order, woken by the one it waits
// for; Stop frees a checker.
#include "scan/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace velkscan {
namespace {

using namespace std::chrono_literals;

FileOutcome Outcome(uint32_t index) {
  FileOutcome outcome;
  outcome.index = index, outcome.goodFrames = 100 + index;
  return outcome;
}

TEST(ParallelOrder, ACheckerRunsAheadByTheRingAtMost) {
  ParallelOrder order(5, 2, 2);  // a ring of 4
  uint32_t index = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(order.Take(index));
    EXPECT_EQ(index, i);
  }
  std::atomic<int> took{-1};
  std::thread checker([&] { took = order.Take(index) ? static_cast<int>(index) : -2; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(took, -1) << "took a file with the ring full";
  order.Put(Outcome(0), 500);
  FileOutcome out;
  ASSERT_TRUE(order.Next(0, out, 1s));
  checker.join();  // one slot came free: one more file
  EXPECT_EQ(took, 4);
  EXPECT_EQ(order.taken(), 5u);
  EXPECT_FALSE(order.Take(index));  // every file taken
}

// Screened: the worker settles some files itself, within the ring, and a checker takes only the others.
TEST(ParallelOrder, ACheckerTakesOnlyTheFilesTheWorkerHandsOn) {
  ParallelOrder order(4, 1, 2, false, true);  // a ring of 2
  uint32_t index = 0, taken = 0;
  ASSERT_TRUE(order.Screen(index) && index == 0);
  order.Settle(Outcome(0));
  ASSERT_TRUE(order.Screen(index) && index == 1);
  order.Release(1);
  EXPECT_FALSE(order.Screen(index));  // the ring is full
  ASSERT_TRUE(order.Take(taken));
  EXPECT_EQ(taken, 1u);
  order.Put(Outcome(1), 10);
  FileOutcome out;
  for (uint32_t i : {0u, 1u}) {
    ASSERT_TRUE(order.Next(i, out, 1s));
    EXPECT_EQ(out.goodFrames, 100 + i);
  }
  for (uint32_t i : {2u, 3u}) {
    ASSERT_TRUE(order.Screen(index) && index == i);
    order.Settle(Outcome(i));
  }
  EXPECT_FALSE(order.Take(taken));  // every file screened, none handed on
  EXPECT_EQ(order.taken(), 4u);
  // A checker that comes while the last file is screened but not yet handed on waits for it (a slow
  // start of its thread could hide an early end here, never fail a right one).
  ParallelOrder last(1, 1, 2, false, true);
  ASSERT_TRUE(last.Screen(index));
  auto take = std::async(std::launch::async, [&] { return last.Take(taken) ? static_cast<int>(taken) : -1; });
  EXPECT_EQ(take.wait_for(100ms), std::future_status::timeout) << "ended with a file still to come";
  last.Release(index);
  EXPECT_EQ(take.get(), 0);
}

TEST(ParallelOrder, TheWorkerTakesResultsInListOrder) {
  ParallelOrder order(3, 2, 2);
  uint32_t index = 0;
  for (int i = 0; i < 3; ++i) order.Take(index);
  order.Put(Outcome(2), 30);
  order.Put(Outcome(1), 20);
  FileOutcome out;
  EXPECT_FALSE(order.Next(0, out, 10ms));
  EXPECT_EQ(order.FinishedBytes(), 50u);
  std::thread late([&] { std::this_thread::sleep_for(50ms), order.Put(Outcome(0), 10); });
  ASSERT_TRUE(order.Next(0, out, 24h));  // not woken by the result it waits for: the test's time-out
  late.join();
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(i == 0 || order.Next(i, out, 0ms));
    EXPECT_EQ(out.goodFrames, 100 + i);
  }
  EXPECT_EQ(order.FinishedBytes(), 0u);
}

TEST(ParallelOrder, StopFreesAWaitingChecker) {
  ParallelOrder order(10, 1, 2);  // a ring of 2
  uint32_t index = 0;
  ASSERT_TRUE(order.Take(index) && order.Take(index));
  std::thread checker([&, i = 0u]() mutable { EXPECT_FALSE(order.Take(i)); });
  order.Stop();
  checker.join();
  EXPECT_FALSE(order.Take(index));
  EXPECT_EQ(order.taken(), 2u);
}

// After a Stop the worker gets each result that was put once, and none for a file not finished.
TEST(ParallelOrder, AfterAStopEachResultPutIsLeftOverOnce) {
  ParallelOrder order(10, 1, 2);
  uint32_t index = 0;
  ASSERT_TRUE(order.Take(index) && order.Take(index));
  order.Put(Outcome(1), 10);
  order.Stop();
  FileOutcome out;
  EXPECT_FALSE(order.Leftover(0, out));
  ASSERT_TRUE(order.Leftover(1, out));
  EXPECT_EQ(out.goodFrames, 101u);
  EXPECT_FALSE(order.Leftover(1, out));
}

}  // namespace
}  // namespace velkscan
