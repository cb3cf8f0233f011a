#include "media/jpeg_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace korvane {
namespace {

// ITU T.81 K.1 and K.2 in zigzag order: what a DQT segment carries for a Q of 50.
constexpr uint8_t kLumaZigzag[64] = {
    16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
    26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
    56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
    95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr uint8_t kChromaZigzag[64] = {
    17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

TEST(JpegTablesTest, Q50IsTheExampleTables) {
  JpegQuantTable luma, chroma;
  MakeJpegTables(50, luma, chroma);
  EXPECT_EQ(std::vector<uint8_t>(luma.begin(), luma.end()),
            std::vector<uint8_t>(std::begin(kLumaZigzag), std::end(kLumaZigzag)));
  EXPECT_EQ(std::vector<uint8_t>(chroma.begin(), chroma.end()),
            std::vector<uint8_t>(std::begin(kChromaZigzag), std::end(kChromaZigzag)));
}

struct ScaleCase {
  int q;
  int scale;  // percent applied to the example tables
};

class JpegScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(JpegScaleTest, ScalesEveryEntryAndClamps) {
  JpegQuantTable luma, chroma;
  MakeJpegTables(GetParam().q, luma, chroma);
  for (int i = 0; i < 64; ++i) {
    const int expected_luma = std::clamp((kLumaZigzag[i] * GetParam().scale + 50) / 100, 1, 255);
    const int expected_chroma =
        std::clamp((kChromaZigzag[i] * GetParam().scale + 50) / 100, 1, 255);
    EXPECT_EQ(luma[i], expected_luma) << "q " << GetParam().q << " entry " << i;
    EXPECT_EQ(chroma[i], expected_chroma) << "q " << GetParam().q << " entry " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Qs, JpegScaleTest,
                         ::testing::Values(ScaleCase{0, 5000}, ScaleCase{1, 5000},
                                           ScaleCase{10, 500}, ScaleCase{49, 102},
                                           ScaleCase{75, 50}, ScaleCase{80, 40},
                                           ScaleCase{99, 2}, ScaleCase{120, 2}));

TEST(JpegTablesTest, KnownEntries) {
  JpegQuantTable luma, chroma;
  MakeJpegTables(75, luma, chroma);
  EXPECT_EQ(luma[0], 8);
  MakeJpegTables(80, luma, chroma);
  EXPECT_EQ(luma[0], 6);   // (16 * 40 + 50) / 100
  EXPECT_EQ(chroma[0], 7);  // (17 * 40 + 50) / 100
  MakeJpegTables(99, luma, chroma);
  EXPECT_EQ(luma[1], 1);  // (11 * 2 + 50) / 100 = 0, raised to 1
  MakeJpegTables(1, luma, chroma);
  EXPECT_EQ(luma[63], 255);
}

// Finds a marker segment (FF xx) in a header, returns its offset or -1.
int FindMarker(const std::vector<uint8_t>& h, uint8_t marker) {
  for (size_t i = 0; i + 1 < h.size(); ++i) {
    if (h[i] == 0xFF && h[i + 1] == marker) return static_cast<int>(i);
  }
  return -1;
}

std::vector<uint8_t> Header(const JpegPictureParams& params) {
  std::vector<uint8_t> out(JpegHeaderSize(params) + 16, 0xEE);
  const size_t written = WriteJpegHeader(params, out.data());
  EXPECT_EQ(written, JpegHeaderSize(params));
  EXPECT_EQ(out[written], 0xEE) << "wrote past its size";
  out.resize(written);
  return out;
}

TEST(JpegHeaderTest, LayoutWithoutRestartInterval) {
  JpegPictureParams p;
  p.type = 1;
  p.width = 640;
  p.height = 480;
  MakeJpegTables(80, p.luma, p.chroma);
  const auto h = Header(p);
  ASSERT_EQ(h.size(), 605u);
  EXPECT_EQ(h[0], 0xFF);
  EXPECT_EQ(h[1], 0xD8);
  // DQT 0 then DQT 1, 64 entries each.
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 2, h.begin() + 7),
            (std::vector<uint8_t>{0xFF, 0xDB, 0x00, 0x43, 0x00}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 7, h.begin() + 71),
            std::vector<uint8_t>(p.luma.begin(), p.luma.end()));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 71, h.begin() + 76),
            (std::vector<uint8_t>{0xFF, 0xDB, 0x00, 0x43, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 76, h.begin() + 140),
            std::vector<uint8_t>(p.chroma.begin(), p.chroma.end()));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 140, h.begin() + 159),
            (std::vector<uint8_t>{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03,
                                  0x00, 0x22, 0x00, 0x01, 0x11, 0x01, 0x02, 0x11, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 159, h.begin() + 164),
            (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 0x1F, 0x00}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 192, h.begin() + 197),
            (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 0xB5, 0x10}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 375, h.begin() + 380),
            (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 0x1F, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + 408, h.begin() + 413),
            (std::vector<uint8_t>{0xFF, 0xC4, 0x00, 0xB5, 0x11}));
  EXPECT_EQ(std::vector<uint8_t>(h.end() - 14, h.end()),
            (std::vector<uint8_t>{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02,
                                  0x11, 0x00, 0x3F, 0x00}));
  EXPECT_EQ(FindMarker(h, 0xDD), -1);
  EXPECT_EQ(FindMarker(h, 0xD9), -1);
}

