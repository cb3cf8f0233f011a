#include "rtp/time_stamp_converter.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvane {
namespace {

constexpr uint64_t kMs = 10000;  // 100-ns units
// Some arrival time in 2026, in 100-ns units since 1601.
constexpr uint64_t kT0 = 134100000000000000ULL;

struct Frame {
  uint32_t rtp;
  uint64_t arrival;
  uint64_t expected;
  uint16_t expected_pending;
};

struct Case {
  const char* name;
  std::vector<Frame> frames;
};

class TimeStampConverterTable : public ::testing::TestWithParam<Case> {};

TEST_P(TimeStampConverterTable, StampsEachFrame) {
  CTimeStampConverter converter;
  int index = 0;
  for (const Frame& f : GetParam().frames) {
    converter.UpdateAt(f.rtp, f.arrival);
    EXPECT_EQ(converter.GetTime(), f.expected) << "frame " << index;
    EXPECT_EQ(converter.pending(), f.expected_pending) << "frame " << index;
    ++index;
  }
}

// 90 kHz video: 3600 ticks per frame at 25 fps.
INSTANTIATE_TEST_SUITE_P(
    Cases, TimeStampConverterTable,
    ::testing::Values(
        Case{"FirstFrameTakesArrival", {{1000, kT0, kT0, 0}}},
        Case{"SteadyStreamFollowsArrival",
             {{1000, kT0, kT0, 0}, {4600, kT0 + 40 * kMs, kT0 + 40 * kMs, 0},
              {8200, kT0 + 80 * kMs, kT0 + 80 * kMs, 0}}},
        // 0.3 ms apart: the second is pushed to 1 ms after the first; one arriving 5 ms
        // later gives the lead back and is stamped 1 ms before its arrival (on the ms grid).
        Case{"BurstIsSpreadOneMsApart",
             {{1000, kT0, kT0, 0}, {4600, kT0 + 3000, kT0 + kMs, 1},
              {8200, kT0 + 3000 + 5 * kMs, kT0 + 4 * kMs, 0}}},
        Case{"SameTimestampIsPushedEvenWhenLate",
             {{1000, kT0, kT0, 0}, {1000, kT0 + 40 * kMs, kT0 + kMs, 1},
              {1100, kT0 + 80 * kMs, kT0 + 2 * kMs, 2},
              {1101 + 3600, kT0 + 120 * kMs, kT0 + 119 * kMs, 1}}},
        Case{"TimestampGoingBackIsPushed",
             {{50000, kT0, kT0, 0}, {40000, kT0 + 40 * kMs, kT0 + kMs, 1}}},
        // Across 2^32 the clock moved on by 0x1000 ticks: a new picture at its arrival.
        Case{"RtpClockWrapIsANewPicture",
             {{0xFFFFFF00u, kT0, kT0, 0}, {0x00000F00u, kT0 + 40 * kMs, kT0 + 40 * kMs, 0}}},
        Case{"StepBackAcrossTheWrapIsPushed",
             {{0x00000100u, kT0, kT0, 0}, {0xFFFFF000u, kT0 + 40 * kMs, kT0 + kMs, 1}}},
        // A camera whose clock passes 2^32 lands on 0 now and then (a random start, RFC 3550
        // 5.1): that frame is a picture like the others and must come after the one before.
        Case{"ClockPassingThroughZero",
             {{0xFFFFF1F0u, kT0, kT0, 0}, {0u, kT0 + 40 * kMs, kT0 + 40 * kMs, 0},
              {3600u, kT0 + 80 * kMs, kT0 + 80 * kMs, 0}}},
        Case{"FirstFrameStampedZero",
             {{0u, kT0, kT0, 0}, {0u, kT0 + 40 * kMs, kT0 + kMs, 1}}},
        Case{"ArrivalClockGoingBackStillIncreases",
             {{1000, kT0, kT0, 0}, {4600, kT0 - 100 * kMs, kT0 + kMs, 1},
              {8200, kT0 - 60 * kMs, kT0 + 2 * kMs, 2}}},
        // Time stamp 0 after 1000 is a step back: pushed, not left on the previous time.
        Case{"ZeroTimestampIsAFrameToo",
             {{1000, kT0, kT0, 0}, {0, kT0 + 40 * kMs, kT0 + kMs, 1},
              {4600, kT0 + 80 * kMs, kT0 + 79 * kMs, 0}}},
        Case{"ZeroArrivalIsIgnored", {{1000, kT0, kT0, 0}, {4600, 0, kT0, 0}}},
        Case{"ExactlyOneMsLaterIsStillPushed",
             {{1000, kT0, kT0, 0}, {4600, kT0 + kMs, kT0 + kMs, 1},
              {8200, kT0 + 3 * kMs + 1, kT0 + 2 * kMs, 0}}},
        // The host sees whole milliseconds: a frame stamped 1 ms before its arrival must still
        // fall in a later millisecond than the pushed one before it.
        Case{"TimesStayOnTheMillisecondGrid",
             {{1000, kT0 + 5000, kT0, 0}, {4600, kT0 + 8000, kT0 + kMs, 1},
              {8200, kT0 + 25001, kT0 + 2 * kMs, 2},
              {11800, kT0 + 40 * kMs + 9999, kT0 + 39 * kMs, 1}}},
        Case{"HundredTicksIsABurst",
             {{1000, kT0, kT0, 0}, {1100, kT0 + 40 * kMs, kT0 + kMs, 1}}},
        Case{"HundredAndOneTicksIsANewPicture",
             {{1000, kT0, kT0, 0}, {1101, kT0 + 40 * kMs, kT0 + 40 * kMs, 0}}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(TimeStampConverterTest, GetTimeBeforeAnyUpdateIsNow) {
  CTimeStampConverter converter;
  const uint64_t before = CTimeStampConverter::Now();
  const uint64_t got = converter.GetTime();
  const uint64_t after = CTimeStampConverter::Now();
  EXPECT_GE(got, before);
  EXPECT_LE(got, after);
}

TEST(TimeStampConverterTest, NowIsOnTheFileTimeScale) {
  // 2020-01-01T00:00:00Z is 132223104000000000 in 100-ns units since 1601.
  EXPECT_GT(CTimeStampConverter::Now(), 132223104000000000ULL);
  EXPECT_LT(CTimeStampConverter::Now(), 132223104000000000ULL + 100ULL * 365 * 86400 * 10000000);
}

TEST(TimeStampConverterTest, UpdateUsesTheCurrentClock) {
  CTimeStampConverter converter;
  const uint64_t before = CTimeStampConverter::Now();
  converter.Update(1234);
  const uint64_t after = CTimeStampConverter::Now();
  EXPECT_GE(converter.GetTime(), before - before % kMs);  // cut to whole milliseconds
  EXPECT_LE(converter.GetTime(), after);
}

TEST(TimeStampConverterTest, LongBurstNeverRepeatsATime) {
  CTimeStampConverter converter;
  uint64_t previous = 0;
  for (uint32_t i = 0; i < 500; ++i) {
    converter.UpdateAt(1000 + i * 3600, kT0 + i * 100);  // 0.01 ms apart
    ASSERT_GT(converter.GetTime(), previous);
    ASSERT_GE(converter.GetTime() - previous, previous == 0 ? 0 : kMs);
    previous = converter.GetTime();
  }
  EXPECT_EQ(converter.pending(), 499);
}

}  // namespace
}  // namespace korvane
