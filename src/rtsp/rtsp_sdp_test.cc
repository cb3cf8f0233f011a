// SDP bodies of DESCRIBE answers, read through CRTSPResponseParser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rtsp/rtsp_response_parser.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

class SdpTest : public ::testing::Test {
 protected:
  bool Describe(const std::string& sdp) {
    const std::string text = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: application/sdp\r\n"
                             "Content-Length: " +
                             std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    return parser_.ParseResponse(text, RequestKind::kDescribe);
  }
  const RTSPResponse& R() const { return parser_.Response(); }

  CRTSPResponseParser parser_;
};

constexpr char kHead[] = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nt=0 0\r\na=control:*\r\n";

TEST_F(SdpTest, VideoProfileAndControl) {
  ASSERT_TRUE(Describe(std::string(kHead) + "m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\n"));
  EXPECT_EQ(R().VideoProfile, "RTP/AVP");
  EXPECT_EQ(R().VideoControl, "trackID=1");
  EXPECT_TRUE(R().AudioControl.empty());
}

TEST_F(SdpTest, TwoTokenMediaLineStoresNoProfile) {
  ASSERT_TRUE(Describe("m=video 0\r\na=control:v\r\n"));
  EXPECT_EQ(R().VideoControl, "v");  // the kind was still set
  EXPECT_TRUE(R().VideoProfile.empty());
}

TEST_F(SdpTest, MediaKinds) {
  ASSERT_TRUE(Describe(
      "m=audio 0 RTP/AVP 0\r\na=control:a1\r\n"
      "m=application 0 RTP/AVP 107\r\na=control:d1\r\n"
      "m=text 0 RTP/AVP 98\r\na=control:ignored\r\n"
      "m=VIDEO 0 RTP/AVPF 96\r\na=control:v1\r\n"));
  EXPECT_EQ(R().AudioControl, "a1");
  EXPECT_EQ(R().AudioProfile, "RTP/AVP");
  EXPECT_EQ(R().DataControl, "d1");
  EXPECT_EQ(R().VideoControl, "v1");
  EXPECT_EQ(R().VideoProfile, "RTP/AVPF");
}

TEST_F(SdpTest, BadLinesFail) {
  const char* bad[] = {
      "a=fmtp:96 config=00\r\nm=video 0 RTP/AVP 96\r\n",  // format parameters before any m=
      "m=video 0 RTP/AVP 96\r\na=control:\r\n",             // empty control
      "m= video 0\r\n",                                     // empty media type
      "m=\r\n",
      "m=video 0 RTP/AVP 96\r\na=fmtp:96 packetization-mode=1\r\n",  // no parameter sets
      "m=text 0 RTP/AVP 96\r\na=fmtp:96 x=1\r\n",          // fmtp under an unknown medium
      "M=video 0 RTP/AVP 96\r\n",                           // classified, but m= is exact
  };
  for (const char* sdp : bad) {
    CRTSPResponseParser parser;
    const std::string text = "RTSP/1.0 200 OK\r\nContent-Length: " +
                             std::to_string(strlen(sdp)) + "\r\n\r\n" + sdp;
    EXPECT_FALSE(parser.ParseResponse(text, RequestKind::kDescribe)) << sdp;
  }
}

TEST_F(SdpTest, FormatParametersUnderAudioAreIgnored) {
  ASSERT_TRUE(Describe("m=audio 0 RTP/AVP 97\r\na=fmtp:97 anything\r\na=control:a\r\n"));
  EXPECT_TRUE(R().Codec.Config.empty());
}

TEST_F(SdpTest, ValuesBeforeAFailingLineStay) {
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=control:v\r\na=fmtp:96 x=1\r\n"
                        "m=audio 0 RTP/AVP 0\r\na=control:a\r\n"));
  EXPECT_EQ(R().VideoControl, "v");
  EXPECT_TRUE(R().AudioControl.empty());  // not reached
}

