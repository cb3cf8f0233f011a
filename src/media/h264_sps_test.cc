#include "media/h264_sps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "media/testing/bit_writer_for_test.h"

namespace korvane {
namespace {

using testing::BitWriter;

struct SpsFields {
  uint32_t profile_idc = 66;
  uint32_t level_idc = 30;
  uint32_t sps_id = 0;
  uint32_t chroma_format_idc = 1;  // written only for the high profiles
  bool separate_colour_plane = false;
  uint32_t bit_depth_luma_minus8 = 0;  // written only for the high profiles
  // Present scaling lists by index; each gets a few deltas.
  std::vector<int> scaling_lists;
  bool scaling_matrix_present = false;
  uint32_t log2_max_frame_num_minus4 = 0;
  uint32_t poc_type = 0;
  uint32_t log2_max_poc_lsb_minus4 = 2;
  uint32_t max_num_ref_frames = 1;
  std::vector<int32_t> poc_cycle;  // offset_for_ref_frame values for type 1
  uint32_t width_mbs_minus1 = 21;
  uint32_t height_map_units_minus1 = 17;
  bool frame_mbs_only = true;
  bool crop = false;
  uint32_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
};

// The NAL unit of an SPS with these fields (header byte included), VUI absent.
std::vector<uint8_t> MakeSps(const SpsFields& f) {
  BitWriter w;
  w.U(8, 0x67);  // forbidden 0, nal_ref_idc 3, type 7
  w.U(8, f.profile_idc).U(8, 0).U(8, f.level_idc).Ue(f.sps_id);
  const bool high = f.profile_idc >= 100 || f.profile_idc == 44;
  if (high) {
    w.Ue(f.chroma_format_idc);
    if (f.chroma_format_idc == 3) w.U(1, f.separate_colour_plane);
    w.Ue(f.bit_depth_luma_minus8).Ue(0).U(1, 0);  // bit depths, transform bypass
    w.U(1, f.scaling_matrix_present);
    if (f.scaling_matrix_present) {
      const int lists = f.chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        bool present = false;
        for (int k : f.scaling_lists) present = present || k == i;
        w.U(1, present);
        if (present) {
          // Entries 8, 20, 36, then next_scale 0 repeats the last for the rest of the list.
          w.Se(12).Se(16).Se(-36);
        }
      }
    }
  }
  w.Ue(f.log2_max_frame_num_minus4);
  w.Ue(f.poc_type);
  if (f.poc_type == 0) w.Ue(f.log2_max_poc_lsb_minus4);
  if (f.poc_type == 1) {
    w.U(1, 0).Se(-3).Se(5).Ue(static_cast<uint32_t>(f.poc_cycle.size()));
    for (int32_t v : f.poc_cycle) w.Se(v);
  }
  w.Ue(f.max_num_ref_frames).U(1, 0);  // gaps_in_frame_num_value_allowed_flag after it
  w.Ue(f.width_mbs_minus1).Ue(f.height_map_units_minus1).U(1, f.frame_mbs_only);
  if (!f.frame_mbs_only) w.U(1, 0);  // mb_adaptive_frame_field_flag
  w.U(1, 1);                         // direct_8x8_inference_flag
  w.U(1, f.crop);
  if (f.crop) w.Ue(f.crop_left).Ue(f.crop_right).Ue(f.crop_top).Ue(f.crop_bottom);
  w.U(1, 0);  // vui_parameters_present_flag
  return testing::AddEmulationPrevention(w.Finish());
}

std::vector<uint8_t> WithStartCode(const std::vector<uint8_t>& nal, size_t lead = 0) {
  std::vector<uint8_t> out(lead, 0xAB);
  out.insert(out.end(), {0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

struct SizeCase {
  std::string name;
  SpsFields fields;
  std::optional<PictureSize> expected;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class SpsSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SpsSizeTest, DecodesCroppedSize) {
  const auto sps = WithStartCode(MakeSps(GetParam().fields));
  EXPECT_EQ(DecodeH264SpsSize(sps), GetParam().expected);
}

SpsFields Fields(auto&& edit) {
  SpsFields f;
  edit(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpsSizeTest,
    ::testing::Values(
        SizeCase{"Cif", Fields([](SpsFields&) {}), PictureSize{352, 288}},
        SizeCase{"Progressive1080", Fields([](SpsFields& f) {
                   f.width_mbs_minus1 = 119;
                   f.height_map_units_minus1 = 67;
                   f.crop = true;
                   f.crop_bottom = 4;  // 4 units of 2 lines in 4:2:0
                 }),
                 PictureSize{1920, 1080}},
        SizeCase{"Interlaced576", Fields([](SpsFields& f) {
                   f.width_mbs_minus1 = 43;
                   f.frame_mbs_only = false;
                 }),
                 PictureSize{704, 576}},
        // Field coding doubles the vertical crop unit: 4 units are 16 lines, not 8.
        SizeCase{"Interlaced576Cropped", Fields([](SpsFields& f) {
                   f.width_mbs_minus1 = 43;
                   f.frame_mbs_only = false;
                   f.crop = true;
                   f.crop_bottom = 4;
                 }),
                 PictureSize{704, 560}},
        SizeCase{"Interlaced1080", Fields([](SpsFields& f) {
                   f.profile_idc = 100;
                   f.width_mbs_minus1 = 119;
                   f.height_map_units_minus1 = 33;  // 34 pairs of macroblock rows: 1088
                   f.frame_mbs_only = false;
                   f.crop = true;
                   f.crop_bottom = 2;
                 }),
                 PictureSize{1920, 1080}},
        // 4:4:4 has twelve scaling lists and a crop unit of one sample; lists 8 to 11 carry
        // data here, so reading only eight would misplace every later field.
        SizeCase{"High444WithScalingLists", Fields([](SpsFields& f) {
                   f.profile_idc = 244;
                   f.chroma_format_idc = 3;
                   f.scaling_matrix_present = true;
                   f.scaling_lists = {0, 6, 9, 11};
                   f.width_mbs_minus1 = 119;
                   f.height_map_units_minus1 = 67;
                   f.crop = true;
                   f.crop_bottom = 8;
                 }),
                 PictureSize{1920, 1080}},
        SizeCase{"High422Cropped", Fields([](SpsFields& f) {
                   f.profile_idc = 122;
                   f.chroma_format_idc = 2;
                   f.width_mbs_minus1 = 44;
                   f.height_map_units_minus1 = 35;
                   f.crop = true;
                   f.crop_right = 4;   // units of 2 samples
                   f.crop_bottom = 8;  // units of 1 line
                 }),
                 PictureSize{712, 568}},
        SizeCase{"SeparateColourPlanes", Fields([](SpsFields& f) {
                   f.profile_idc = 244;
                   f.chroma_format_idc = 3;
                   f.separate_colour_plane = true;
                   f.crop = true;
                   f.crop_right = 2;
                 }),
                 PictureSize{350, 288}},
        SizeCase{"HighWithEightScalingLists", Fields([](SpsFields& f) {
                   f.profile_idc = 100;
                   f.scaling_matrix_present = true;
                   f.scaling_lists = {1, 7};
                 }),
                 PictureSize{352, 288}},
        SizeCase{"PocType1", Fields([](SpsFields& f) {
                   f.poc_type = 1;
                   f.poc_cycle = {1, -2, 3};
                 }),
                 PictureSize{352, 288}},
        SizeCase{"PocType2", Fields([](SpsFields& f) { f.poc_type = 2; }),
                 PictureSize{352, 288}},
        SizeCase{"CropLargerThanPicture", Fields([](SpsFields& f) {
                   f.crop = true;
                   f.crop_right = 200;
                 }),
                 std::nullopt}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

// Every field at the edge of its range in H.264 7.4.2.1.1, and one step beyond it: random or
// damaged bytes must not pass as an SPS.
INSTANTIATE_TEST_SUITE_P(
    Ranges, SpsSizeTest,
    ::testing::Values(
        SizeCase{"UnknownProfile", Fields([](SpsFields& f) { f.profile_idc = 65; }), std::nullopt},
        SizeCase{"ProfileZero", Fields([](SpsFields& f) { f.profile_idc = 0; }), std::nullopt},
        SizeCase{"LevelZero", Fields([](SpsFields& f) { f.level_idc = 0; }),
                 PictureSize{352, 288}},
        SizeCase{"LevelBetweenKnownOnes", Fields([](SpsFields& f) { f.level_idc = 33; }),
                 PictureSize{352, 288}},
        SizeCase{"Level63", Fields([](SpsFields& f) { f.level_idc = 63; }), std::nullopt},
        SizeCase{"Level62", Fields([](SpsFields& f) { f.level_idc = 62; }), PictureSize{352, 288}},
        SizeCase{"SpsId31", Fields([](SpsFields& f) { f.sps_id = 31; }), PictureSize{352, 288}},
        SizeCase{"SpsId32", Fields([](SpsFields& f) { f.sps_id = 32; }), std::nullopt},
        SizeCase{"ChromaFormat4", Fields([](SpsFields& f) {
                   f.profile_idc = 100;
                   f.chroma_format_idc = 4;
                 }),
                 std::nullopt},
        SizeCase{"BitDepth14", Fields([](SpsFields& f) {
                   f.profile_idc = 244;
                   f.bit_depth_luma_minus8 = 6;
                 }),
                 PictureSize{352, 288}},
        SizeCase{"BitDepth15", Fields([](SpsFields& f) {
                   f.profile_idc = 244;
                   f.bit_depth_luma_minus8 = 7;
                 }),
                 std::nullopt},
        SizeCase{"FrameNum16Bits",
                 Fields([](SpsFields& f) { f.log2_max_frame_num_minus4 = 12; }),
                 PictureSize{352, 288}},
        SizeCase{"FrameNum17Bits",
                 Fields([](SpsFields& f) { f.log2_max_frame_num_minus4 = 13; }), std::nullopt},
        SizeCase{"PocType3", Fields([](SpsFields& f) { f.poc_type = 3; }), std::nullopt},
        SizeCase{"PocLsb17Bits", Fields([](SpsFields& f) { f.log2_max_poc_lsb_minus4 = 13; }),
                 std::nullopt},
        SizeCase{"SixteenRefFrames", Fields([](SpsFields& f) { f.max_num_ref_frames = 16; }),
                 PictureSize{352, 288}},
        SizeCase{"SeventeenRefFrames", Fields([](SpsFields& f) { f.max_num_ref_frames = 17; }),
                 std::nullopt},
        SizeCase{"Width8192", Fields([](SpsFields& f) { f.width_mbs_minus1 = 511; }),
                 PictureSize{8192, 288}},
        SizeCase{"Width8208", Fields([](SpsFields& f) { f.width_mbs_minus1 = 512; }),
                 std::nullopt},
        SizeCase{"FieldHeight8224", Fields([](SpsFields& f) {
                   f.height_map_units_minus1 = 256;  // 257 pairs of rows
                   f.frame_mbs_only = false;
                 }),
                 std::nullopt},
        SizeCase{"CropLeavesOneColumn", Fields([](SpsFields& f) {
                   f.crop = true;
                   f.crop_left = 100;
                   f.crop_right = 75;  // 2 x 175 of 352
                 }),
                 PictureSize{2, 288}},
        SizeCase{"CropLeavesNothing", Fields([](SpsFields& f) {
                   f.crop = true;
                   f.crop_top = 144;  // 2 x 144 of 288
                 }),
                 std::nullopt}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct RealSps {
  const char* name;
  const char* hex;
  PictureSize size;
};

// Encoders' own SPS units (the fixtures in testdata/: GStreamer's sprop-parameter-sets and
// FFmpeg's in-band ones), whole and with one field damaged.
class RealSpsTest : public ::testing::TestWithParam<RealSps> {};

TEST_P(RealSpsTest, DecodesWholeAndRejectsDamage) {
  const std::vector<uint8_t> nal = FromHex(GetParam().hex);
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(nal)), GetParam().size);
  const auto info = ParseH264Sps(nal);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->size, GetParam().size);

  auto damaged = [&](size_t index, uint8_t value) {
    std::vector<uint8_t> copy = nal;
    copy[index] = value;
    return DecodeH264SpsSize(WithStartCode(copy));
  };
  EXPECT_EQ(damaged(0, 0xE7), std::nullopt) << "forbidden_zero_bit set";
  EXPECT_EQ(damaged(1, 0x00), std::nullopt) << "profile_idc 0";
  EXPECT_EQ(damaged(3, 0xFF), std::nullopt) << "level_idc 255";
  EXPECT_EQ(damaged(4, 0x00), std::nullopt) << "seq_parameter_set_id too long a code";
  // Cut inside the picture size fields: the SPS ends at the PPS's start code behind it,
  // whatever that holds.
  std::vector<uint8_t> cut(nal.begin(), nal.begin() + 6);
  cut.insert(cut.end(), {0x00, 0x00, 0x01, 0x68, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(cut)), std::nullopt) << "truncated";
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, RealSpsTest,
    ::testing::Values(
        RealSps{"GstX264High444Cif",
                "67f4000d90d96816096c0528303032000003000200000300651e285540", {352, 288}},
        RealSps{"GstX264High444Hd",
                "67f4001f90d96805005bb016a02020280000030008000003019478c195", {1280, 720}},
        RealSps{"GstX264BaselineFullHd",
                "6742c028da01e0089f97016a020202800000030080000019478c1950", {1920, 1080}},
        RealSps{"FfX264BaselineFullHd",
                "6742c028da01e0089f97011000000300100000030320f1832a", {1920, 1080}},
        RealSps{"FfX264MainInterlaced",
                "674d401ef405a126c044000003000400000300c87c50aa80", {720, 576}}),
    [](const ::testing::TestParamInfo<RealSps>& info) { return std::string(info.param.name); });

// Random bytes behind an SPS header byte: the range checks turn nearly all of them away.
TEST(SpsTest, RandomBytesRarelyPassAsAnSps) {
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;  // Numerical Recipes LCG: the same on every host
    return static_cast<uint8_t>(state >> 24);
  };
  constexpr int kTries = 10000;
  int passed = 0;
  for (int i = 0; i < kTries; ++i) {
    std::vector<uint8_t> nal = {0x67};
    for (int k = 0; k < 24; ++k) nal.push_back(next());
    if (ParseH264Sps(nal)) ++passed;
  }
  EXPECT_LT(passed, kTries / 200);  // under half a percent (15 with this seed)
}

// Found by the fuzzer: a damaged scaling list with a delta_scale far outside -128..127 must not
// overflow; the rest of the SPS is still read.
TEST(SpsTest, OutOfRangeScalingDeltaIsHarmless) {
  testing::BitWriter w;
  w.U(8, 0x67).U(8, 100).U(8, 0).U(8, 40).Ue(0);  // High profile, level 4.0, sps id 0
  w.Ue(1).Ue(0).Ue(0).U(1, 0);                     // 4:2:0, 8-bit, no bypass
  w.U(1, 1);                                       // seq_scaling_matrix_present_flag
  w.U(1, 1).Se(-2147483647).Se(-9);  // list 0: a wild delta (scale 9), then 0 ends the list
  for (int i = 1; i < 8; ++i) w.U(1, 0);
  w.Ue(0).Ue(0).Ue(2).Ue(1).U(1, 0);               // frame num, POC type 0, refs
  w.Ue(21).Ue(17).U(1, 1).U(1, 1).U(1, 0).U(1, 0);  // 352x288, frame_mbs_only, no crop, no VUI
  const auto size = DecodeH264SpsSize(WithStartCode(testing::AddEmulationPrevention(w.Finish())));
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->width, 352u);
  EXPECT_EQ(size->height, 288u);
}

TEST(SpsTest, TruncatedSpsFails) {
  SpsFields f;
  f.width_mbs_minus1 = 119;
  const auto nal = MakeSps(f);
  for (size_t keep = 1; keep + 1 < nal.size(); ++keep) {
    const std::vector<uint8_t> cut(nal.begin(), nal.begin() + static_cast<std::ptrdiff_t>(keep));
    EXPECT_EQ(DecodeH264SpsSize(WithStartCode(cut)), std::nullopt) << keep;
  }
}

TEST(SpsTest, SearchesOnlyTheFirst64Offsets) {
  const auto nal = MakeSps(SpsFields{});
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(nal, 63)), (PictureSize{352, 288}));
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(nal, 64)), std::nullopt);
}

