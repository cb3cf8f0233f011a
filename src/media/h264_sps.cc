#include "media/h264_sps.h"

#include "media/bit_reader.h"

namespace korvane {
namespace {

constexpr uint8_t kNalTypeSps = 7;

// Profiles whose SPS carries chroma_format_idc, bit depths and scaling matrices
// (H.264 7.3.2.1.1).
bool HasChromaFields(uint32_t profile_idc) {
  switch (profile_idc) {
    case 44: case 83: case 86: case 100: case 110: case 118: case 122: case 128:
    case 134: case 135: case 138: case 139: case 144: case 244:
      return true;
    default:
      return profile_idc >= 100;
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

std::optional<PictureSize> DecodeSpsBody(CBitReader& reader) {
  const uint32_t profile_idc = reader.ReadBits(8);
  reader.SkipBits(8);  // constraint_set0..5 flags, reserved_zero_2bits
  reader.SkipBits(8);  // level_idc
  reader.ReadUe();     // seq_parameter_set_id

  uint32_t chroma_format_idc = 1;  // 4:2:0 when the profile does not say
  bool separate_colour_plane = false;
  if (HasChromaFields(profile_idc)) {
    chroma_format_idc = reader.ReadUe();
    if (chroma_format_idc > 3) return std::nullopt;
    if (chroma_format_idc == 3) separate_colour_plane = reader.ReadBit() != 0;
    reader.ReadUe();      // bit_depth_luma_minus8
    reader.ReadUe();      // bit_depth_chroma_minus8
    reader.SkipBits(1);   // qpprime_y_zero_transform_bypass_flag
    if (reader.ReadBit()) {  // seq_scaling_matrix_present_flag
      // Six 4x4 lists, then two 8x8 lists, or six when the chroma format is 4:4:4.
      const int lists = chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists && !reader.Overrun(); ++i) {
        if (reader.ReadBit()) SkipScalingList(reader, i < 6 ? 16 : 64);
      }
    }
  }

  reader.ReadUe();  // log2_max_frame_num_minus4
  const uint32_t pic_order_cnt_type = reader.ReadUe();
  if (pic_order_cnt_type == 0) {
    reader.ReadUe();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pic_order_cnt_type == 1) {
    reader.SkipBits(1);  // delta_pic_order_always_zero_flag
    reader.ReadUe();     // offset_for_non_ref_pic
    reader.ReadUe();     // offset_for_top_to_bottom_field
    const uint32_t cycle = reader.ReadUe();  // num_ref_frames_in_pic_order_cnt_cycle
    if (cycle > 255) return std::nullopt;    // H.264 7.4.2.1.1 limit
    for (uint32_t i = 0; i < cycle && !reader.Overrun(); ++i) reader.ReadUe();
  }
  reader.ReadUe();     // max_num_ref_frames
  reader.SkipBits(1);  // gaps_in_frame_num_value_allowed_flag
  const uint64_t width_mbs = uint64_t{reader.ReadUe()} + 1;
  const uint64_t height_map_units = uint64_t{reader.ReadUe()} + 1;
  const uint32_t frame_mbs_only = reader.ReadBit();
  if (!frame_mbs_only) reader.SkipBits(1);  // mb_adaptive_frame_field_flag
  reader.SkipBits(1);                         // direct_8x8_inference_flag

  int64_t width = static_cast<int64_t>(width_mbs * 16);
  int64_t height = static_cast<int64_t>((2 - frame_mbs_only) * height_map_units * 16);
  if (reader.ReadBit()) {  // frame_cropping_flag
    // Crop offsets count in crop units, not pixels (H.264 7.4.2.1.1, eq. 7-19 to 7-22): the
    // chroma subsampling horizontally, and vertically the chroma subsampling times two for
    // field-coded (frame_mbs_only_flag 0) streams. A fixed unit of 2 would report 1084 lines
    // for every 1080i stream and the wrong size for 4:4:4.
    int64_t unit_x = 1;
    int64_t unit_y = 2 - frame_mbs_only;
    if (!separate_colour_plane && chroma_format_idc != 0) {
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
  // A crop larger than the picture, or a size no 32-bit field can carry, is a corrupt SPS.
  if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF) return std::nullopt;
  return PictureSize{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

}  // namespace

std::optional<PictureSize> DecodeH264SpsSize(std::span<const uint8_t> buffer) {
  const size_t n = buffer.size();
  for (size_t i = 0; i < n && i < kSpsSearchWindow; ++i) {
    if (i + 3 >= n) break;
    if (buffer[i] != 0 || buffer[i + 1] != 0 || buffer[i + 2] != 1) continue;
    if ((buffer[i + 3] & 0x1F) != kNalTypeSps) continue;
    CBitReader reader(buffer.subspan(i + 4), /*skip_emulation_prevention=*/true);
    return DecodeSpsBody(reader);
  }
  return std::nullopt;
}

}  // namespace korvane
