#pragma once

// Writes bit strings for tests that build H.264 and MPEG-4 headers field by field.

#include <cstdint>
#include <vector>

namespace korvane::testing {

class BitWriter {
 public:
  BitWriter& U(int bits, uint32_t value) {
    for (int i = bits - 1; i >= 0; --i) Bit((value >> i) & 1);
    return *this;
  }
  // ue(v), H.264 9.1.
  BitWriter& Ue(uint32_t value) {
    const uint64_t code = uint64_t{value} + 1;
    int bits = 0;
    while ((code >> bits) > 1) ++bits;
    for (int i = 0; i < bits; ++i) Bit(0);
    for (int i = bits; i >= 0; --i) Bit((code >> i) & 1);
    return *this;
  }
  BitWriter& Se(int32_t value) {
    const int64_t v = value;  // 2 * v does not fit 32 bits for the extreme values
    return Ue(v > 0 ? static_cast<uint32_t>(2 * v - 1) : static_cast<uint32_t>(-2 * v));
  }
  // rbsp_trailing_bits: a 1, then zeros to the byte boundary.
  std::vector<uint8_t> Finish() {
    Bit(1);
    while (bit_ != 0) Bit(0);
    return bytes_;
  }
  // Zero bits to the byte boundary, no stop bit.
  std::vector<uint8_t> Pad() {
    while (bit_ != 0) Bit(0);
    return bytes_;
  }

 private:
  void Bit(uint32_t b) {
    if (bit_ == 0) bytes_.push_back(0);
    if (b) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (0x80 >> bit_));
    bit_ = (bit_ + 1) % 8;
  }
  std::vector<uint8_t> bytes_;
  int bit_ = 0;
};

// Inserts the emulation prevention byte 03 after every 00 00 followed by a byte up to 03
// (H.264 7.4.1), turning an RBSP into NAL unit payload.
inline std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

}  // namespace korvane::testing
