// Packet rewrites of the hostile camera (--hostile), kept free of GStreamer for unit tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace camsim {

// The RTP packet with `count` bytes of padding (RFC 3550 section 5.1: P bit set, the last octet
// counts the padding octets, itself included). count is 1..255; an input shorter than the fixed
// header comes back unchanged.
std::vector<uint8_t> PadRtp(std::span<const uint8_t> packet, uint8_t count);

// Writes the sequence number (octets 2 and 3) of an RTP packet of at least 4 octets.
void SetRtpSequence(std::span<uint8_t> packet, uint16_t sequence);

// Where the near-wrap camera starts: 40 packets before the sequence number wraps, and 25
// pictures of a 90 kHz clock at 25 per second (1 s) before the time stamp passes 2^32, so that
// one picture is stamped exactly 0.
inline constexpr uint16_t kNearWrapSequence = 65536 - 40;
inline constexpr uint32_t kNearWrapTimestamp = static_cast<uint32_t>((1ULL << 32) - 25 * 3600);

// Moves a packet's sequence number and time stamp by the given amounts (modulo their size).
void ShiftRtpNumbering(std::span<uint8_t> packet, uint16_t sequence_shift,
                       uint32_t timestamp_shift);

// Which packet of a picture of `packets` packets the JPEG fault drops: every 10th picture (by
// `picture`, counting from 1) of at least 3 packets loses the middle one; -1 for the others.
int DroppedFragment(uint64_t picture, size_t packets);

}  // namespace camsim
