#include "media/jpeg_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/testing/media_test_support.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Feed;
using testing::Harness;

// RFC 2435 main header.
Bytes MainHeader(uint32_t offset, uint8_t type, uint8_t q, uint8_t width8, uint8_t height8) {
  return {0x00,  // type-specific
          static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 8),
          static_cast<uint8_t>(offset), type, q, width8, height8};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Scan data that never contains FF (so it never looks like a marker).
Bytes Scan(size_t n, uint8_t seed = 1) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((seed + i * 7) % 0xFE);
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(to));
}

class JpegParserTest : public ::testing::Test {
 protected:
  JpegParserTest() : parser_(&h_.driver) { parser_.SetClient(&h_.client); }

  void Send(const Bytes& payload, bool marker = false) {
    Feed(parser_, seq_++, ts_, marker, payload);
    if (marker) ts_ += 3600;
  }
  void Skip() { ++seq_; }
  size_t Delivered() const { return h_.client.frames.size(); }
  const testing::DeliveredFrame& Last() const { return h_.client.frames.back(); }
  // The delivered picture without its rebuilt header.
  Bytes ScanOf(const testing::DeliveredFrame& f, size_t header = kJpegHeaderSize) const {
    return Slice(f.data, header, f.data.size());
  }
  static Bytes HeaderFor(uint8_t type, uint8_t q, uint16_t width, uint16_t height,
                         uint16_t restart = 0) {
    JpegPictureParams p;
    p.type = type;
    p.width = width;
    p.height = height;
    p.restart_interval = restart;
    MakeJpegTables(q, p.luma, p.chroma);
    Bytes out(JpegHeaderSize(p));
    WriteJpegHeader(p, out.data());
    return out;
  }

  Harness h_;
  CJpegRTPMediaParser parser_;
  uint16_t seq_ = 65530;  // wraps during the tests
  uint32_t ts_ = 1000;
};

TEST_F(JpegParserTest, Q80Type1SinglePacket) {
  const Bytes scan = Scan(700);
  Send(Cat({MainHeader(0, 1, 80, 80, 60), scan}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({HeaderFor(1, 80, 640, 480), scan, {0xFF, 0xD9}}));
  EXPECT_EQ(Last().data_size, 605u + 700u + 2u);
  EXPECT_GE(Last().capacity, Last().data_size);
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCJpeg);
  EXPECT_EQ(Last().width, 640u);
  EXPECT_EQ(Last().height, 480u);
  EXPECT_EQ(Last().size_class, 4u);
  EXPECT_EQ(Last().data[140 + 11], 0x22);  // SOF0: Y sampled 2x2
  EXPECT_EQ(Last().data[7], 6);            // luminance DC quantizer of Q 80: 16 * 40%
}

