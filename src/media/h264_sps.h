#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace korvane {

struct PictureSize {
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

// Finds a sequence parameter set that starts (start code 00 00 01, NAL type 7) within the
// first kSpsSearchWindow offsets of `buffer` and decodes the picture size from it: the
// cropped frame size of H.264 7.4.2.1.1. Fields after the cropping offsets (VUI) are not read.
// The decoder may read past the SPS into what follows it in `buffer`; it never reads past
// the buffer. Empty result when no SPS is found, it is truncated or its size is 0.
std::optional<PictureSize> DecodeH264SpsSize(std::span<const uint8_t> buffer);

inline constexpr size_t kSpsSearchWindow = 64;

}  // namespace korvane
