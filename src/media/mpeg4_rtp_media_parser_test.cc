#include "media/mpeg4_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/testing/media_test_support.h"
#include "media/mpeg4_header.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Feed;
using testing::Harness;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// avenc_mpeg4's configuration of a 704x576 stream (VOS, VO, VOL, user data): 47 bytes.
const Bytes kConfig = FromHex(
    "000001b001000001b58913000001000000012000c48d8ffffd1604481463000001b24c61766335392e33372e"
    "313030");
const Bytes kIVop = {0x00, 0x00, 0x01, 0xB6, 0x10, 0x11, 0x22, 0x33};
const Bytes kPVop = {0x00, 0x00, 0x01, 0xB6, 0x50, 0x44, 0x55};

class Mpeg4ParserTest : public ::testing::Test {
 protected:
  explicit Mpeg4ParserTest(CMpeg4RTPMediaParser::HeaderParser reader = &ParseMpegHeader)
      : parser_(&h_.driver, reader) {
    parser_.SetClient(&h_.client);
  }

  void Send(const Bytes& payload, bool marker = false) {
    Feed(parser_, seq_++, ts_, marker, payload);
    if (marker) ts_ += 3600;
  }
  void Skip() { ++seq_; }
  size_t Delivered() const { return h_.client.frames.size(); }
  const testing::DeliveredFrame& Last() const { return h_.client.frames.back(); }

  Harness h_;
  CMpeg4RTPMediaParser parser_;
  uint16_t seq_ = 7;
  uint32_t ts_ = 1;
};

TEST_F(Mpeg4ParserTest, ConfigurationPacketGoesInFrontOfTheNextIVop) {
  ASSERT_EQ(kConfig.size(), 47u);
  Send(kConfig);
  EXPECT_EQ(parser_.InBandConfig(), kConfig);
  EXPECT_EQ(parser_.BufferedBytes(), 0u);
  Send(kIVop, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({kConfig, kIVop}));
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCDivx);
  EXPECT_EQ(Last().width, 704u);
  EXPECT_EQ(Last().height, 576u);
  EXPECT_EQ(Last().size_class, 4u);
  EXPECT_EQ(Last().capacity, 4096u);
}

TEST_F(Mpeg4ParserTest, ConfigurationAndIVopInOnePacket) {
  Send(Cat({kConfig, kIVop}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(parser_.InBandConfig(), kConfig);
  EXPECT_EQ(Last().data, Cat({kConfig, kIVop}));
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCDivx);
}

TEST_F(Mpeg4ParserTest, EveryIVopGetsTheStoredConfiguration) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kPVop, true);
  Send(kIVop, true);
  ASSERT_EQ(Delivered(), 3u);
  EXPECT_EQ(h_.client.frames[1].data, kPVop);
  EXPECT_EQ(h_.client.frames[2].data, Cat({kConfig, kIVop}));
}

TEST_F(Mpeg4ParserTest, PFrameCarriesTheKeyFrameSize) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kPVop, true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCDivi);
  EXPECT_EQ(Last().width, 704u);
  EXPECT_EQ(Last().height, 576u);
  EXPECT_EQ(Last().size_class, 4u);
}

TEST_F(Mpeg4ParserTest, LongHeaderWithoutVopWhileAssemblingIsFrameData) {
  Send(Cat({kConfig, kIVop}));
  Bytes odd = Cat({{0x00, 0x00, 0x01, 0xB0}, Bytes(96, 0x5A)});
  ASSERT_EQ(odd.size(), 100u);
  Send(odd, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({kConfig, kIVop, odd}));
  EXPECT_EQ(parser_.InBandConfig(), kConfig);
}

TEST_F(Mpeg4ParserTest, MarkerWithEmptyBufferDeliversNothing) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kConfig, true);  // configuration only: nothing goes into the frame
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_EQ(h_.factory.created, 1);
}

TEST_F(Mpeg4ParserTest, PVopWhileWaitingIsDropped) {
  Send(kConfig);
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

TEST_F(Mpeg4ParserTest, FrameSpanningPackets) {
  const Bytes tail(1000, 0x66);
  Send(Cat({kConfig, kIVop}));
  Send(tail);
  Send(tail, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({kConfig, kIVop, tail, tail}));
}

TEST_F(Mpeg4ParserTest, LossDropsFramesUntilTheNextIVop) {
  Send(Cat({kConfig, kIVop}), true);
  Send(kPVop);
  Skip();
  Send(Bytes(50, 0x66), true);
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 1u);
  Send(kIVop, true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().data, Cat({kConfig, kIVop}));
}

// Found by the fuzzer: the I-VOP's last packet (with the marker) is missing although no sequence
// number is; the next VOP start discards it, and the P-VOPs that follow refer to it.
TEST_F(Mpeg4ParserTest, KeyFrameWithoutItsMarkerPacketWaitsForTheNextIVop) {
  Send(Cat({kConfig, kIVop}));  // no marker
  Send(kPVop, true);
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
  Send(kIVop, true);
  EXPECT_EQ(Delivered(), 1u);
}

TEST_F(Mpeg4ParserTest, HostOutOfFramesForTheKeyFrameWaitsForTheNextIVop) {
  h_.factory.refuse = true;
  Send(Cat({kConfig, kIVop}), true);
  h_.factory.refuse = false;
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 0u);
  Send(kIVop, true);
  EXPECT_EQ(Delivered(), 1u);
}

