#include "packet_faults.h"

namespace camsim {
namespace {

constexpr size_t kRtpHeaderSize = 12;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint64_t kPictureInterval = 10;  // every 10th picture loses a fragment

}  // namespace

std::vector<uint8_t> PadRtp(std::span<const uint8_t> packet, uint8_t count) {
  std::vector<uint8_t> out(packet.begin(), packet.end());
  if (packet.size() < kRtpHeaderSize || count == 0) return out;
  out[0] |= kPaddingBit;
  out.resize(out.size() + count, 0);
  out.back() = count;
  return out;
}

void SetRtpSequence(std::span<uint8_t> packet, uint16_t sequence) {
  packet[2] = static_cast<uint8_t>(sequence >> 8);
  packet[3] = static_cast<uint8_t>(sequence);
}

void ShiftRtpNumbering(std::span<uint8_t> packet, uint16_t sequence_shift,
                       uint32_t timestamp_shift) {
  if (packet.size() < kRtpHeaderSize) return;
  const uint16_t sequence = static_cast<uint16_t>((packet[2] << 8) | packet[3]);
  SetRtpSequence(packet, static_cast<uint16_t>(sequence + sequence_shift));
  uint32_t timestamp = 0;
  for (int i = 4; i < 8; ++i) timestamp = (timestamp << 8) | packet[i];
  timestamp += timestamp_shift;
  for (int i = 7; i >= 4; --i, timestamp >>= 8) packet[i] = static_cast<uint8_t>(timestamp);
}

int DroppedFragment(uint64_t picture, size_t packets) {
  if (picture == 0 || picture % kPictureInterval != 0 || packets < 3) return -1;
  return static_cast<int>(packets / 2);
}

}  // namespace camsim