TEST(SpsTest, SkipsOtherNalUnitsInFront) {
  std::vector<uint8_t> buffer = {0, 0, 1, 0x09, 0xF0};  // access unit delimiter
  const auto sps = WithStartCode(MakeSps(SpsFields{}));
  buffer.insert(buffer.end(), sps.begin(), sps.end());
  EXPECT_EQ(DecodeH264SpsSize(buffer), (PictureSize{352, 288}));
}

TEST(SpsTest, NoSpsNoSize) {
  const std::vector<uint8_t> pps = {0, 0, 1, 0x68, 0xCE, 0x38, 0x80};
  EXPECT_EQ(DecodeH264SpsSize(pps), std::nullopt);
  EXPECT_EQ(DecodeH264SpsSize({}), std::nullopt);
  const std::vector<uint8_t> header_only = {0, 0, 1, 0x67};
  EXPECT_EQ(DecodeH264SpsSize(header_only), std::nullopt);
}

// Sides of 512 macroblocks and crops of 2047 units put 00 00 02 into the RBSP (twice), which
// the NAL unit carries as 00 00 03 02; read as is, the 03 would shift every later field.
TEST(SpsTest, RemovesEmulationPreventionBytes) {
  SpsFields f;
  f.width_mbs_minus1 = 511;
  f.height_map_units_minus1 = 511;
  f.crop = true;
  f.crop_right = 2047;
  f.crop_top = 2047;
  const auto nal = MakeSps(f);
  const std::vector<uint8_t> epb = {0x00, 0x00, 0x03};
  ASSERT_NE(std::search(nal.begin(), nal.end(), epb.begin(), epb.end()), nal.end())
      << "the test SPS must contain an emulation prevention byte";
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(nal)), (PictureSize{4098, 4098}));
}

// SPS units as x264 wrote them (GStreamer's sprop-parameter-sets of two fixtures).
TEST(SpsTest, RealEncoderSps) {
  const std::vector<uint8_t> cif_444 = {0x67, 0xf4, 0x00, 0x0d, 0x90, 0xd9, 0x68, 0x16, 0x09,
                                        0x6c, 0x05, 0x28, 0x30, 0x30, 0x32, 0x00, 0x00, 0x03,
                                        0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x65, 0x1e, 0x28,
                                        0x55, 0x40};
  EXPECT_EQ(DecodeH264SpsSize(WithStartCode(cif_444)), (PictureSize{352, 288}));
}

}  // namespace
}  // namespace korvane