struct SamplingCase {
  uint8_t type;
  uint8_t luma_sampling;
};

class JpegSamplingTest : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(JpegSamplingTest, TypeChoosesSampling) {
  JpegPictureParams p;
  p.type = GetParam().type;
  p.width = 64;
  p.height = 64;
  const auto h = Header(p);
  const int sof = FindMarker(h, 0xC0);
  ASSERT_GE(sof, 0);
  EXPECT_EQ(h[static_cast<size_t>(sof) + 11], GetParam().luma_sampling);
}

INSTANTIATE_TEST_SUITE_P(Types, JpegSamplingTest,
                         ::testing::Values(SamplingCase{0, 0x21}, SamplingCase{1, 0x22},
                                           SamplingCase{64, 0x21}, SamplingCase{65, 0x22}));

TEST(JpegHeaderTest, RestartIntervalAddsDri) {
  JpegPictureParams p;
  p.type = 65;
  p.width = 1280;
  p.height = 720;
  p.restart_interval = 80;
  const auto h = Header(p);
  ASSERT_EQ(h.size(), 611u);
  const int dri = FindMarker(h, 0xDD);
  ASSERT_GE(dri, 0);
  EXPECT_EQ(std::vector<uint8_t>(h.begin() + dri, h.begin() + dri + 6),
            (std::vector<uint8_t>{0xFF, 0xDD, 0x00, 0x04, 0x00, 0x50}));
  EXPECT_EQ(dri + 6, FindMarker(h, 0xDA)) << "DRI must come before SOS";
}

TEST(JpegPayloadHeaderTest, ParsesFields) {
  const std::vector<uint8_t> main = {0x00, 0x01, 0x02, 0x03, 65, 50, 160, 90};
  const auto m = ParseJpegMainHeader(main);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->fragment_offset, 0x010203u);
  EXPECT_EQ(m->type, 65);
  EXPECT_EQ(m->q, 50);
  EXPECT_TRUE(m->HasRestartHeader());
  EXPECT_FALSE(m->HasInBandTables());
  EXPECT_FALSE(ParseJpegMainHeader(std::span(main).first(7)));

  const std::vector<uint8_t> restart = {0x00, 0x50, 0xBF, 0xFF};
  const auto r = ParseJpegRestartHeader(restart);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->restart_interval, 80);
  EXPECT_TRUE(r->first);
  EXPECT_FALSE(r->last);
  EXPECT_EQ(r->restart_count, 0x3FFF);

  const std::vector<uint8_t> quant = {0x00, 0x00, 0x00, 0x80};
  const auto q = ParseJpegQuantHeader(quant);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->length, 128);
  EXPECT_FALSE(ParseJpegQuantHeader(std::span(quant).first(3)));
}

struct TypeCase {
  uint8_t type;
  bool restart;
};

class JpegRestartTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(JpegRestartTypeTest, RestartHeaderExactlyForTypes64To127) {
  const std::vector<uint8_t> main = {0, 0, 0, 0, GetParam().type, 255, 10, 10};
  EXPECT_EQ(ParseJpegMainHeader(main)->HasRestartHeader(), GetParam().restart);
}

INSTANTIATE_TEST_SUITE_P(Types, JpegRestartTypeTest,
                         ::testing::Values(TypeCase{0, false}, TypeCase{1, false},
                                           TypeCase{63, false}, TypeCase{64, true},
                                           TypeCase{127, true}, TypeCase{128, false},
                                           TypeCase{255, false}));

}  // namespace
}  // namespace korvane
