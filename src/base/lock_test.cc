#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

// These tests take the lock recursively, in loops and across threads, and check TryLock() inside
// assertions: patterns the thread-safety analysis does not follow. The lock's users are checked.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace korvane {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until pred() holds.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class LockTest : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { lock_.SetSpinCountForTesting(GetParam()); }
  CLock lock_;
};

INSTANTIATE_TEST_SUITE_P(SpinCounts, LockTest, ::testing::Values(0, 4000),
                         [](const auto& info) { return "Spin" + std::to_string(info.param); });

TEST(LockSpinCount, FollowsProcessorCount) {
  CLock lock;
  const bool single = std::thread::hardware_concurrency() == 1;
  EXPECT_EQ(CLock::IsSingleProcessor(), single);
  EXPECT_EQ(lock.SpinCount(), single ? 0 : 4000);
}

TEST_P(LockTest, TripleLockIsHeldUntilTheThirdUnlock) {
  std::atomic<bool> owner_ready{false};
  std::atomic<int> owner_unlocks{0};
  std::atomic<bool> release{false};
  std::atomic<int> unlocks_seen_by_contender{-1};

  std::thread owner([&] {
    lock_.Lock();
    lock_.Lock();
    lock_.Lock();
    owner_ready = true;
    while (!release) std::this_thread::sleep_for(1ms);
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(30ms);  // give the contender a chance to sneak in
      owner_unlocks = i + 1;
      lock_.Unlock();
    }
  });
  ASSERT_TRUE(Eventually([&] { return owner_ready.load(); }));
  std::thread contender([&] {
    lock_.Lock();
    unlocks_seen_by_contender = owner_unlocks.load();
    lock_.Unlock();
  });
  std::this_thread::sleep_for(20ms);  // let the contender reach the blocking path
  release = true;
  owner.join();
  contender.join();
  EXPECT_EQ(unlocks_seen_by_contender.load(), 3);
}

TEST_P(LockTest, TryLockFailsAtOnceWhileAnotherThreadOwns) {
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread owner([&] {
    lock_.Lock();
    held = true;
    while (!done) std::this_thread::sleep_for(1ms);
    lock_.Unlock();
  });
  ASSERT_TRUE(Eventually([&] { return held.load(); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lock_.TryLock());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  done = true;
  owner.join();
  ASSERT_TRUE(lock_.TryLock());
  lock_.Unlock();
}

TEST_P(LockTest, OwnerReentersWithTryLockAndLock) {
  ASSERT_TRUE(lock_.TryLock());
  ASSERT_TRUE(lock_.TryLock());
  lock_.Lock();
  lock_.Unlock();
  lock_.Unlock();
  // Still held once: another thread cannot take it.
  std::atomic<int> other{-1};
  std::thread([&] { other = lock_.TryLock() ? 1 : 0; }).join();
  EXPECT_EQ(other.load(), 0);
  lock_.Unlock();
  std::thread([&] {
    other = lock_.TryLock() ? 1 : 0;
    if (other == 1) lock_.Unlock();
  }).join();
  EXPECT_EQ(other.load(), 1);
}

TEST_P(LockTest, ContendedIncrementsAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kIterations = 20000;
  long counter = 0;  // deliberately not atomic: only the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        CAutoLock outer(lock_);
        if (i % 3 == 0) {
          CAutoLock inner(lock_);  // nested acquisitions in the mix
          ++counter;
        } else {
          ++counter;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kIterations);
}

TEST_P(LockTest, ManyBlockedThreadsAllGetTheLockInTurn) {
  constexpr int kWaiters = 6;
  std::atomic<int> inside{0};
  std::atomic<int> max_inside{0};
  std::atomic<int> finished{0};
  lock_.Lock();
  std::vector<std::thread> threads;
  for (int t = 0; t < kWaiters; ++t) {
    threads.emplace_back([&] {
      CAutoLock guard(lock_);
      const int now = ++inside;
      int seen = max_inside.load();
      while (now > seen && !max_inside.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(2ms);
      --inside;
      ++finished;
    });
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(finished.load(), 0);
  lock_.Unlock();
  for (auto& t : threads) t.join();
  EXPECT_EQ(finished.load(), kWaiters);
  EXPECT_EQ(max_inside.load(), 1);
}

TEST(AutoLockTest, ReleasesOnException) {
  CLock lock;
  try {
    CAutoLock guard(lock);
    throw std::runtime_error("leaving the scope early");
  } catch (const std::runtime_error&) {
  }
  std::atomic<bool> taken{false};
  std::thread([&] {
    taken = lock.TryLock();
    if (taken) lock.Unlock();
  }).join();
  EXPECT_TRUE(taken.load());
}

TEST(CurrentThreadIdTest, DistinctPerThreadAndNonZero) {
  const uint32_t mine = CurrentThreadId();
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(mine, 0u);
  EXPECT_NE(other, 0u);
  EXPECT_NE(mine, other);
  EXPECT_EQ(mine, CurrentThreadId());
}

}  // namespace
}  // namespace korvane
