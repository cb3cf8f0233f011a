#include "rtp/read_pacer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace korvane {
namespace {

using Next = CReadPacer::Next;

constexpr uint64_t kT0 = 1'000'000'000;  // µs; any wall-clock value
constexpr uint64_t kFrameUs = 40'000;    // 25 pictures per second

CReadPacer::Round PictureEnd(uint64_t received_us, uint64_t now_us) {
  CReadPacer::Round round;
  round.got_data = true;
  round.verdict.picture_end = true;
  round.received_us = received_us;
  round.now_us = now_us;
  return round;
}

// Feeds `count` picture ends `interval` apart, each read 300 µs after it arrived; returns the
// last plan.
CReadPacer::Plan FeedPictures(CReadPacer& pacer, int count, uint64_t interval) {
  CReadPacer::Plan plan;
  for (int i = 0; i < count; ++i) {
    const uint64_t at = kT0 + static_cast<uint64_t>(i) * interval;
    plan = pacer.After(PictureEnd(at, at + 300));
  }
  return plan;
}

TEST(ReadPacerTest, PausesWhileAPictureIsHeldGrowingToTheLongestPause) {
  CReadPacer pacer(true);
  CReadPacer::Round held;
  held.got_data = true;
  held.verdict.hold_ms = 5;
  std::vector<uint32_t> pauses;
  for (int i = 0; i < 4; ++i) {
    const CReadPacer::Plan plan = pacer.After(held);
    ASSERT_EQ(plan.next, Next::kPause);
    pauses.push_back(plan.ms);
  }
  EXPECT_EQ(pauses, (std::vector<uint32_t>{1, 2, 2, 2}));
  // A hold shorter than the pause is what counts; the pause starts short again after a picture.
  held.verdict.hold_ms = 1;
  EXPECT_EQ(pacer.After(held).ms, 1u);
  pacer.After(PictureEnd(kT0, kT0 + 100));
  held.verdict.hold_ms = 5;
  EXPECT_EQ(pacer.After(held).ms, CReadPacer::kFirstPauseMs);
}

TEST(ReadPacerTest, WithoutPreciseShortWaitsAHeldPictureIsAwaitedOnTheSocket) {
  CReadPacer pacer(false);
  CReadPacer::Round held;
  held.got_data = true;
  held.verdict.hold_ms = 4;
  const CReadPacer::Plan plan = pacer.After(held);
  EXPECT_EQ(plan.next, Next::kWaitSocket);
  EXPECT_EQ(plan.ms, 4u);
}

TEST(ReadPacerTest, TimesTheNextPictureOnlyFromASteadyRateOfReceiveTimes) {
  struct Case {
    const char* name;
    int pictures;
    uint64_t interval_us;
    bool stamped;
    Next expected;
  };
  const Case cases[] = {
      {"too few pictures", 4, kFrameUs, true, Next::kWaitSocket},
      {"steady 25 fps", 5, kFrameUs, true, Next::kPause},
      {"no receive times", 8, kFrameUs, false, Next::kWaitSocket},
      {"slower than the timer helps", 8, 300'000, true, Next::kWaitSocket},
      {"faster than a picture rate", 8, 2'000, true, Next::kWaitSocket},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CReadPacer pacer;
    CReadPacer::Plan plan;
    for (int i = 0; i < c.pictures; ++i) {
      const uint64_t at = kT0 + static_cast<uint64_t>(i) * c.interval_us;
      plan = pacer.After(PictureEnd(c.stamped ? at : 0, at + 300));
    }
    EXPECT_EQ(plan.next, c.expected);
  }
}

TEST(ReadPacerTest, TimerEndsJustAfterTheNextPictureIsDue) {
  CReadPacer pacer(true);
  const CReadPacer::Plan plan = FeedPictures(pacer, 6, kFrameUs);
  ASSERT_EQ(plan.next, Next::kPause);
  // Read 300 µs after the last arrival: due 39.7 ms later, plus the margin, rounded up.
  EXPECT_EQ(plan.ms, (kFrameUs - 300 + CReadPacer::kWakeMarginUs + 999) / 1000);
}

TEST(ReadPacerTest, OneLateOrLostPictureDoesNotMoveTheTimer) {
  CReadPacer pacer(true);
  FeedPictures(pacer, 6, kFrameUs);
  // A lost marker: the next end comes two intervals on; the median stays one interval.
  uint64_t at = kT0 + 7 * kFrameUs;
  CReadPacer::Plan plan = pacer.After(PictureEnd(at, at + 300));
  ASSERT_EQ(plan.next, Next::kPause);
  EXPECT_LE(plan.ms, kFrameUs / 1000 + 1);
  // A wall clock stepped back: that interval is not kept, and the timer still runs.
  at -= 10'000'000;
  plan = pacer.After(PictureEnd(at, at + 300));
  EXPECT_EQ(plan.next, Next::kPause);
  EXPECT_LE(plan.ms, kFrameUs / 1000 + 1);
}

TEST(ReadPacerTest, AWakeThatFoundNothingOrNoPictureEndWaitsOnTheSocket) {
  CReadPacer pacer(true);
  ASSERT_EQ(FeedPictures(pacer, 6, kFrameUs).next, Next::kPause);
  CReadPacer::Round empty;
  empty.now_us = kT0 + 6 * kFrameUs;
  EXPECT_EQ(pacer.After(empty).next, Next::kWaitSocket);
  CReadPacer::Round data_without_end = empty;
  data_without_end.got_data = true;
  EXPECT_EQ(pacer.After(data_without_end).next, Next::kWaitSocket);
  // Read so late that the next picture is already due: the socket wait returns at once.
  const uint64_t at = kT0 + 6 * kFrameUs;
  EXPECT_EQ(pacer.After(PictureEnd(at, at + 2 * kFrameUs)).next, Next::kWaitSocket);
}

TEST(ReadPacerTest, ATimerThatFindsABacklogOfAnUnfinishedPictureIsNotSetForTheNext) {
  // A backlog: the sender may be waiting for our reads. Without one the picture was only late.
  for (const bool backlog : {true, false}) {
    SCOPED_TRACE(backlog ? "backlog" : "late");
    CReadPacer pacer(true);
    ASSERT_EQ(FeedPictures(pacer, 6, kFrameUs).next, Next::kPause);
    CReadPacer::Round partial;
    partial.got_data = true;
    partial.backlog = backlog;
    partial.verdict.hold_ms = 5;
    ASSERT_EQ(pacer.After(partial).next, Next::kPause);
    const uint64_t at = kT0 + 6 * kFrameUs + 3'000;
    EXPECT_EQ(pacer.After(PictureEnd(at, at + 300)).next,
              backlog ? Next::kWaitSocket : Next::kPause);
    // The next picture, woken by the socket or the timer, sets the timer again.
    EXPECT_EQ(pacer.After(PictureEnd(at + kFrameUs, at + kFrameUs + 300)).next, Next::kPause);
  }
}

TEST(ReadPacerTest, OnePicturesJitterMovesTheNextTimerByAQuarterOfIt) {
  struct Case {
    int64_t offset_us;  // of the seventh picture's end against its schedule
    uint32_t ms;        // the timer after it (read 300 µs after the end)
  };
  // Due one interval after the schedule's end, moved offset/4, plus the margin; rounded up.
  const Case cases[] = {{0, 41}, {2'000, 39}, {-2'000, 42}, {8'000, 35}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset_us);
    CReadPacer pacer(true);
    FeedPictures(pacer, 6, kFrameUs);
    const uint64_t at = kT0 + 6 * kFrameUs + static_cast<uint64_t>(c.offset_us);
    const CReadPacer::Plan plan = pacer.After(PictureEnd(at, at + 300));
    ASSERT_EQ(plan.next, Next::kPause);
    EXPECT_EQ(plan.ms, c.ms);
  }
}

}  // namespace
}  // namespace korvane
