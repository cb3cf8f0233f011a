#include "base/tick_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class CountingTicker : public CTickThread {
 public:
  explicit CountingTicker(std::chrono::milliseconds tick_work = 0ms)
      : CTickThread(nullptr), tick_work_(tick_work) {}
  ~CountingTicker() override { StopThread(5000); }

  std::atomic<int> ticks{0};
  std::vector<std::pair<Clock::time_point, Clock::time_point>> Spans() {
    std::lock_guard<std::mutex> guard(mutex_);
    return spans_;
  }

 protected:
  void OnTick() override {
    const auto begin = Clock::now();
    std::this_thread::sleep_for(tick_work_);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      spans_.emplace_back(begin, Clock::now());
    }
    ++ticks;
  }

 private:
  const std::chrono::milliseconds tick_work_;
  std::mutex mutex_;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> spans_;
};

TEST(TickThreadTest, Defaults) {
  CountingTicker ticker;
  EXPECT_EQ(ticker.GetTickInterval(), 5000u);
  EXPECT_FALSE(ticker.GetTickAtStart());
}

TEST(TickThreadTest, TickAtStartTicksAtOnce) {
  CountingTicker ticker;
  ticker.SetTickInterval(60000);
  ticker.SetTickAtStart(true);
  ASSERT_TRUE(ticker.StartThread("ticker"));
  EXPECT_TRUE(Eventually([&] { return ticker.ticks.load() == 1; }));
  const auto start = Clock::now();
  EXPECT_TRUE(ticker.StopThread(5000));
  EXPECT_LT(Clock::now() - start, 3s) << "the interval wait must watch the stop event";
  EXPECT_EQ(ticker.ticks.load(), 1);
}

TEST(TickThreadTest, WithoutTickAtStartTheFirstTickWaitsOneInterval) {
  CountingTicker ticker;
  ticker.SetTickInterval(60000);
  ASSERT_TRUE(ticker.StartThread("ticker"));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(ticker.StopThread(5000));
  EXPECT_EQ(ticker.ticks.load(), 0);
}

TEST(TickThreadTest, FirstTickComesAfterTheInterval) {
  CountingTicker ticker;
  ticker.SetTickInterval(100);
  const auto start = Clock::now();
  ASSERT_TRUE(ticker.StartThread("ticker"));
  ASSERT_TRUE(Eventually([&] { return ticker.ticks.load() >= 1; }));
  EXPECT_TRUE(ticker.StopThread(5000));
  EXPECT_GE(ticker.Spans().front().first - start, 100ms);
}

TEST(TickThreadTest, IntervalRunsFromTheEndOfOneTickToTheNext) {
  CountingTicker ticker(60ms);
  ticker.SetTickInterval(60);
  ticker.SetTickAtStart(true);
  ASSERT_TRUE(ticker.StartThread("ticker"));
  ASSERT_TRUE(Eventually([&] { return ticker.ticks.load() >= 3; }));
  EXPECT_TRUE(ticker.StopThread(5000));
  const auto spans = ticker.Spans();
  ASSERT_GE(spans.size(), 3u);
  for (size_t i = 1; i < spans.size(); ++i) {
    EXPECT_GE(spans[i].first - spans[i - 1].second, 60ms) << "tick " << i;
  }
}

}  // namespace
}  // namespace korvane
