#include "rtp/rtp_sequencer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvane {
namespace {

// RFC 5761 section 4: RTCP packet types 200 to 204 read as marker 1 and payload type 72 to 76.
constexpr uint8_t kFirstRtcpPayloadType = 72;
constexpr uint8_t kLastRtcpPayloadType = 76;

}  // namespace

uint32_t CRtpSequencer::SsrcOf(const CRTPPacket& packet) {
  const uint32_t wire = packet.Ssrc();
  uint8_t bytes[4];
  std::memcpy(bytes, &wire, sizeof(bytes));
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

bool CRtpSequencer::IsRtcp(const CRTPPacket& packet) {
  return packet.Marker() != 0 && packet.PayloadType() >= kFirstRtcpPayloadType &&
         packet.PayloadType() <= kLastRtcpPayloadType;
}

void CRtpSequencer::Reset(std::vector<RtpRecordPtr>* spare) {
  for (RtpRecordPtr& slot : slots_) {
    if (slot) spare->push_back(std::move(slot));
  }
  held_count_ = 0;
  if (candidate_first_) spare->push_back(std::move(candidate_first_));
  candidate_ssrc_.reset();
  locked_ssrc_.reset();
  have_next_ = false;
  restart_sequence_.reset();
}

void CRtpSequencer::Push(RtpRecordPtr record, uint64_t now, std::vector<RtpRecordPtr>* ready,
                         std::vector<RtpRecordPtr>* spare) {
  if (!record) return;
  if (IsRtcp(record->packet)) {
    ready->push_back(std::move(record));
    return;
  }
  const uint32_t ssrc = SsrcOf(record->packet);
  if (locked_ssrc_ == ssrc) {
    // The locked source still speaks: a source on probation does not replace it.
    ClearCandidate(spare);
    Sequence(std::move(record), now, ready, spare);
    return;
  }
  if (!locked_ssrc_ && expected_ssrc_ == ssrc) {
    // The source the camera announced in SETUP needs no probation.
    ClearCandidate(spare);
    locked_ssrc_ = ssrc;
    Sequence(std::move(record), now, ready, spare);
    return;
  }
  Probation(record, now, ready, spare);
}

bool CRtpSequencer::Probation(RtpRecordPtr& record, uint64_t now, std::vector<RtpRecordPtr>* ready,
                              std::vector<RtpRecordPtr>* spare) {
  const uint32_t ssrc = SsrcOf(record->packet);
  const uint16_t sequence = record->packet.Sequence();
  if (candidate_first_ && candidate_ssrc_ == ssrc &&
      sequence == static_cast<uint16_t>(candidate_sequence_ + 1)) {
    // Two packets in sequence and nothing from the locked source in between: the camera
    // restarted its stream (or this is the first source). What the old source left in the
    // window goes out first.
    FlushHeld(ready);
    locked_ssrc_ = ssrc;
    have_next_ = false;
    restart_sequence_.reset();
    candidate_ssrc_.reset();
    Sequence(std::move(candidate_first_), now, ready, spare);
    Sequence(std::move(record), now, ready, spare);
    return true;
  }
  ClearCandidate(spare);
  candidate_ssrc_ = ssrc;
  candidate_sequence_ = sequence;
  candidate_first_ = std::move(record);
  return false;
}

void CRtpSequencer::ClearCandidate(std::vector<RtpRecordPtr>* spare) {
  if (candidate_first_) {
    ++foreign_dropped_;
    spare->push_back(std::move(candidate_first_));
  }
  candidate_ssrc_.reset();
}

void CRtpSequencer::Sequence(RtpRecordPtr record, uint64_t now, std::vector<RtpRecordPtr>* ready,
                             std::vector<RtpRecordPtr>* spare) {
  const uint16_t sequence = record->packet.Sequence();
  if (!have_next_) {
    have_next_ = true;
    next_ = sequence;
  }
  // Serial number arithmetic: the distance is read modulo 2^16, so 65535 -> 0 is one step.
  const int ahead = static_cast<int16_t>(static_cast<uint16_t>(sequence - next_));
  if (ahead == 0) {
    restart_sequence_.reset();
    Deliver(std::move(record), ready);
    DrainConsecutive(ready);
    return;
  }
  if (ahead < 0) {
    if (ahead < -kMaxMisorder) {
      if (restart_sequence_ == sequence) {
        // The second packet in sequence after a jump back: the source renumbered.
        FlushHeld(ready);
        restart_sequence_.reset();
        next_ = sequence;
        Deliver(std::move(record), ready);
        return;
      }
      restart_sequence_ = static_cast<uint16_t>(sequence + 1);
    }
    ++late_dropped_;
    spare->push_back(std::move(record));
    return;
  }
  if (ahead > static_cast<int>(kMaxHeld)) {
    // No room to wait for the gap: give it up.
    FlushHeld(ready);
    next_ = sequence;
    Deliver(std::move(record), ready);
    return;
  }
  // Within the window the slots are distinct, so an occupied slot holds this very sequence.
  const size_t index = sequence % kMaxHeld;
  if (slots_[index]) {
    ++late_dropped_;
    spare->push_back(std::move(record));
    return;
  }
  slots_[index] = std::move(record);
  held_at_[index] = now;
  ++held_count_;
}

void CRtpSequencer::Deliver(RtpRecordPtr record, std::vector<RtpRecordPtr>* ready) {
  next_ = static_cast<uint16_t>(record->packet.Sequence() + 1);
  ready->push_back(std::move(record));
}

void CRtpSequencer::DrainConsecutive(std::vector<RtpRecordPtr>* ready) {
  while (held_count_ > 0) {
    RtpRecordPtr& slot = slots_[next_ % kMaxHeld];
    if (!slot) break;
    --held_count_;
    Deliver(std::move(slot), ready);
  }
}

void CRtpSequencer::FlushHeld(std::vector<RtpRecordPtr>* ready) {
  const uint16_t base = next_;
  for (size_t step = 1; held_count_ > 0 && step <= kMaxHeld; ++step) {
    RtpRecordPtr& slot = slots_[static_cast<uint16_t>(base + step) % kMaxHeld];
    if (!slot) continue;
    --held_count_;
    Deliver(std::move(slot), ready);
  }
}

std::optional<uint64_t> CRtpSequencer::Deadline() const {
  if (held_count_ == 0) return std::nullopt;
  uint64_t oldest = UINT64_MAX;
  for (size_t i = 0; i < kMaxHeld; ++i) {
    if (slots_[i]) oldest = std::min(oldest, held_at_[i]);
  }
  return oldest + kMaxHoldUnits;
}

void CRtpSequencer::Expire(uint64_t now, std::vector<RtpRecordPtr>* ready) {
  while (held_count_ > 0 && now >= *Deadline()) {
    // Give up the gap in front of the first held packet, then deliver the run behind it.
    for (size_t step = 1; step <= kMaxHeld; ++step) {
      const uint16_t sequence = static_cast<uint16_t>(next_ + step);
      if (slots_[sequence % kMaxHeld]) {
        next_ = sequence;
        break;
      }
    }
    DrainConsecutive(ready);
  }
}

}  // namespace korvane
