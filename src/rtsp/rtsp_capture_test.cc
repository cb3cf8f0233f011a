// Responses of a real RTSP server (GStreamer's gst-rtsp-server), kept verbatim in testdata/.
#include <gtest/gtest.h>

#include "rtsp/rtsp_response_parser.h"
#include "rtsp/testing/rtsp_testdata.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

class CaptureTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& file, RequestKind kind) {
    const std::string text = testdata::ReadCapture(file);
    EXPECT_FALSE(text.empty()) << "missing " << testdata::Path(file);
    return parser_.ParseResponse(text, kind);
  }
  const RTSPResponse& R() const { return parser_.Response(); }

  CRTSPResponseParser parser_;
};

TEST_F(CaptureTest, DescribeH264) {
  ASSERT_TRUE(Parse("h264_describe.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().StatusCode, 200u);
  EXPECT_EQ(R().CSeq, 1u);
  EXPECT_EQ(R().ContentType, "application/sdp");
  const std::string text = testdata::ReadCapture("h264_describe.txt");
  EXPECT_EQ(R().ContentLength, text.size() - text.find("\r\n\r\n") - 4);
  EXPECT_EQ(R().ContentBase.rfind("rtsp://127.0.0.1:", 0), 0u);
  EXPECT_EQ(R().ContentBase.substr(R().ContentBase.size() - 6), "/h264/");
  EXPECT_EQ(R().VideoControl, "stream=0");
  EXPECT_EQ(R().VideoProfile, "RTP/AVP");
  // sprop-parameter-sets=Z0LAC9kBQfsBagwMDUoAAAMAAgAAAwApHihUkA==,aMuMsg==
  EXPECT_EQ(R().Codec.Sps,
            (Bytes{0x67, 0x42, 0xC0, 0x0B, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x6A, 0x0C, 0x0C, 0x0D,
                   0x4A, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x29, 0x1E, 0x28,
                   0x54, 0x90}));
  EXPECT_EQ(R().Codec.Pps, (Bytes{0x68, 0xCB, 0x8C, 0xB2}));
  EXPECT_TRUE(R().Codec.Config.empty());
}

TEST_F(CaptureTest, DescribeMpeg4) {
  ASSERT_TRUE(Parse("mpeg4_describe.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().VideoControl, "stream=0");
  // config=000001b001000001b58913... : visual object sequence start code, profile 1.
  ASSERT_EQ(R().Codec.Config.size(), 47u);
  EXPECT_EQ(Bytes(R().Codec.Config.begin(), R().Codec.Config.begin() + 6),
            (Bytes{0x00, 0x00, 0x01, 0xB0, 0x01, 0x00}));
  EXPECT_TRUE(R().Codec.Sps.empty());
}

TEST_F(CaptureTest, DescribeJpeg) {
  ASSERT_TRUE(Parse("jpeg_describe.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().VideoControl, "stream=0");
  EXPECT_EQ(R().VideoProfile, "RTP/AVP");
  EXPECT_EQ(R().ContentBase.substr(R().ContentBase.size() - 6), "/jpeg/");
  EXPECT_TRUE(R().Codec.Config.empty());
}

TEST_F(CaptureTest, DigestChallenge) {
  ASSERT_TRUE(Parse("digest_401.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().StatusCode, 401u);
  EXPECT_EQ(R().Scheme, AuthScheme::kDigest);
  EXPECT_EQ(R().Realm, "GStreamer RTSP Server");
  EXPECT_EQ(R().Nonce, "2e9656f230d43e9d");
}

TEST_F(CaptureTest, BasicChallenge) {
  ASSERT_TRUE(Parse("basic_401.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().Scheme, AuthScheme::kBasic);
  EXPECT_EQ(R().Realm, "GStreamer RTSP Server");
}

TEST_F(CaptureTest, DescribeAfterDigestKeepsTheChallenge) {
  ASSERT_TRUE(Parse("digest_401.txt", RequestKind::kDescribe));
  ASSERT_TRUE(Parse("digest_describe.txt", RequestKind::kDescribe));
  EXPECT_EQ(R().StatusCode, 200u);
  EXPECT_EQ(R().CSeq, 2u);
  EXPECT_EQ(R().Scheme, AuthScheme::kDigest);  // no new challenge in a 200
  EXPECT_EQ(R().Codec.Pps, (Bytes{0x68, 0xCB, 0x8C, 0xB2}));
}

TEST_F(CaptureTest, UdpSessionSetupOptionsTeardown) {
  ASSERT_TRUE(Parse("h264_describe.txt", RequestKind::kDescribe));
  ASSERT_TRUE(Parse("setup_udp.txt", RequestKind::kSetup));
  EXPECT_EQ(R().CSeq, 2u);
  EXPECT_EQ(R().SessionId, "gXVPrfu63ptt5T35");
  EXPECT_EQ(R().SessionTimeout, 0);  // the server's default of 60 s is not announced
  EXPECT_EQ(R().VideoControl, "stream=0");  // kept from DESCRIBE
  ASSERT_TRUE(Parse("options.txt", RequestKind::kOptions));
  EXPECT_EQ(R().CSeq, 3u);
  ASSERT_TRUE(Parse("teardown.txt", RequestKind::kTeardown));
  EXPECT_EQ(R().CSeq, 4u);
  EXPECT_EQ(R().SessionId, "gXVPrfu63ptt5T35");
}

TEST_F(CaptureTest, InterleavedSetupAndPlay) {
  ASSERT_TRUE(Parse("setup_interleaved.txt", RequestKind::kSetup));
  EXPECT_EQ(R().SessionId, "Hp2HChysDe.D+6fK");
  ASSERT_TRUE(Parse("play.txt", RequestKind::kPlay));
  EXPECT_EQ(R().CSeq, 3u);
  EXPECT_EQ(R().SessionId, "Hp2HChysDe.D+6fK");
}

TEST_F(CaptureTest, EveryCaptureFailsWhenCutBeforeItsEmptyLine) {
  for (const char* file : {"h264_describe.txt", "setup_udp.txt", "play.txt", "digest_401.txt"}) {
    const std::string text = testdata::ReadCapture(file);
    const size_t end_of_headers = text.find("\r\n\r\n");
    ASSERT_NE(end_of_headers, std::string::npos) << file;
    for (size_t cut = 0; cut < end_of_headers + 2; ++cut) {
      CRTSPResponseParser parser;
      EXPECT_FALSE(parser.ParseResponse(text.substr(0, cut), RequestKind::kDescribe))
          << file << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace korvane
