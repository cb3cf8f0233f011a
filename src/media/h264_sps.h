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

// What the depacketizer uses of a sequence parameter set (H.264 7.3.2.1.1).
struct H264SpsInfo {
  PictureSize size;  // the cropped frame size
  uint32_t sps_id = 0;
  uint32_t log2_max_frame_num = 4;
  bool separate_colour_plane = false;
};

// Largest picture side accepted from an SPS, in pixels: beyond any camera, and it keeps random
// bytes from passing as a picture size.
inline constexpr uint32_t kMaxSpsPictureSide = 8192;

// Decodes one SPS NAL unit: header byte first, no start code, emulation prevention bytes still
// in. Fields after the cropping offsets (VUI) are not read. Empty when it is not an SPS, it
// ends before the cropping offsets, or a field is outside its range in H.264 7.4.2.1.1 (an
// unknown profile or level, more than 32 parameter sets, bit depths above 14, frame number or
// picture order count above 16 bits, more than 16 reference frames, a side above
// kMaxSpsPictureSide, a crop that leaves nothing).
std::optional<H264SpsInfo> ParseH264Sps(std::span<const uint8_t> nal);

// Finds a sequence parameter set that starts (start code 00 00 01, NAL type 7) within the
// first kSpsSearchWindow offsets of `buffer` and decodes its picture size with ParseH264Sps. The
// SPS ends at the next start code (or zero run) or at the end of `buffer`; nothing after it is
// read. Empty result when no SPS is found or it does not decode.
std::optional<PictureSize> DecodeH264SpsSize(std::span<const uint8_t> buffer);

inline constexpr size_t kSpsSearchWindow = 64;

// pic_parameter_set_id of a PPS NAL unit (header byte first, H.264 7.3.2.2); empty when it is
// not a PPS or the id is out of range.
std::optional<uint32_t> ReadH264PpsId(std::span<const uint8_t> nal);

// True when the NAL unit with header byte `nal_header` and the bytes `body` after it (the start
// of a first FU-A fragment is enough) is an IDR slice that can open a picture coded with `sps`
// and the PPS `pps_id`: nal_ref_idc not 0 (7.4.1), and a slice header (7.3.3) with
// first_mb_in_slice 0, an I or SI slice_type, that pic_parameter_set_id and frame_num 0
// (7.4.3). A cheap guard against taking noise for a key frame when the parameter sets come
// from the session description.
bool IsIdrPictureStart(uint8_t nal_header, std::span<const uint8_t> body, const H264SpsInfo& sps,
                       uint32_t pps_id);

}  // namespace korvane
