// Removes H.264 parameter sets from access units in "avc" form (ISO/IEC 14496-15: every NAL
// unit preceded by its 4-byte big-endian length). x264enc writes SPS and PPS in-band before
// every IDR picture even in that form; a camera that announces them only in the SDP
// (sprop-parameter-sets, RFC 6184 section 8.1) does not.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace camsim {

// The access unit without NAL units of type 7 (SPS) and 8 (PPS); nullopt when the lengths do
// not tile the buffer exactly (then it is not in the expected form and must pass unchanged).
std::optional<std::vector<uint8_t>> StripParameterSets(std::span<const uint8_t> access_unit);

}  // namespace camsim
