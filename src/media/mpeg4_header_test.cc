#include "media/mpeg4_header.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/testing/bit_writer_for_test.h"

namespace korvane {
namespace {

using testing::BitWriter;

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The configuration avenc_mpeg4 produced for a 704x576 stream (GStreamer's config= caps).
const char* const kGstConfig704x576 =
    "000001b001000001b58913000001000000012000c48d8ffffd1604481463000001b24c61766335392e33372e"
    "313030";

TEST(Mpeg4HeaderTest, ReadsEncoderConfiguration) {
  EXPECT_EQ(ReadMpeg4VolSize(FromHex(kGstConfig704x576)), (PictureSize{704, 576}));
}

struct VolFields {
  bool object_layer_identifier = false;
  uint32_t aspect_ratio_info = 1;
  bool vol_control = false;
  bool vbv = false;
  uint32_t shape = 0;
  uint32_t resolution = 25;
  bool fixed_rate = false;
  uint32_t width = 352;
  uint32_t height = 288;
  bool break_marker = false;
};

std::vector<uint8_t> MakeVol(const VolFields& f) {
  BitWriter w;
  w.U(32, 0x00000120);
  w.U(1, 0).U(8, 1);  // random_accessible_vol, video_object_type_indication
  w.U(1, f.object_layer_identifier);
  if (f.object_layer_identifier) w.U(4, 2).U(3, 1);
  w.U(4, f.aspect_ratio_info);
  if (f.aspect_ratio_info == 15) w.U(8, 12).U(8, 11);
  w.U(1, f.vol_control);
  if (f.vol_control) {
    w.U(2, 1).U(1, 1).U(1, f.vbv);
    if (f.vbv) {
      w.U(15, 100).U(1, 1).U(15, 200).U(1, 1).U(15, 300).U(1, 1).U(3, 4).U(11, 500).U(1, 1)
          .U(15, 600).U(1, 1);
    }
  }
  w.U(2, f.shape);
  w.U(1, 1).U(16, f.resolution).U(1, 1);
  w.U(1, f.fixed_rate);
  if (f.fixed_rate) {
    int bits = 1;
    while (bits < 16 && (1u << bits) < f.resolution) ++bits;
    w.U(bits, 1);
  }
  if (f.shape == 0) {
    w.U(1, 1).U(13, f.width).U(1, f.break_marker ? 0 : 1).U(13, f.height).U(1, 1);
  }
  w.U(1, 0).U(1, 1);  // interlaced, obmc_disable: what follows the size
  return w.Pad();
}

struct VolCase {
  std::string name;
  VolFields fields;
  std::optional<PictureSize> expected;
};

void PrintTo(const VolCase& c, std::ostream* os) { *os << c.name; }

class Mpeg4VolTest : public ::testing::TestWithParam<VolCase> {};

TEST_P(Mpeg4VolTest, ReadsSize) {
  std::vector<uint8_t> frame = {0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0x00};
  const auto vol = MakeVol(GetParam().fields);
  frame.insert(frame.end(), vol.begin(), vol.end());
  frame.insert(frame.end(), {0x00, 0x00, 0x01, 0xB6, 0x10, 0x00});
  EXPECT_EQ(ReadMpeg4VolSize(frame), GetParam().expected);
}

VolFields Vol(auto&& edit) {
  VolFields f;
  edit(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mpeg4VolTest,
    ::testing::Values(
        VolCase{"Plain", VolFields{}, PictureSize{352, 288}},
        VolCase{"ObjectLayerIdentifier", Vol([](VolFields& f) {
                  f.object_layer_identifier = true;
                  f.width = 1920;
                  f.height = 1080;
                }),
                PictureSize{1920, 1080}},
        VolCase{"ExtendedPar", Vol([](VolFields& f) { f.aspect_ratio_info = 15; }),
                PictureSize{352, 288}},
        VolCase{"VbvParameters", Vol([](VolFields& f) {
                  f.vol_control = true;
                  f.vbv = true;
                  f.width = 704;
                  f.height = 576;
                }),
                PictureSize{704, 576}},
        VolCase{"FixedRate30000", Vol([](VolFields& f) {
                  f.fixed_rate = true;
                  f.resolution = 30000;
                  f.width = 1280;
                  f.height = 720;
                }),
                PictureSize{1280, 720}},
        VolCase{"BinaryShapeHasNoSize", Vol([](VolFields& f) { f.shape = 1; }), std::nullopt},
        VolCase{"BrokenMarker", Vol([](VolFields& f) { f.break_marker = true; }), std::nullopt},
        VolCase{"ZeroWidth", Vol([](VolFields& f) { f.width = 0; }), std::nullopt}),
    [](const ::testing::TestParamInfo<VolCase>& info) { return info.param.name; });

TEST(Mpeg4HeaderTest, TruncatedHeaderFails) {
  const auto config = FromHex(kGstConfig704x576);
  // Up to the end of video_object_layer_height (byte 28 of the configuration).
  for (size_t keep = 0; keep < 28; ++keep) {
    const std::vector<uint8_t> cut(config.begin(),
                                   config.begin() + static_cast<std::ptrdiff_t>(keep));
    EXPECT_EQ(ReadMpeg4VolSize(cut), std::nullopt) << keep;
  }
}

TEST(Mpeg4HeaderTest, VopBeforeAnyVolHasNoSize) {
  auto frame = FromHex("000001b610aabbcc");
  const auto config = FromHex(kGstConfig704x576);
  frame.insert(frame.end(), config.begin(), config.end());
  EXPECT_EQ(ReadMpeg4VolSize(frame), std::nullopt);
}

TEST(Mpeg4HeaderTest, CallingFormStoresSizeOnlyOnSuccess) {
  const auto config = FromHex(kGstConfig704x576);
  int32_t width = -1;
  int32_t height = -1;
  EXPECT_GT(ParseMpegHeader(config.data(), static_cast<uint32_t>(config.size()), &width, &height),
            0);
  EXPECT_EQ(width, 704);
  EXPECT_EQ(height, 576);

  width = -1;
  height = -1;
  const auto p_vop = FromHex("000001b650aabbcc");
  EXPECT_EQ(ParseMpegHeader(p_vop.data(), static_cast<uint32_t>(p_vop.size()), &width, &height),
            0);
  EXPECT_EQ(width, -1);
  EXPECT_EQ(height, -1);
  EXPECT_EQ(ParseMpegHeader(nullptr, 10, &width, &height), 0);
  EXPECT_EQ(ParseMpegHeader(config.data(), static_cast<uint32_t>(config.size()), nullptr, &height),
            0);
}

}  // namespace
}  // namespace korvane
