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
      "m=audio 0 RTP/SAVP 8\r\na=control:a2\r\n"  // a second audio track is not read
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
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=control:v\r\n"
                        "a=fmtp:96 x=1;sprop-parameter-sets=Z0IA\r\n"
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

TEST_F(SdpTest, SpropParameterSetsNeedTwoDecodableEntries) {
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=Z0IA\r\n"));
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=Z0IA,\r\n"));
  // An SPS of more than 256 bytes is refused, leaving its vector empty.
  const std::string huge(344 + 4, 'A');  // 348 characters decode to 261 bytes
  EXPECT_FALSE(Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 x=1;sprop-parameter-sets=" + huge +
                        ",aM48gA==\r\n"));
  EXPECT_TRUE(R().Codec.Sps.empty());
  EXPECT_TRUE(R().Codec.Pps.empty());  // a broken value stores neither set
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

std::string Hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

constexpr char kSpsHex[] = "67420029e2901407b602dc04040690789115";
constexpr char kPpsHex[] = "68ce3c80";
constexpr char kSprop[] = "Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==";

// SDP bodies shaped like those of the cameras each row names, and what the video medium reads.
TEST(SdpVariantTest, VideoMediumAndDecoderConfiguration) {
  struct Case {
    const char* name;
    std::string sdp;
    const char* encoding;
    int payload_type;
    uint32_t clock_rate;
    const char* control;
    const char* sps;  // hex; "" for none
    const char* pps;
    const char* config;
  };
  const std::string h264 = "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n";
  const Case cases[] = {
      {"fmtp without parameter sets: in-band sets are used",
       h264 + "a=fmtp:96 packetization-mode=1;profile-level-id=42001f\r\na=control:v\r\n", "H264",
       96, 90000, "v", "", "", ""},
      {"sprop-parameter-sets as the first parameter",
       h264 + "a=fmtp:96 sprop-parameter-sets=" + kSprop + ";packetization-mode=1\r\n", "H264", 96,
       90000, "", kSpsHex, kPpsHex, ""},
      {"parameter names in any case, blanks after ';'",
       h264 + "a=fmtp:96 packetization-mode=1;  SPROP-Parameter-Sets=" + kSprop + " ;x=1\r\n",
       "H264", 96, 90000, "", kSpsHex, kPpsHex, ""},
      {"encoding name in lower case",
       "m=video 0 RTP/AVP 98\r\na=rtpmap:98 h264/90000\r\na=fmtp:98 sprop-parameter-sets=" +
           std::string(kSprop) + "\r\n",
       "H264", 98, 90000, "", kSpsHex, kPpsHex, ""},
      {"four-byte start codes before each set",
       h264 + "a=fmtp:96 sprop-parameter-sets=AAAAAWdCACnikBQHtgLcBAQGkHiRFQ==,AAAAAWjOPIA=\r\n",
       "H264", 96, 90000, "", kSpsHex, kPpsHex, ""},
      {"both sets in one piece, joined by start codes",
       h264 + "a=fmtp:96 sprop-parameter-sets=AAAAAWdCACnikBQHtgLcBAQGkHiRFQAAAWjOPIA=\r\n", "H264",
       96, 90000, "", kSpsHex, kPpsHex, ""},
      {"trailing start codes",
       h264 +
           "a=fmtp:96 sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEVAAAAAQ==,AAABaM48gAAAAAE=\r\n",
       "H264", 96, 90000, "", kSpsHex, kPpsHex, ""},
      {"H264 ignores config", h264 + "a=fmtp:96 config=000001b001\r\n", "H264", 96, 90000, "", "",
       "", ""},
      {"MP4V-ES reads config only",
       "m=video 0 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\n"
       "a=fmtp:96 sprop-parameter-sets=" +
           std::string(kSprop) + ";config=000001B001\r\n",
       "MP4V-ES", 96, 90000, "", "", "", "000001b001"},
      {"H265 config is never taken for MPEG-4",
       "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\n"
       "a=fmtp:96 sprop-vps=QAEMAf//;sprop-sps=QgEB;sprop-pps=RAHA;config=000001b001\r\n"
       "a=control:hevc\r\n",
       "", -1, 0, "hevc", "", "", ""},
      {"H265 first, H264 second: the H264 medium is used",
       "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\na=fmtp:96 config=000001b001\r\n"
       "a=control:hevc\r\n"
       "m=video 0 RTP/AVP 97\r\na=rtpmap:97 H264/90000\r\na=fmtp:97 packetization-mode=1\r\n"
       "a=control:avc\r\n",
       "H264", 97, 90000, "avc", "", "", ""},
      {"two H264 media: the first one is used",
       h264 + "a=fmtp:96 sprop-parameter-sets=" + kSprop + "\r\na=control:main\r\n" +
           "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
           "a=fmtp:96 sprop-parameter-sets=AAAAAWdC,AAAAAWjO\r\na=control:sub\r\n",
       "H264", 96, 90000, "main", kSpsHex, kPpsHex, ""},
      {"fmtp of a payload type the medium does not carry",
       h264 + "a=fmtp:97 sprop-parameter-sets=" + kSprop + "\r\n", "H264", 96, 90000, "", "", "",
       ""},
      {"second payload type of the m= line is the H264 one",
       "m=video 0 RTP/AVP 100 96\r\na=rtpmap:100 VP8/90000\r\na=rtpmap:96 H264/90000\r\n"
       "a=fmtp:96 sprop-parameter-sets=" +
           std::string(kSprop) + "\r\n",
       "H264", 96, 90000, "", kSpsHex, kPpsHex, ""},
      {"JPEG by its static payload type", "m=video 0 RTP/AVP 26\r\na=control:mjpeg\r\n", "", 26, 0,
       "mjpeg", "", "", ""},
      {"no rtpmap: sprop-parameter-sets read as before",
       "m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=" + std::string(kSprop) + "\r\n", "",
       96, 0, "", kSpsHex, kPpsHex, ""},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.ParseSdp(c.sdp)) << c.name;
    const RTSPResponse& r = parser.Response();
    EXPECT_EQ(r.VideoEncoding, c.encoding) << c.name;
    EXPECT_EQ(r.VideoPayloadType, c.payload_type) << c.name;
    EXPECT_EQ(r.VideoClockRate, c.clock_rate) << c.name;
    EXPECT_EQ(r.VideoControl, c.control) << c.name;
    EXPECT_EQ(Hex(r.Codec.Sps), c.sps) << c.name;
    EXPECT_EQ(Hex(r.Codec.Pps), c.pps) << c.name;
    EXPECT_EQ(Hex(r.Codec.Config), c.config) << c.name;
  }
}

TEST(SdpVariantTest, OnlyTheUsedMediumCanFailTheDescription) {
  // A broken value in the medium that is read fails; the same in a medium of a codec we do
  // not handle, or in a later video medium, is not read at all.
  const std::string broken = "a=fmtp:96 sprop-parameter-sets=Z0IA\r\n";
  CRTSPResponseParser parser;
  EXPECT_FALSE(parser.ParseSdp("m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n" + broken));
  EXPECT_TRUE(parser.ParseSdp("m=video 0 RTP/AVP 96\r\na=rtpmap:96 H265/90000\r\n" + broken));
  EXPECT_TRUE(parser.ParseSdp("m=video 0 RTP/AVP 26\r\nm=video 0 RTP/AVP 96\r\n" + broken));
}

}  // namespace
}  // namespace korvane
