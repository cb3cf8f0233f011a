#include "rtp/read_pacer.h"

#include <algorithm>
#include <utility>

namespace korvane {

CReadPacer::Plan CReadPacer::After(const Round& round) {
  const bool timed_wake = std::exchange(timer_set_, false);
  const bool picture_end = round.got_data && round.verdict.picture_end;
  // A timer that ended before its picture was whole. Mostly the picture is late: the rest is
  // read after a short pause (or on the socket) and its end moves the schedule as any end does.
  // A backlog on a stream means the sender may be waiting for this reader (TCP flow control: it
  // sends the rest only once we read), and then a timer would pace the camera by our reads: the
  // next picture is waited for on the socket, and the end of this one does not count as the
  // camera's time.
  if (timed_wake && round.backlog && !picture_end) missed_ = true;
  if (round.verdict.hold_ms > 0 && !precise_short_waits_) {
    return Plan{Next::kWaitSocket, round.verdict.hold_ms};
  }
  if (round.verdict.hold_ms > 0) {
    // The rest of the burst is on its way: let it arrive rather than wake for every packet.
    const uint32_t ms = std::clamp<uint32_t>(round.verdict.hold_ms, 1, pause_ms_);
    pause_ms_ = std::min(pause_ms_ * 2, kLongestPauseMs);
    return Plan{Next::kPause, ms};
  }
  pause_ms_ = kFirstPauseMs;
  if (!picture_end || round.received_us == 0) return Plan{};
  if (std::exchange(missed_, false)) {
    last_end_us_ = round.received_us;
    expected_end_us_ = 0;
    return Plan{};
  }
  NotePictureEnd(round.received_us);
  const uint64_t interval = TypicalInterval();
  if (interval == 0) {
    expected_end_us_ = 0;
    return Plan{};
  }
  // Signed: the end may come before or after the schedule's.
  const int64_t off = static_cast<int64_t>(round.received_us - expected_end_us_);
  const int64_t half = static_cast<int64_t>(interval / 2);
  if (expected_end_us_ != 0 && off > -half && off < half) {
    expected_end_us_ += interval + off / 4;
  } else {
    // No schedule yet, or an end far from it (a lost picture, a stall, a clock step): start
    // again from this end.
    expected_end_us_ = round.received_us + interval;
  }
  const uint64_t due_us = expected_end_us_ + kWakeMarginUs;
  if (due_us <= round.now_us) return Plan{};
  // Rounded up: a timer that ends just before the picture's last packet costs a second wake.
  const uint64_t ms = (due_us - round.now_us + 999) / 1000;
  if (ms * 1000 > kMaxIntervalUs) return Plan{};
  timer_set_ = true;
  return Plan{Next::kPause, static_cast<uint32_t>(ms)};
}

void CReadPacer::NotePictureEnd(uint64_t received_us) {
  // Unsigned: a wall clock stepped back gives a huge interval, which is not kept.
  const uint64_t interval = received_us - last_end_us_;
  if (last_end_us_ != 0 && interval >= kMinIntervalUs && interval <= kMaxIntervalUs) {
    intervals_[next_interval_] = interval;
    next_interval_ = (next_interval_ + 1) % kIntervals;
    interval_count_ = std::min(interval_count_ + 1, kIntervals);
  }
  last_end_us_ = received_us;
}

uint64_t CReadPacer::TypicalInterval() const {
  if (interval_count_ < kMinIntervals) return 0;
  std::array<uint64_t, kIntervals> sorted = intervals_;
  const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(interval_count_);
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(interval_count_ / 2);
  std::nth_element(sorted.begin(), middle, end);
  return *middle;
}

}  // namespace korvane