TEST_F(JpegParserTest, Type0Is422) {
  Send(Cat({MainHeader(0, 0, 50, 88, 72), Scan(800)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data[140 + 11], 0x21);
  EXPECT_EQ(Last().width, 704u);
  EXPECT_EQ(Last().height, 576u);
}

TEST_F(JpegParserTest, InBandTablesAreCopied) {
  Bytes tables(128);
  for (size_t i = 0; i < tables.size(); ++i) tables[i] = static_cast<uint8_t>(i + 1);
  const Bytes scan = Scan(700);
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0x00, 0x00, 0x00, 0x80}, tables, scan}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Slice(Last().data, 7, 71), Slice(tables, 0, 64));
  EXPECT_EQ(Slice(Last().data, 76, 140), Slice(tables, 64, 128));
  EXPECT_EQ(ScanOf(Last()), Cat({scan, {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, OneInBandTableServesBothComponents) {
  Bytes table(64, 9);
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0x00, 0x00, 0x00, 0x40}, table, Scan(700)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Slice(Last().data, 7, 71), table);
  EXPECT_EQ(Slice(Last().data, 76, 140), table);
}

// Q below 128: the scan data starts right after the main header in every fragment.
TEST_F(JpegParserTest, Q50PictureInSeveralFragmentsKeepsEveryScanByte) {
  const Bytes scan = Scan(2500);
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Slice(scan, 0, 1000)}));
  Send(Cat({MainHeader(1000, 1, 50, 80, 60), Slice(scan, 1000, 2000)}));
  Send(Cat({MainHeader(2000, 1, 50, 80, 60), Slice(scan, 2000, 2500)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({HeaderFor(1, 50, 640, 480), scan, {0xFF, 0xD9}}));
}

// Scan data that happens to look like a restart marker header is still scan data.
TEST_F(JpegParserTest, RestartLookalikeInType1IsScanData) {
  const Bytes scan = Cat({{0x00, 0x40, 0x00, 0x10}, Scan(1496)});
  Send(Cat({MainHeader(0, 1, 60, 80, 60), Slice(scan, 0, 1000)}));
  Send(Cat({MainHeader(1000, 1, 60, 80, 60), Slice(scan, 1000, 1500)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), Cat({scan, {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, Type65CarriesRestartIntervalIntoDri) {
  const Bytes restart = {0x00, 0x40, 0xFF, 0xFF};  // interval 64, F=L=1, count 0x3FFF
  const Bytes scan = Scan(2000);
  Send(Cat({MainHeader(0, 65, 50, 80, 60), restart, Slice(scan, 0, 1200)}));
  Send(Cat({MainHeader(1200, 65, 50, 80, 60), restart, Slice(scan, 1200, 2000)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({HeaderFor(65, 50, 640, 480, 64), scan, {0xFF, 0xD9}}));
  EXPECT_EQ(Last().data[140 + 11], 0x22);
}

TEST_F(JpegParserTest, PictureOf605PayloadBytesOrLessIsDropped) {
  Send(Cat({MainHeader(0, 1, 50, 10, 10), Scan(592)}), true);  // 600 bytes
  EXPECT_EQ(Delivered(), 0u);
  Send(Cat({MainHeader(0, 1, 50, 10, 10), Scan(597)}), true);  // 605 bytes
  EXPECT_EQ(Delivered(), 0u);
  Send(Cat({MainHeader(0, 1, 50, 10, 10), Scan(598)}), true);  // 606 bytes
  EXPECT_EQ(Delivered(), 1u);
}

TEST_F(JpegParserTest, LaterFragmentFirstAfterLossIsRefused) {
  const Bytes scan = Scan(1500);
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Slice(scan, 0, 1400)}));
  Skip();
  Send(Cat({MainHeader(1400, 1, 50, 80, 60), Slice(scan, 1400, 1500)}), true);
  EXPECT_EQ(Delivered(), 0u);
  Send(Cat({MainHeader(0, 1, 50, 80, 60), scan}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), Cat({scan, {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, FirstFragmentRightAfterGapIsAccepted) {
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(1400)}));
  Skip();  // the rest of that picture
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(900, 3)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), Cat({Scan(900, 3), {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, NewFirstFragmentDropsAnUnfinishedPicture) {
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(1400)}));
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(900, 5)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), Cat({Scan(900, 5), {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, EoiIsNotDoubled) {
  const Bytes scan = Cat({Scan(700), {0xFF, 0xD9}});
  Send(Cat({MainHeader(0, 1, 50, 80, 60), scan}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), scan);
}

TEST_F(JpegParserTest, PayloadUnderFourBytesIsIgnoredWithoutReset) {
  const Bytes scan = Scan(1500);
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Slice(scan, 0, 1000)}));
  Send({0x00, 0x01, 0x02});
  Send(Cat({MainHeader(1000, 1, 50, 80, 60), Slice(scan, 1000, 1500)}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(ScanOf(Last()), Cat({scan, {0xFF, 0xD9}}));
}

TEST_F(JpegParserTest, FragmentAfterACompletePictureIsRefused) {
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(700)}), true);
  Send(Cat({MainHeader(700, 1, 50, 80, 60), Scan(700)}), true);
  EXPECT_EQ(Delivered(), 1u);
}

TEST_F(JpegParserTest, StaticInBandTablesMayBeLeftOut) {
  Bytes tables(128, 7);
  Send(Cat({MainHeader(0, 1, 200, 40, 30), {0x00, 0x00, 0x00, 0x80}, tables, Scan(700)}), true);
  Send(Cat({MainHeader(0, 1, 200, 40, 30), {0x00, 0x00, 0x00, 0x00}, Scan(700)}), true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Slice(Last().data, 7, 71), Bytes(64, 7));
  // Q 255 tables are dynamic: without them the picture cannot be rebuilt.
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0x00, 0x00, 0x00, 0x80}, tables, Scan(700)}), true);
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0x00, 0x00, 0x00, 0x00}, Scan(700)}), true);
  EXPECT_EQ(Delivered(), 3u);
}

TEST_F(JpegParserTest, SixteenBitTablesAreRefused) {
  Send(Cat({MainHeader(0, 1, 255, 40, 30), {0x00, 0x01, 0x00, 0xC0}, Bytes(192, 1), Scan(700)}),
       true);
  EXPECT_EQ(Delivered(), 0u);
}

