#pragma once

#include "base/socket_address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "rtp/rtp_packet.h"

namespace korvane {

// One received packet on its way from the transport thread to the receiver's user. Records are
// recycled, so that their packet buffers are allocated once and reused.
struct RtpRecord {
  SocketAddress from{};
  CRTPPacket packet;
  bool interleaved = false;  // cut out of the RTSP connection rather than received over UDP
  size_t charge = 0;         // what the record counts against the receiver's queue limit
};
using RtpRecordPtr = std::unique_ptr<RtpRecord>;

// Turns the packets of one RTP session, as they arrive, into the packets of one source in
// sequence order:
//  - Source lock (RFC 3550 appendix A.1, probation with MIN_SEQUENTIAL = 2): the SSRC named by
//    the SETUP reply is taken at its first packet; any other source is taken only after two
//    packets with consecutive sequence numbers, and only while the locked source says nothing in
//    between. Packets of other sources are dropped and counted. The first packet of a source on
//    probation is kept and delivered once the source is taken.
//  - Reorder window: a packet ahead of the expected sequence number is held, for at most
//    kMaxHoldUnits and while at most kMaxHeld packets wait; then the gap is given up and the held
//    packets go out in order (the depacketizer sees a loss). Duplicates and packets behind the
//    delivered sequence are dropped. Sequence numbers wrap at 65535.
// RTCP that shares the port (RFC 5761 section 4: payload types 72 to 76 with the marker bit as
// the high bit of the RTCP packet type) passes at once, unsequenced.
//
// Not thread-safe: one owner thread. Time is passed in by the caller (IClock units, 100 ns).
// Records leave through the caller's vectors, which keep their capacity: no allocation per packet.
class CRtpSequencer {
 public:
  static constexpr size_t kMaxHeld = 16;
  static constexpr uint64_t kMaxHoldUnits = 50 * 10000;  // 50 ms in 100-ns units
  // A jump back by more than this is a restart of the source's numbering, not a late packet; it
  // is believed after two packets in sequence (RFC 3550 appendix A.1, MAX_MISORDER).
  static constexpr int kMaxMisorder = 100;

  // The SSRC value as the SETUP reply's Transport header writes it; nullopt learns the source
  // from the packets. Applies while no source is locked; Reset() keeps it.
  void SetExpectedSsrc(std::optional<uint32_t> ssrc) { expected_ssrc_ = ssrc; }
  std::optional<uint32_t> ExpectedSsrc() const { return expected_ssrc_; }

  // Forgets the source and the window; every record still kept goes to `spare`.
  void Reset(std::vector<RtpRecordPtr>* spare);

  // Takes one packet that reached the owner at `now`. Records ready for the user are appended to
  // `ready` in delivery order; records dropped are appended to `spare`.
  void Push(RtpRecordPtr record, uint64_t now, std::vector<RtpRecordPtr>* ready,
            std::vector<RtpRecordPtr>* spare);
  // Gives up every gap whose oldest held packet has waited kMaxHoldUnits by `now`.
  void Expire(uint64_t now, std::vector<RtpRecordPtr>* ready);
  // When Expire() has work next; nullopt while nothing is held.
  std::optional<uint64_t> Deadline() const;

  std::optional<uint32_t> LockedSsrc() const { return locked_ssrc_; }
  size_t Held() const { return held_count_; }
  // Packets of sources other than the locked one, dropped.
  uint64_t ForeignDropped() const { return foreign_dropped_; }
  // Duplicates and packets that came after their place was given up, dropped.
  uint64_t LateDropped() const { return late_dropped_; }

  // The SSRC as a number (CRTPPacket keeps it in wire byte order).
  static uint32_t SsrcOf(const CRTPPacket& packet);
  static bool IsRtcp(const CRTPPacket& packet);

 private:
  // Probation of a source other than the locked one; true when the source was taken.
  bool Probation(RtpRecordPtr& record, uint64_t now, std::vector<RtpRecordPtr>* ready,
                 std::vector<RtpRecordPtr>* spare);
  void ClearCandidate(std::vector<RtpRecordPtr>* spare);
  void Sequence(RtpRecordPtr record, uint64_t now, std::vector<RtpRecordPtr>* ready,
                std::vector<RtpRecordPtr>* spare);
  // Delivers held packets from next_ on while they are consecutive.
  void DrainConsecutive(std::vector<RtpRecordPtr>* ready);
  // Gives up every gap: all held packets go out in order.
  void FlushHeld(std::vector<RtpRecordPtr>* ready);
  void Deliver(RtpRecordPtr record, std::vector<RtpRecordPtr>* ready);

  std::optional<uint32_t> expected_ssrc_;
  std::optional<uint32_t> locked_ssrc_;
  bool have_next_ = false;
  uint16_t next_ = 0;  // sequence number the user sees next
  std::optional<uint16_t> restart_sequence_;

  // Held packets: next_ + 1 to next_ + kMaxHeld map to distinct slots (sequence mod kMaxHeld).
  std::array<RtpRecordPtr, kMaxHeld> slots_{};
  std::array<uint64_t, kMaxHeld> held_at_{};
  size_t held_count_ = 0;

  std::optional<uint32_t> candidate_ssrc_;
  uint16_t candidate_sequence_ = 0;
  RtpRecordPtr candidate_first_;

  uint64_t foreign_dropped_ = 0;
  uint64_t late_dropped_ = 0;
};

}  // namespace korvane
