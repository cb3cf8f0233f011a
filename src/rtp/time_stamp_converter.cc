#include "rtp/time_stamp_converter.h"

#include <chrono>
#include <limits>

namespace korvane {

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ULL;
}  // namespace

uint64_t CTimeStampConverter::Now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
                         since_epoch)
                         .count();
  if (ticks < 0) return 0;
  return kUnixEpochInFileTime + static_cast<uint64_t>(ticks);
}

void CTimeStampConverter::Update(uint32_t rtp_timestamp) { UpdateAt(rtp_timestamp, Now()); }

void CTimeStampConverter::UpdateAt(uint32_t rtp_timestamp, uint64_t now) {
  // A time stamp of 0 is an ordinary value (RFC 3550 5.1: the clock starts anywhere and wraps),
  // so a frame stamped 0 is a picture like any other and must get its own, later time.
  if (now == 0) return;
  // The host receives whole milliseconds (a SYSTEMTIME): work on the millisecond grid, so that
  // "later by at least 1 ms" below also holds once the sub-millisecond part is cut off.
  now -= now % kStep;
  if (now == 0) return;

  if (stored_time_ == 0 || !have_rtp_timestamp_) {
    stored_time_ = now;
  } else {
    // Serial-number difference of the 32-bit clock (RFC 3550 5.1, RFC 1982): a step across 2^32
    // is the small forward step it is, a step back stays negative.
    const int64_t delta =
        static_cast<int32_t>(static_cast<uint32_t>(rtp_timestamp - last_rtp_timestamp_));
    if (delta <= kBurstTicks || now <= stored_time_ + kStep) {
      // Same picture time, or arrived within 1 ms of the previous frame: push this one 1 ms
      // past the previous so that times never repeat, and remember to give the lead back.
      stored_time_ += kStep;
      if (pending_ < std::numeric_limits<uint16_t>::max()) ++pending_;
    } else if (pending_ > 0) {
      // now > stored + 1 ms here, so now - 1 ms still lies after the previous time.
      --pending_;
      stored_time_ = now - kStep;
    } else {
      stored_time_ = now;
    }
  }
  last_rtp_timestamp_ = rtp_timestamp;
  have_rtp_timestamp_ = true;
}

uint64_t CTimeStampConverter::GetTime() const { return stored_time_ != 0 ? stored_time_ : Now(); }

}  // namespace korvane
