#pragma once

#include <cstdint>

namespace korvane {

// Gives each completed frame a wall-clock time: its arrival time, kept strictly increasing in
// steps of at least 1 ms. The RTP timestamp only tells whether the stream clock moved on by more
// than 100 ticks since the previous frame; it never enters the computed time.
//
// Times are UTC in 100-ns units since 1 January 1601 (the Windows file-time scale the host
// uses). Not thread-safe: one media parser owns one converter and calls it from its own thread.
class CTimeStampConverter {
 public:
  // 1 ms in 100-ns units: the smallest step between two frame times.
  static constexpr uint64_t kStep = 10000;
  // Timestamp advance (in RTP ticks) up to which two frames count as one burst.
  static constexpr int64_t kBurstTicks = 100;

  CTimeStampConverter() = default;
  virtual ~CTimeStampConverter() = default;

  // A frame is complete; |rtp_timestamp| is the timestamp of its last packet.
  void Update(uint32_t rtp_timestamp);
  // The same with an explicit arrival time (100-ns units since 1601); Update() passes now.
  void UpdateAt(uint32_t rtp_timestamp, uint64_t now);

  // The time of the last frame, or the current time when no frame was stamped yet.
  uint64_t GetTime() const;

  // Current UTC time in 100-ns units since 1601.
  static uint64_t Now();

  uint16_t pending() const { return pending_; }

 private:
  uint64_t stored_time_ = 0;       // 0: none yet
  uint32_t last_rtp_timestamp_ = 0;
  bool have_rtp_timestamp_ = false;
  uint16_t pending_ = 0;           // 1-ms pushes not yet given back
};

}  // namespace korvane