TEST_F(SdpTest, SpropParameterSetsAfterAnotherParameter) {
  ASSERT_TRUE(Describe(
      "m=video 0 RTP/AVP 96\r\n"
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==;"
      "profile-level-id=420029\r\n"));
  EXPECT_EQ(R().Codec.Sps, (Bytes{0x67, 0x42, 0x00, 0x29, 0xE2, 0x90, 0x14, 0x07, 0xB6, 0x02,
                                  0xDC, 0x04, 0x04, 0x06, 0x90, 0x78, 0x91, 0x15}));
  EXPECT_EQ(R().Codec.Pps, (Bytes{0x68, 0xCE, 0x3C, 0x80}));
}

TEST_F(SdpTest, SpropParameterSetsAsFirstParameterIsNotFound) {
  // The name must follow ';' or the start of the text with only blanks between.
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\n"
                        "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==\r\n"));
  EXPECT_TRUE(R().Codec.Sps.empty());
  EXPECT_TRUE(R().Codec.Pps.empty());
}

TEST_F(SdpTest, SpropParameterSetsNeedTwoDecodableEntries) {
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=Z0IA\r\n"));
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=Z0IA,\r\n"));
  // An SPS of more than 256 bytes is refused, leaving its vector empty.
  const std::string huge(344 + 4, 'A');  // 348 characters decode to 261 bytes
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=" + huge +
                        ",aM48gA==\r\n"));
  EXPECT_TRUE(R().Codec.Sps.empty());
  EXPECT_EQ(R().Codec.Pps, (Bytes{0x68, 0xCE, 0x3C, 0x80}));
  const std::string fits(340, 'A');  // 255 bytes
  ASSERT_TRUE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=" + fits +
                       ",aM48gA==\r\n"));
  EXPECT_EQ(R().Codec.Sps.size(), 255u);
}

TEST_F(SdpTest, Mpeg4ConfigInHexAndBase64) {
  ASSERT_TRUE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 profile-level-id=1;config=000001B0f\r\n"));
  EXPECT_EQ(R().Codec.Config, (Bytes{0x00, 0x00, 0x01, 0xB0, 0x0F}));
  ASSERT_TRUE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 profile-level-id=1;config=AAABsAE=\r\n"));
  EXPECT_EQ(R().Codec.Config, (Bytes{0x00, 0x00, 0x01, 0xB0, 0x01}));
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 profile-level-id=1;config=\r\n"));
}

TEST_F(SdpTest, Base64ConfigIsBoundedLikeParameterSets) {
  // A base64 config goes through the same 256-byte work buffer as the parameter sets: a longer
  // one is refused rather than truncated.
  const std::string long_config(400, 'm');  // 300 bytes
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;config=" + long_config + "=\r\n"));
  EXPECT_TRUE(R().Codec.Config.empty());
  const std::string fitting(340, 'm');  // 255 bytes
  ASSERT_TRUE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;config=" + fitting + "=\r\n"));
  EXPECT_EQ(R().Codec.Config.size(), 255u);
}

TEST_F(SdpTest, LastLineWithoutLineEnd) {
  ASSERT_TRUE(Describe("m=video 0 RTP/AVP 96\r\na=control:rtsp://cam/track1"));
  EXPECT_EQ(R().VideoControl, "rtsp://cam/track1");
}

TEST_F(SdpTest, SessionLevelControlIsNotStored) {
  ASSERT_TRUE(Describe("a=control:*\r\nm=video 0 RTP/AVP 26\r\n"));
  EXPECT_TRUE(R().VideoControl.empty());
  EXPECT_EQ(R().VideoProfile, "RTP/AVP");
}

TEST_F(SdpTest, BlankLinesAndBareLineFeeds) {
  ASSERT_TRUE(Describe("\r\n\r\nm=video 0 RTP/AVP 96\n\na=control:x\n"));
  EXPECT_EQ(R().VideoControl, "x");
}

}  // namespace
}  // namespace korvane
