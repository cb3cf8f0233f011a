#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// Reads a bit string most significant bit first, as H.264 and MPEG-4 Visual headers are laid
// out. Reading past the end never touches memory: such a bit reads as 1 (so an Exp-Golomb
// prefix cannot loop for ever) and marks the reader as overrun; callers check Overrun() once
// at the end instead of after every field.
//
// With `skip_emulation_prevention` set the reader drops the emulation prevention byte 03 of
// every 00 00 03 sequence (H.264 7.4.1): the NAL unit's payload is the RBSP with those bytes
// removed, and an SPS whose early fields contain two zero bytes would otherwise be misread.
class CBitReader {
 public:
  explicit CBitReader(std::span<const uint8_t> data, bool skip_emulation_prevention = false)
      : data_(data), skip_epb_(skip_emulation_prevention) {}

  uint32_t ReadBit() {
    if (pos_ >= data_.size()) {
      overrun_ = true;
      return 1;
    }
    if (bit_ == 0 && skip_epb_ && zeros_ >= 2 && data_[pos_] == 0x03) {
      zeros_ = 0;
      ++pos_;
      if (pos_ >= data_.size()) {
        overrun_ = true;
        return 1;
      }
    }
    const uint32_t value = (data_[pos_] >> (7 - bit_)) & 1u;
    if (++bit_ == 8) {
      zeros_ = data_[pos_] == 0 ? zeros_ + 1 : 0;
      bit_ = 0;
      ++pos_;
    }
    return value;
  }

  // u(n), n up to 32.
  uint32_t ReadBits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | ReadBit();
    return value;
  }

  void SkipBits(int count) {
    for (int i = 0; i < count; ++i) ReadBit();
  }

  // ue(v), H.264 9.1. A prefix of more than 31 zero bits cannot be a 32-bit value: the reader
  // is marked overrun and 0 is returned.
  uint32_t ReadUe() {
    int zeros = 0;
    while (ReadBit() == 0) {
      if (++zeros > 31) {
        overrun_ = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    const uint64_t value = ((uint64_t{1} << zeros) - 1) + ReadBits(zeros);
    return value > UINT32_MAX ? (overrun_ = true, 0u) : static_cast<uint32_t>(value);
  }

  // se(v), H.264 9.1.1: same length as ue(v).
  int32_t ReadSe() {
    const uint32_t code = ReadUe();
    const int64_t magnitude = (int64_t{code} + 1) / 2;
    return static_cast<int32_t>((code & 1) ? magnitude : -magnitude);
  }

  bool Overrun() const { return overrun_; }

 private:
  std::span<const uint8_t> data_;
  bool skip_epb_;
  size_t pos_ = 0;
  int bit_ = 0;  // 0 is the most significant bit of data_[pos_]
  int zeros_ = 0;  // zero bytes just read, for the 00 00 03 rule
  bool overrun_ = false;
};

}  // namespace korvane