TEST_F(JpegParserTest, ZeroSizeIsRefused) {
  Send(Cat({MainHeader(0, 1, 50, 0, 60), Scan(700)}), true);
  Send(Cat({MainHeader(0, 1, 50, 80, 0), Scan(700)}), true);
  EXPECT_EQ(Delivered(), 0u);
}

// RFC 2435 3.1.2 fragment offsets checked against the scan bytes received, with sequence
// numbers that stay continuous (a relay that renumbers hides the loss from the sequence check).
struct FragmentCase {
  const char* name;
  std::vector<uint32_t> offsets;  // of the fragments sent in order; the last one has the marker
  bool delivered;
};

class JpegFragmentOffsetTest : public JpegParserTest,
                               public ::testing::WithParamInterface<FragmentCase> {};

TEST_P(JpegFragmentOffsetTest, PictureIsDeliveredOnlyWhenEveryOffsetFollowsOn) {
  constexpr uint32_t kFragment = 500;
  const Bytes scan = Scan(4 * kFragment);
  const std::vector<uint32_t>& offsets = GetParam().offsets;
  for (size_t i = 0; i < offsets.size(); ++i) {
    const uint32_t at = offsets[i];
    Send(Cat({MainHeader(at, 1, 50, 80, 60), Slice(scan, at, at + kFragment)}),
         i + 1 == offsets.size());
  }
  EXPECT_EQ(Delivered(), GetParam().delivered ? 1u : 0u);
  // Whatever happened, the next whole picture comes through on its own.
  Send(Cat({MainHeader(0, 1, 50, 80, 60), Scan(900, 4)}), true);
  ASSERT_FALSE(h_.client.frames.empty());
  EXPECT_EQ(ScanOf(Last()), Cat({Scan(900, 4), {0xFF, 0xD9}}));
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, JpegFragmentOffsetTest,
    ::testing::Values(FragmentCase{"AllInOrder", {0, 500, 1000, 1500}, true},
                      FragmentCase{"MiddleFragmentLost", {0, 500, 1500}, false},
                      FragmentCase{"SecondFragmentLost", {0, 1000, 1500}, false},
                      FragmentCase{"FragmentRepeated", {0, 500, 500, 1000}, false},
                      FragmentCase{"OffsetGoesBack", {0, 500, 1000, 500}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JpegParserTest, TruncatedRestartHeaderIsRefused) {
  Send(Cat({MainHeader(0, 65, 50, 80, 60), {0x00, 0x40}}), true);
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_EQ(parser_.BufferedBytes(), 0u);
}

// A GStreamer picture sent again with Q 50 instead of in-band tables: jpegenc quality=50 uses
// exactly the example tables, so the rebuilt pictures must be byte for byte the same.
TEST(JpegFixtureTest, Q50RepacketizedPictureMatchesInBandOriginal) {
  const auto packets = testing::ReadFixture("gst_jpeg_640x480.rtp");
  ASSERT_FALSE(packets.empty());
  Harness original;
  CJpegRTPMediaParser first(&original.driver);
  first.SetClient(&original.client);
  Harness rebuilt;
  CJpegRTPMediaParser second(&rebuilt.driver);
  second.SetClient(&rebuilt.client);

  constexpr size_t kRtpHeader = 12;
  for (const auto& wire : packets) {
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(wire));
    first.ParsePacket(&packet);

    Bytes payload(packet.Payload().begin(), packet.Payload().end());
    ASSERT_EQ(payload[5], 255);  // Q
    const bool first_fragment = payload[1] == 0 && payload[2] == 0 && payload[3] == 0;
    payload[5] = 50;
    if (first_fragment) {
      ASSERT_EQ(Slice(payload, 8, 12), (Bytes{0x00, 0x00, 0x00, 0x80}));
      payload.erase(payload.begin() + 8, payload.begin() + 140);
    }
    Bytes out(wire.begin(), wire.begin() + kRtpHeader);
    out.insert(out.end(), payload.begin(), payload.end());
    CRTPPacket repacked;
    ASSERT_TRUE(repacked.Parse(out));
    second.ParsePacket(&repacked);
  }
  ASSERT_EQ(original.client.frames.size(), 20u);
  ASSERT_EQ(rebuilt.client.frames.size(), original.client.frames.size());
  for (size_t i = 0; i < original.client.frames.size(); ++i) {
    EXPECT_EQ(rebuilt.client.frames[i].data, original.client.frames[i].data) << i;
  }
}

}  // namespace
}  // namespace korvane
