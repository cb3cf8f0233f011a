#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// MD5 message digest, RFC 1321. Only used for HTTP/RTSP Digest authentication, where the
// algorithm is fixed by the peer; never for anything that needs collision resistance.
class CMd5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  CMd5();
  void Update(std::span<const uint8_t> data);
  Digest Final();

  static Digest Of(std::span<const uint8_t> data);

 private:
  void Transform(const uint8_t block[64]);

  std::array<uint32_t, 4> state_;
  uint64_t bit_count_ = 0;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

}  // namespace korvane
