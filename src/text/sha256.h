#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace korvane {

// SHA-256 message digest, FIPS 180-4 section 6.2. Used for Digest authentication with
// algorithm=SHA-256 (RFC 7616).
class CSha256 {
 public:
  using Digest = std::array<uint8_t, 32>;

  CSha256();
  void Update(std::span<const uint8_t> data);
  Digest Final();

  static Digest Of(std::span<const uint8_t> data);

 private:
  void Transform(const uint8_t block[64]);

  std::array<uint32_t, 8> state_;
  uint64_t bit_count_ = 0;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

// Lower-case hex of the SHA-256 digest of `text`.
std::string Sha256Hex(std::string_view text);

}  // namespace korvane
