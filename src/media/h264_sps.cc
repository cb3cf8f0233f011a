#include "media/h264_sps.h"

#include "media/bit_reader.h"

namespace korvane {
namespace {

constexpr uint8_t kNalTypeSps = 7;
constexpr uint8_t kNalTypePps = 8;
constexpr uint8_t kNalTypeIdr = 5;
constexpr uint8_t kForbiddenZeroBit = 0x80;
constexpr uint8_t kNalRefIdc = 0x60;

// Range limits of H.264 7.4.2.1.1 and 7.4.2.2.
constexpr uint32_t kMaxSpsId = 31;
constexpr uint32_t kMaxPpsId = 255;
constexpr uint32_t kMaxBitDepthMinus8 = 6;
constexpr uint32_t kMaxLog2Minus4 = 12;  // log2_max_frame_num_minus4, ..._pic_order_cnt_lsb_...
constexpr uint32_t kMaxPocType = 2;
constexpr uint32_t kMaxRefFrames = 16;  // MaxDpbFrames never exceeds 16 (A.3.1)
constexpr uint32_t kMaxPocCycle = 255;

// profile_idc values of Annex A, G and H (and 144, the withdrawn High 4:4:4).
bool KnownProfile(uint32_t profile_idc) {
  switch (profile_idc) {
    case 44: case 66: case 77: case 83: case 86: case 88: case 100: case 110: case 118:
    case 122: case 128: case 134: case 135: case 138: case 139: case 144: case 244:
      return true;
    default:
      return false;
  }
}

// level_idc at most that of the highest level of Table A-1 (6.2). Values between the listed
// levels are let through: encoders in the field have been seen to write such levels (0 among
// them) for streams that decode fine, and the other fields already keep noise out.
bool KnownLevel(uint32_t level_idc) { return level_idc <= 62; }

// Profiles whose SPS carries chroma_format_idc, bit depths and scaling matrices
// (H.264 7.3.2.1.1).
bool HasChromaFields(uint32_t profile_idc) {
  switch (profile_idc) {
    case 44: case 83: case 86: case 100: case 110: case 118: case 122: case 128:
    case 134: case 135: case 138: case 139: case 144: case 244:
      return true;
    default:
      return false;
  }
}

// scaling_list() of H.264 7.3.2.1.1.1, read only to get past it.
void SkipScalingList(CBitReader& reader, int entries) {
  int32_t last_scale = 8;
  int32_t next_scale = 8;
  for (int j = 0; j < entries && !reader.Overrun(); ++j) {
    if (next_scale != 0) {
      // delta_scale is -128..127 in a valid stream; a damaged one may hold any 32-bit value,
      // so the sum is formed in 64 bits and brought back into 0..255.
      const int64_t delta = reader.ReadSe();
      next_scale = static_cast<int32_t>(((last_scale + delta) % 256 + 256) % 256);
    }
    if (next_scale != 0) last_scale = next_scale;
  }
}

std::optional<H264SpsInfo> DecodeSpsBody(CBitReader& reader) {
  H264SpsInfo info;
  const uint32_t profile_idc = reader.ReadBits(8);
  reader.SkipBits(8);  // constraint_set0..5 flags, reserved_zero_2bits
  const uint32_t level_idc = reader.ReadBits(8);
  info.sps_id = reader.ReadUe();  // seq_parameter_set_id
  if (!KnownProfile(profile_idc) || !KnownLevel(level_idc) || info.sps_id > kMaxSpsId) {
    return std::nullopt;
  }

  uint32_t chroma_format_idc = 1;  // 4:2:0 when the profile does not say
  if (HasChromaFields(profile_idc)) {
    chroma_format_idc = reader.ReadUe();
    if (chroma_format_idc > 3) return std::nullopt;
    if (chroma_format_idc == 3) info.separate_colour_plane = reader.ReadBit() != 0;
    const uint32_t bit_depth_luma_minus8 = reader.ReadUe();
    const uint32_t bit_depth_chroma_minus8 = reader.ReadUe();
    if (bit_depth_luma_minus8 > kMaxBitDepthMinus8 ||
        bit_depth_chroma_minus8 > kMaxBitDepthMinus8) {
      return std::nullopt;
    }
    reader.SkipBits(1);   // qpprime_y_zero_transform_bypass_flag
    if (reader.ReadBit()) {  // seq_scaling_matrix_present_flag
      // Six 4x4 lists, then two 8x8 lists, or six when the chroma format is 4:4:4.
      const int lists = chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists && !reader.Overrun(); ++i) {
        if (reader.ReadBit()) SkipScalingList(reader, i < 6 ? 16 : 64);
      }
    }
  }

  const uint32_t log2_max_frame_num_minus4 = reader.ReadUe();
  if (log2_max_frame_num_minus4 > kMaxLog2Minus4) return std::nullopt;
  info.log2_max_frame_num = log2_max_frame_num_minus4 + 4;
  const uint32_t pic_order_cnt_type = reader.ReadUe();
  if (pic_order_cnt_type > kMaxPocType) return std::nullopt;
  if (pic_order_cnt_type == 0) {
    const uint32_t log2_max_pic_order_cnt_lsb_minus4 = reader.ReadUe();
    if (log2_max_pic_order_cnt_lsb_minus4 > kMaxLog2Minus4) return std::nullopt;
  } else if (pic_order_cnt_type == 1) {
    reader.SkipBits(1);  // delta_pic_order_always_zero_flag
    reader.ReadSe();     // offset_for_non_ref_pic
    reader.ReadSe();     // offset_for_top_to_bottom_field
    const uint32_t cycle = reader.ReadUe();  // num_ref_frames_in_pic_order_cnt_cycle
    if (cycle > kMaxPocCycle) return std::nullopt;
    for (uint32_t i = 0; i < cycle && !reader.Overrun(); ++i) reader.ReadSe();
  }
  if (reader.ReadUe() > kMaxRefFrames) return std::nullopt;  // max_num_ref_frames
  reader.SkipBits(1);  // gaps_in_frame_num_value_allowed_flag
  const uint64_t width_mbs = uint64_t{reader.ReadUe()} + 1;
  const uint64_t height_map_units = uint64_t{reader.ReadUe()} + 1;
  const uint32_t frame_mbs_only = reader.ReadBit();
  if (!frame_mbs_only) reader.SkipBits(1);  // mb_adaptive_frame_field_flag
  reader.SkipBits(1);                         // direct_8x8_inference_flag