TEST_F(Mpeg4ParserTest, HeaderTheReaderRejectsDropsTheKeyFrame) {
  Send(Cat({{0x00, 0x00, 0x01, 0xB0, 0x01}, kIVop}), true);  // no VOL in the header
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 0u);
}

TEST_F(Mpeg4ParserTest, RefusedFrameWaitsForTheNextIVop) {
  h_.client.accept = false;
  Send(Cat({kConfig, kIVop}), true);
  h_.client.accept = true;
  Send(kPVop, true);
  EXPECT_EQ(Delivered(), 1u);
  Send(kIVop, true);
  EXPECT_EQ(Delivered(), 2u);
}

TEST_F(Mpeg4ParserTest, OversizedFrameLogsAndResets) {
  Send(Cat({kConfig, kIVop}));
  const Bytes chunk(1400, 0x66);
  for (size_t i = 0; i <= CRTPMediaParser::kMaxFrameBytes / chunk.size(); ++i) Send(chunk);
  Send(chunk, true);
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_EQ(h_.driver.Lines().size(), 1u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

// FFmpeg's configuration of a 1280x720 stream, as its SDP announces it in config=.
const Bytes kSdpConfig720 = FromHex(
    "000001b001000001b58913000001000000012000c48d8800cd28045a1443000001b24c61766335392e33372e"
    "313030");

DecoderConfig SdpConfig(const Bytes& config) {
  DecoderConfig c;
  c.Config = config;
  return c;
}

// A camera that never sends its configuration in band: the SDP's takes its place.
TEST_F(Mpeg4ParserTest, SdpConfigurationGoesInFrontOfIVopsWithoutInBandOne) {
  const DecoderConfig sdp = SdpConfig(kSdpConfig720);
  parser_.SetDecoderConfig(&sdp);
  Send(kIVop, true);
  Send(kPVop, true);
  Send(kIVop, true);
  ASSERT_EQ(Delivered(), 3u);
  for (const size_t key : {0u, 2u}) {
    const testing::DeliveredFrame& f = h_.client.frames[key];
    EXPECT_EQ(f.data, Cat({kSdpConfig720, kIVop})) << key;
    EXPECT_EQ(f.fourcc, ipcapture::kFourCCDivx) << key;
    EXPECT_EQ(f.width, 1280u) << key;
    EXPECT_EQ(f.height, 720u) << key;
  }
  EXPECT_EQ(h_.client.frames[1].data, kPVop);
  EXPECT_TRUE(parser_.InBandConfig().empty());
}

// avenc_mpeg4 puts a group of VOP header in front of every I-VOP; a camera that keeps its
// configuration out of the stream sends it first in the key frame's packet.
TEST_F(Mpeg4ParserTest, GroupOfVopHeaderOpensAKeyFrame) {
  const Bytes gov = {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10, 0x07};  // time code, closed_gov
  struct Case {
    const char* name;
    Bytes first;  // payload of the first packet
    Bytes key;    // the key frame delivered
  } cases[] = {
      {"configuration from the SDP", Cat({gov, kIVop}), Cat({kSdpConfig720, gov, kIVop})},
      {"configuration in band", Cat({kConfig, gov, kIVop}), Cat({kConfig, gov, kIVop})},
      {"group header alone before a P-VOP", Cat({gov, kPVop}), {}},
  };
  for (const Case& c : cases) {
    Harness h;
    CMpeg4RTPMediaParser parser(&h.driver, &ParseMpegHeader);
    parser.SetClient(&h.client);
    const DecoderConfig sdp = SdpConfig(kSdpConfig720);
    parser.SetDecoderConfig(&sdp);
    Feed(parser, 1, 3600, true, c.first);
    Feed(parser, 2, 7200, true, kPVop);
    if (c.key.empty()) {
      EXPECT_EQ(h.client.frames.size(), 0u) << c.name;  // still waiting for a key frame
      continue;
    }
    ASSERT_EQ(h.client.frames.size(), 2u) << c.name;
    EXPECT_EQ(h.client.frames[0].data, c.key) << c.name;
    EXPECT_EQ(h.client.frames[0].fourcc, ipcapture::kFourCCDivx) << c.name;
    EXPECT_EQ(h.client.frames[1].data, kPVop) << c.name;
  }
}

// The configuration the stream carries describes the pictures that follow; the SDP's may be
// stale (the encoder was reconfigured after DESCRIBE).
TEST_F(Mpeg4ParserTest, InBandConfigurationWinsOverTheSdpOne) {
  const DecoderConfig sdp = SdpConfig(kSdpConfig720);
  parser_.SetDecoderConfig(&sdp);
  Send(Cat({kConfig, kIVop}), true);
  Send(kIVop, true);  // later key frames without a header get the in-band one too
  ASSERT_EQ(Delivered(), 2u);
  for (const testing::DeliveredFrame& f : h_.client.frames) {
    EXPECT_EQ(f.data, Cat({kConfig, kIVop}));
    EXPECT_EQ(f.width, 704u);
    EXPECT_EQ(f.height, 576u);
  }
}

class Mpeg4NoReaderTest : public Mpeg4ParserTest {
 protected:
  Mpeg4NoReaderTest() : Mpeg4ParserTest(nullptr) {}
};

TEST_F(Mpeg4NoReaderTest, WithoutHeaderReaderNoFrameIsDelivered) {
  for (int i = 0; i < 3; ++i) {
    Send(Cat({kConfig, kIVop}), true);
    Send(kPVop, true);
  }
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_EQ(h_.factory.created, 0);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

}  // namespace
}  // namespace korvane
