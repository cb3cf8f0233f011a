#include "avc_filter.h"

namespace camsim {
namespace {

constexpr size_t kLengthSize = 4;
constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kSps = 7;
constexpr uint8_t kPps = 8;

}  // namespace

std::optional<std::vector<uint8_t>> StripParameterSets(std::span<const uint8_t> au) {
  std::vector<uint8_t> out;
  out.reserve(au.size());
  size_t at = 0;
  while (at < au.size()) {
    if (au.size() - at < kLengthSize) return std::nullopt;
    const size_t length = (size_t{au[at]} << 24) | (size_t{au[at + 1]} << 16) |
                          (size_t{au[at + 2]} << 8) | size_t{au[at + 3]};
    if (length == 0 || length > au.size() - at - kLengthSize) return std::nullopt;
    const uint8_t type = au[at + kLengthSize] & kNalTypeMask;
    if (type != kSps && type != kPps) {
      out.insert(out.end(), au.begin() + at, au.begin() + at + kLengthSize + length);
    }
    at += kLengthSize + length;
  }
  return out;
}

}  // namespace camsim
