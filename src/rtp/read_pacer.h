#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/event.h"

namespace korvane {

// What the user of a receiving thread says after the thread has read everything waiting.
struct ReadVerdict {
  // The packets of this round finished a picture (an RTP marker bit) and went to the consumer.
  bool picture_end = false;
  // The user holds the packets of an unfinished picture back: read again (or call again) within
  // this many milliseconds, so that they go on within the user's bound. 0: nothing held.
  uint32_t hold_ms = 0;
};

// Plans the reads of a thread that receives a video stream, so that it wakes about once per
// picture rather than once per few packets. A camera sends each picture as a burst of packets
// and then nothing until the next picture; the thread sleeps on the socket until a burst starts,
// lets the burst arrive (short pauses while the user holds an unfinished picture), and once it
// has seen the picture's end it may sleep on a timer until just after the next burst is due, so
// that the next wake finds the whole picture waiting.
//
// The timer is set from the kernel's receive times of the last packets of recent pictures: the
// picture rate is the median recent interval, and the next end is due one interval after the
// expected end of this picture, moved a quarter of the way towards where this one really ended
// (a phase-locked schedule: one picture's jitter moves the next guess by a quarter of it, where
// timing from the last end alone would carry all of it over). A margin for the sender's jitter
// follows (a picture that comes early waits at most about that long; one that comes late is read
// when it arrives). Without receive times (Windows) or without a steady picture rate the thread
// waits on the socket. A timer wake that finds nothing goes back to waiting on the socket, so a
// missed guess costs one wake-up, never a packet. Platform-neutral: the socket calls stay the
// caller's.
class CReadPacer {
 public:
  enum class Next {
    kWaitSocket,  // wait until the socket is readable: the caller's usual wait, or at most `ms`
                  // when ms > 0 (then read whether or not it became readable)
    kPause,       // sleep `ms` (watching the stop event only), then read without waiting
  };
  struct Plan {
    Next next = Next::kWaitSocket;
    uint32_t ms = 0;
  };
  // One round: what the reads got and what the user said.
  struct Round {
    bool got_data = false;
    ReadVerdict verdict;
    // Kernel receive time of the last data read this round (µs, SocketClockNowUs()), 0 unknown.
    uint64_t received_us = 0;
    uint64_t now_us = 0;  // SocketClockNowUs() after the reads
    // The reads took a full buffer from a stream: its sender may have been waiting for them
    // (TCP flow control), rather than sending late.
    bool backlog = false;
  };

  // Pictures further apart than this (or closer than kMinIntervalUs) are not timed: the stream
  // is too slow for a timer to save anything, or the interval is not a picture rate.
  static constexpr uint64_t kMaxIntervalUs = 250'000;
  static constexpr uint64_t kMinIntervalUs = 4'000;
  // Intervals kept; the timer needs kMinIntervals of them.
  static constexpr size_t kIntervals = 8;
  static constexpr size_t kMinIntervals = 4;
  // Pauses while a picture is unfinished: the first, and the longest.
  static constexpr uint32_t kFirstPauseMs = 1;
  static constexpr uint32_t kLongestPauseMs = 2;
  // How far after the due time the timer ends (the wait is also rounded up to whole ms).
  static constexpr uint64_t kWakeMarginUs = 500;

  // Without precise short waits (Windows), a held picture is waited for on the socket (bounded
  // by the hold) instead of in short sleeps, which would last a timer tick.
  explicit CReadPacer(bool precise_short_waits = kPreciseShortWaits)
      : precise_short_waits_(precise_short_waits) {}

  Plan After(const Round& round);

  // Forgets the timing (a new stream).
  void Reset() { *this = CReadPacer(precise_short_waits_); }

 private:
  void NotePictureEnd(uint64_t received_us);
  // The median of the recent intervals, 0 when there are too few.
  uint64_t TypicalInterval() const;

  std::array<uint64_t, kIntervals> intervals_{};
  size_t interval_count_ = 0;
  size_t next_interval_ = 0;
  bool precise_short_waits_ = true;
  bool timer_set_ = false;  // the last plan was the picture timer
  bool missed_ = false;     // a picture timer found a backlog of an unfinished picture
  uint64_t last_end_us_ = 0;
  uint64_t expected_end_us_ = 0;  // the schedule's end of the next picture, 0 none yet
  uint32_t pause_ms_ = kFirstPauseMs;
};

}  // namespace korvane
