#include "base/time.h"

#include "base/testing/virtual_clock.h"
#include "base/unique_id.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace korvane {
namespace {

// 2020-01-01T00:00:00Z as a file time.
constexpr uint64_t kFileTime2020 = 132223104000000000ULL;
constexpr uint64_t kOneSecond = 10000000ULL;

TEST(FileTimeTest, NowMatchesTheSystemClock) {
  const auto unix_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  const uint64_t now = GetFileTimeNow();
  ASSERT_GT(now, kFileTime2020);
  const int64_t derived_seconds = static_cast<int64_t>((now - 116444736000000000ULL) / kOneSecond);
  EXPECT_NEAR(static_cast<double>(derived_seconds), static_cast<double>(unix_seconds), 2.0);
}

struct ElapsedCase {
  const char* name;
  int64_t offset_units;  // stamp = now + offset
  uint32_t min_ms;
  uint32_t max_ms;
};

class ElapsedTest : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(ElapsedTest, FromStoredStamp) {
  CTime stamp;
  stamp.Set(GetMonotonicTime() + static_cast<uint64_t>(GetParam().offset_units));
  const uint32_t elapsed = stamp.GetElapsedMs();
  EXPECT_GE(elapsed, GetParam().min_ms);
  EXPECT_LE(elapsed, GetParam().max_ms);
  // The free form gives the same on a plain value.
  const uint32_t plain = GetElapsedMs(stamp.Get());
  EXPECT_GE(plain, GetParam().min_ms);
  EXPECT_LE(plain, GetParam().max_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElapsedTest,
    ::testing::Values(ElapsedCase{"OneSecondAgo", -static_cast<int64_t>(kOneSecond), 1000, 3000},
                      ElapsedCase{"OneMinuteAgo", -60 * static_cast<int64_t>(kOneSecond), 60000,
                                  63000},
                      ElapsedCase{"InTheFuture", 60 * static_cast<int64_t>(kOneSecond), 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TimeTest, NewStampIsNow) {
  CTime stamp;
  const uint64_t now = GetMonotonicTime();
  EXPECT_LE(stamp.Get(), now);
  EXPECT_LT(now - stamp.Get(), 5 * kOneSecond);
  EXPECT_LT(stamp.GetElapsedMs(), 5000u);
}

TEST(TimeTest, SetNowMovesTheStampForward) {
  CTime stamp;
  stamp.Set(GetMonotonicTime() - 10 * kOneSecond);
  EXPECT_GE(stamp.GetElapsedMs(), 10000u);
  stamp.SetNow();
  EXPECT_LT(stamp.GetElapsedMs(), 5000u);
}

TEST(TimeTest, ElapsedTimeIsMeasuredOnTheStampsClockAlone) {
  testing::CVirtualClock clock;
  CTime stamp(clock);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stamp.GetElapsedMs(), 0u);  // real time passing does not count
  clock.AllowUntilMs(10000);
  CManualEvent never;
  EXPECT_EQ(clock.Wait({&never}, 7500), kWaitTimeout);
  EXPECT_EQ(stamp.GetElapsedMs(), 7500u);
  stamp.SetNow();
  EXPECT_EQ(stamp.GetElapsedMs(), 0u);
}

TEST(TimeTest, MonotonicTimeNeverGoesBack) {
  uint64_t last = GetMonotonicTime();
  ASSERT_GT(last, 0u);
  for (int i = 0; i < 1000; ++i) {
    const uint64_t now = GetMonotonicTime();
    ASSERT_GE(now, last);
    last = now;
  }
}

// The multimedia timer counts milliseconds of real time (timeGetTime on Windows), and GUIDs
// differ from one to the next.
TEST(TimeTest, MultimediaTimerAndGuidsAdvance) {
  const uint32_t start = GetMultimediaTimeMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint32_t elapsed = GetMultimediaTimeMs() - start;
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 5000u);
  const uint32_t first = NewGuidFirstField();
  EXPECT_NE(first, 0u);
  EXPECT_NE(NewGuidFirstField(), first);
}

TEST(TimeTest, ReadersNeverSeeHalfAnUpdate) {
  constexpr uint64_t kA = 0x00000000FFFFFFFFULL;
  constexpr uint64_t kB = 0xFFFFFFFF00000000ULL;
  CTime stamp;
  stamp.Set(kA);
  std::atomic<bool> torn{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) stamp.Set(i % 2 ? kA : kB);
  });
  std::thread reader([&] {
    for (int i = 0; i < 20000; ++i) {
      const uint64_t v = stamp.Get();
      if (v != kA && v != kB) torn = true;
    }
  });
  writer.join();
  reader.join();
  EXPECT_FALSE(torn.load());
}

}  // namespace
}  // namespace korvane