  int64_t width = static_cast<int64_t>(width_mbs * 16);
  int64_t height = static_cast<int64_t>((2 - frame_mbs_only) * height_map_units * 16);
  if (width > kMaxSpsPictureSide || height > kMaxSpsPictureSide) return std::nullopt;
  if (reader.ReadBit()) {  // frame_cropping_flag
    // Crop offsets count in crop units, not pixels (H.264 7.4.2.1.1, eq. 7-19 to 7-22): the
    // chroma subsampling horizontally, and vertically the chroma subsampling times two for
    // field-coded (frame_mbs_only_flag 0) streams. A fixed unit of 2 would report 1084 lines
    // for every 1080i stream and the wrong size for 4:4:4.
    int64_t unit_x = 1;
    int64_t unit_y = 2 - frame_mbs_only;
    if (!info.separate_colour_plane && chroma_format_idc != 0) {
      const int64_t sub_width_c = chroma_format_idc == 3 ? 1 : 2;
      const int64_t sub_height_c = chroma_format_idc == 1 ? 2 : 1;
      unit_x = sub_width_c;
      unit_y = sub_height_c * (2 - frame_mbs_only);
    }
    const int64_t left = reader.ReadUe();
    const int64_t right = reader.ReadUe();
    const int64_t top = reader.ReadUe();
    const int64_t bottom = reader.ReadUe();
    width -= unit_x * (left + right);
    height -= unit_y * (top + bottom);
  }
  if (reader.Overrun()) return std::nullopt;
  // The crop must leave a picture (7-19 to 7-22 keep it inside the decoded frame).
  if (width <= 0 || height <= 0) return std::nullopt;
  info.size = PictureSize{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
  return info;
}

// Length of the NAL unit that starts at `nal`: up to the next 00 00 00, 00 00 01 or 00 00 02,
// none of which can occur inside a NAL unit (H.264 7.4.1), or to the end.
size_t NalLength(std::span<const uint8_t> nal) {
  for (size_t i = 0; i + 2 < nal.size(); ++i) {
    if (nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] <= 2) return i;
  }
  return nal.size();
}

}  // namespace

std::optional<H264SpsInfo> ParseH264Sps(std::span<const uint8_t> nal) {
  if (nal.empty() || (nal[0] & kForbiddenZeroBit) != 0 || (nal[0] & 0x1F) != kNalTypeSps) {
    return std::nullopt;
  }
  CBitReader reader(nal.subspan(1), /*skip_emulation_prevention=*/true);
  return DecodeSpsBody(reader);
}

std::optional<PictureSize> DecodeH264SpsSize(std::span<const uint8_t> buffer) {
  const size_t n = buffer.size();
  for (size_t i = 0; i < n && i < kSpsSearchWindow; ++i) {
    if (i + 3 >= n) break;
    if (buffer[i] != 0 || buffer[i + 1] != 0 || buffer[i + 2] != 1) continue;
    if ((buffer[i + 3] & 0x1F) != kNalTypeSps) continue;
    const std::span<const uint8_t> rest = buffer.subspan(i + 3);
    const auto info = ParseH264Sps(rest.first(NalLength(rest)));
    if (!info) return std::nullopt;
    return info->size;
  }
  return std::nullopt;
}

std::optional<uint32_t> ReadH264PpsId(std::span<const uint8_t> nal) {
  if (nal.empty() || (nal[0] & kForbiddenZeroBit) != 0 || (nal[0] & 0x1F) != kNalTypePps) {
    return std::nullopt;
  }
  CBitReader reader(nal.subspan(1), /*skip_emulation_prevention=*/true);
  const uint32_t pps_id = reader.ReadUe();  // pic_parameter_set_id
  if (reader.Overrun() || pps_id > kMaxPpsId) return std::nullopt;
  return pps_id;
}

bool IsIdrPictureStart(uint8_t nal_header, std::span<const uint8_t> body, const H264SpsInfo& sps,
                       uint32_t pps_id) {
  if ((nal_header & kForbiddenZeroBit) != 0 || (nal_header & kNalRefIdc) == 0 ||
      (nal_header & 0x1F) != kNalTypeIdr) {
    return false;
  }
  CBitReader reader(body, /*skip_emulation_prevention=*/true);
  if (reader.ReadUe() != 0) return false;  // first_mb_in_slice
  const uint32_t slice_type = reader.ReadUe();
  // An IDR picture holds only I or SI slices: slice_type 2 or 4, or 7 or 9 (all slices alike).
  if (slice_type % 5 != 2 && slice_type % 5 != 4) return false;
  if (slice_type > 9) return false;
  if (reader.ReadUe() != pps_id) return false;  // pic_parameter_set_id
  if (sps.separate_colour_plane) reader.SkipBits(2);  // colour_plane_id
  const uint32_t frame_num = reader.ReadBits(static_cast<int>(sps.log2_max_frame_num));
  return !reader.Overrun() && frame_num == 0;
}

}  // namespace korvane
