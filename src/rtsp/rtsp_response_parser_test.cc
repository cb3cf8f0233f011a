#include "rtsp/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

class ResponseParserTest : public ::testing::Test {
 protected:
  bool Parse(const std::string& text, RequestKind kind = RequestKind::kOptions) {
    return parser_.ParseResponse(text, kind);
  }
  const RTSPResponse& R() const { return parser_.Response(); }

  CRTSPResponseParser parser_;
};

TEST_F(ResponseParserTest, StatusAndCSeq) {
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n"));
  EXPECT_EQ(R().Version, "RTSP/1.0");
  EXPECT_EQ(R().StatusCode, 200u);
  EXPECT_EQ(R().CSeq, 3u);
}

TEST_F(ResponseParserTest, StatusOtherThan200Or401FailsButIsKept) {
  EXPECT_FALSE(Parse("RTSP/1.0 404 Not Found\r\nCSeq: 9\r\n\r\n"));
  EXPECT_EQ(R().StatusCode, 404u);
  EXPECT_EQ(R().CSeq, 0u);  // headers after a refused status are not read
  EXPECT_TRUE(Parse("RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\n\r\n"));
  EXPECT_EQ(R().StatusCode, 401u);
  EXPECT_FALSE(Parse("RTSP/1.0 302 Moved\r\n\r\n"));
  EXPECT_EQ(R().StatusCode, 302u);
}

TEST_F(ResponseParserTest, BadStatusLines) {
  const char* bad[] = {
      "",                           // nothing
      "RTSP/1.0 200 OK",            // no line end at all
      "RTSP/1.0\r\n\r\n",           // no status
      "RTSP/1.0 OK 200\r\n\r\n",    // not a number
      "RTSP/1.0 -200 OK\r\n\r\n",   // signed
      "RTSP/1.0 4294967496 OK\r\n\r\n",  // 200 after 32-bit wrap-around
      "\r\n\r\n",
  };
  for (const char* text : bad) {
    CRTSPResponseParser parser;
    EXPECT_FALSE(parser.ParseResponse(text, RequestKind::kOptions)) << text;
  }
}

TEST_F(ResponseParserTest, HeaderNamesAreMatchedWithoutCase) {
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\ncSeQ: 5\r\n\r\n"));
  EXPECT_EQ(R().CSeq, 5u);
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nCONTENT-LENGTH: 0\r\nContent-type: Application/SDP\r\n\r\n"));
  EXPECT_EQ(R().ContentType, "application/sdp");
}

TEST_F(ResponseParserTest, UnreadableReadHeaderFailsAndStopsReading) {
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nCSeq: x\r\nSession: 77\r\n\r\n"));
  EXPECT_TRUE(R().SessionId.empty());
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nContent-Length: many\r\n\r\n"));
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nContent-Type:\r\n\r\n"));
}

TEST_F(ResponseParserTest, IgnoredAndUnrecognisedLines) {
  ASSERT_TRUE(Parse(
      "RTSP/1.0 200 OK\r\nCSeq: 4\r\nDate: garbage\r\nTransport: ???\r\nRange: x\r\n"
      "RTP-Info: url=x\r\nServer: s\r\nX-Whatever: 1\r\nno colon here\r\n:leading colon\r\n"
      "a:short name\r\n\r\n"));
  EXPECT_EQ(R().CSeq, 4u);
}

TEST_F(ResponseParserTest, HeaderNamesOfEveryReadHeaderIgnoreCase) {
  ASSERT_TRUE(Parse("RTSP/1.0 401 Unauthorized\r\ncseq: 6\r\ncontent-base: rtsp://10.0.0.1/x/\r\n"
                    "session: AbC;TIMEOUT=40\r\ntransport: RTP/AVP;unicast\r\n"
                    "www-authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n"
                    "content-length: 0\r\n\r\n",
                    RequestKind::kSetup));
  EXPECT_EQ(R().CSeq, 6u);
  EXPECT_EQ(R().ContentBase, "rtsp://10.0.0.1/x/");
  EXPECT_EQ(R().SessionId, "AbC");
  EXPECT_EQ(R().SessionTimeout, 40);
  EXPECT_EQ(R().Scheme, AuthScheme::kDigest);
  EXPECT_EQ(R().Nonce, "n1");
}

TEST(ResponseBaseTest, ContentBaseAndLocationAgainstTheRequestUrl) {
  struct Case {
    const char* name;
    const char* headers;
    RequestKind kind;
    const char* request_url;
    const char* base;  // the record held "rtsp://old/" before
  };
  constexpr char kUrl[] = "rtsp://127.0.0.1:8554/live/ch1";
  const Case cases[] = {
      {"absolute URL", "Content-Base: rtsp://cam/a/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://cam/a/"},
      {"absolute path", "Content-Base: /media/ch1/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://127.0.0.1:8554/media/ch1/"},
      {"relative path", "Content-Base: ch1/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://127.0.0.1:8554/live/ch1/"},
      {"relative path, URL with a query", "Content-Base: main/\r\n", RequestKind::kDescribe,
       "rtsp://cam:554/live?ch=1", "rtsp://cam:554/main/"},
      {"relative path, URL without path", "Content-Base: main/\r\n", RequestKind::kDescribe,
       "rtsp://cam:554", "rtsp://cam:554/main/"},
      {"relative path, request URL unknown", "Content-Base: ch1/\r\n", RequestKind::kDescribe, "",
       "rtsp://old/"},
      {"another scheme", "Content-Base: http://cam/b/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://old/"},
      {"empty value", "Content-Base:\r\n", RequestKind::kDescribe, kUrl, "rtsp://old/"},
      {"Content-Location without Content-Base",
       "Content-Location: rtsp://127.0.0.1:8554/loc/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://127.0.0.1:8554/loc/"},
      {"Content-Location on another host", "Content-Location: rtsp://10.1.1.9/loc/\r\n",
       RequestKind::kDescribe, kUrl, "rtsp://old/"},
      {"relative Content-Location", "content-location: /loc/\r\n", RequestKind::kDescribe, kUrl,
       "rtsp://127.0.0.1:8554/loc/"},
      {"Content-Base wins over an earlier Content-Location",
       "Content-Location: rtsp://cam/loc/\r\nContent-Base: rtsp://cam/base/\r\n",
       RequestKind::kDescribe, kUrl, "rtsp://cam/base/"},
      {"Content-Base wins over a later Content-Location",
       "Content-Base: rtsp://cam/base/\r\nContent-Location: rtsp://cam/loc/\r\n",
       RequestKind::kDescribe, kUrl, "rtsp://cam/base/"},
      {"Content-Location outside DESCRIBE", "Content-Location: rtsp://cam/loc/\r\n",
       RequestKind::kSetup, kUrl, "rtsp://old/"},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    parser.Response().ContentBase = "rtsp://old/";
    ASSERT_TRUE(parser.ParseResponse(std::string("RTSP/1.0 200 OK\r\n") + c.headers + "\r\n",
                                     c.kind, c.request_url))
        << c.name;
    EXPECT_EQ(parser.Response().ContentBase, c.base) << c.name;
  }
}

TEST_F(ResponseParserTest, ContentBaseWithoutRtspUrlKeepsEarlierValue) {
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nContent-Base: rtsp://cam/a/\r\n\r\n"));
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nContent-Base: http://cam/b/\r\n\r\n"));
  EXPECT_EQ(R().ContentBase, "rtsp://cam/a/");
}

TEST_F(ResponseParserTest, SessionTimeouts) {
  struct Case {
    const char* header;
    bool ok;
    const char* id;
    int32_t timeout;  // SessionTimeout was 7 before
  };
  const Case cases[] = {
      {"Session: 12345678;timeout=60", true, "12345678", 60},
      {"Session: 12345678", true, "12345678", 7},
      {"Session: 12345678;timeout=0", true, "12345678", 30},
      {"Session: 12345678;timeout=abc", true, "12345678", 30},
      {"Session: 12345678;timeout=-5", true, "12345678", 30},
      {"Session: 12345678;mode=play", true, "12345678", 7},  // parameters without timeout
      {"Session: 12345678; timeout=45", true, "12345678", 45},
      {"Session: ", false, "", 7},
      {"Session: ;timeout=60", false, "", 60},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    parser.Response().SessionTimeout = 7;
    EXPECT_EQ(parser.ParseResponse(std::string("RTSP/1.0 200 OK\r\n") + c.header + "\r\n\r\n",
                                   RequestKind::kSetup),
              c.ok)
        << c.header;
    EXPECT_EQ(parser.Response().SessionId, c.id) << c.header;
    EXPECT_EQ(parser.Response().SessionTimeout, c.timeout) << c.header;
  }
}

TEST_F(ResponseParserTest, Challenges) {
  struct Case {
    const char* header;
    bool ok;
    AuthScheme scheme;
    const char* realm;
    const char* nonce;
  };
  const Case cases[] = {
      {R"(WWW-Authenticate: Digest realm="cam", nonce="abc123")", true, AuthScheme::kDigest,
       "cam", "abc123"},
      {R"(WWW-Authenticate: Digest realm="cam", cnonce="no", nonce="yes")", true,
       AuthScheme::kDigest, "cam", "yes"},
      {R"(WWW-Authenticate: Digest realm="cam")", false, AuthScheme::kDigest, "cam", ""},
      {R"(WWW-Authenticate: Digest nonce="n")", false, AuthScheme::kDigest, "", "n"},
      {R"(WWW-Authenticate: Basic realm="GStreamer RTSP Server")", true, AuthScheme::kBasic,
       "GStreamer RTSP Server", ""},
      {"WWW-Authenticate: Basic", true, AuthScheme::kBasic, "", ""},
      {R"(WWW-Authenticate: Negotiate abc)", true, AuthScheme::kNone, "", ""},
      {R"(WWW-Authenticate: digest realm="cam", nonce="n")", true, AuthScheme::kNone, "", ""},
      {R"(WWW-Authenticate:Digest realm="cam", nonce="n")", true, AuthScheme::kDigest, "cam",
       "n"},
  };
  for (const Case& c : cases) {
    CRTSPResponseParser parser;
    EXPECT_EQ(parser.ParseResponse(std::string("RTSP/1.0 401 Unauthorized\r\n") + c.header +
                                       "\r\n\r\n",
                                   RequestKind::kDescribe),
              c.ok)
        << c.header;
    EXPECT_EQ(parser.Response().Scheme, c.scheme) << c.header;
    EXPECT_EQ(parser.Response().Realm, c.realm) << c.header;
    EXPECT_EQ(parser.Response().Nonce, c.nonce) << c.header;
  }
}

TEST_F(ResponseParserTest, LastChallengeDecides) {
  ASSERT_TRUE(Parse(
      "RTSP/1.0 401 Unauthorized\r\n"
      "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
      "WWW-Authenticate: Basic realm=\"b\"\r\n\r\n",
      RequestKind::kDescribe));
  EXPECT_EQ(R().Scheme, AuthScheme::kBasic);
  EXPECT_EQ(R().Realm, "b");
}

TEST_F(ResponseParserTest, HeaderBlockMustBeClosed) {
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nCSeq: 3\r\n"));
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nCSeq: 3"));
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\n"));
}

TEST_F(ResponseParserTest, BareLineFeedsEndLines) {
  // RFC 2326 section 4: receivers take a lone LF (or CR) as a line end too.
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\nCSeq: 8\nSession: abc\n\n", RequestKind::kSetup));
  EXPECT_EQ(R().CSeq, 8u);
  EXPECT_EQ(R().SessionId, "abc");
}

TEST_F(ResponseParserTest, BodyOfOtherRequestsIsIgnored) {
  // Not SDP at all, but only DESCRIBE reads its body.
  EXPECT_TRUE(Parse("RTSP/1.0 200 OK\r\nContent-Length: 9\r\n\r\na=fmtp:xx", RequestKind::kPlay));
  EXPECT_FALSE(
      Parse("RTSP/1.0 200 OK\r\nContent-Length: 9\r\n\r\na=fmtp:xx", RequestKind::kDescribe));
}

TEST_F(ResponseParserTest, BodyIsCutAtContentLength) {
  // The bad line lies past the announced length, so it is not read.
  const std::string body = "m=video 0 RTP/AVP 96\r\na=control:v\r\n";
  const std::string text = "RTSP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\n\r\n" + body + "a=fmtp:96 none\r\n";
  ASSERT_TRUE(Parse(text, RequestKind::kDescribe));
  EXPECT_EQ(R().VideoControl, "v");
  // A length beyond the text reads what there is.
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nContent-Length: 4000\r\n\r\nm=audio 0 RTP/AVP 0\r\n",
                    RequestKind::kDescribe));
  EXPECT_EQ(R().AudioProfile, "RTP/AVP");
}

TEST_F(ResponseParserTest, RecordCarriesOverAndResetClears) {
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Base: rtsp://cam/x/\r\n"
                    "Session: s1;timeout=50\r\n\r\n"));
  ASSERT_TRUE(Parse("RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n"));
  EXPECT_EQ(R().ContentBase, "rtsp://cam/x/");
  EXPECT_EQ(R().SessionId, "s1");
  EXPECT_EQ(R().SessionTimeout, 50);
  parser_.Reset();
  EXPECT_EQ(R().CSeq, 0u);
  EXPECT_EQ(R().StatusCode, 0u);
  EXPECT_TRUE(R().ContentBase.empty());
  EXPECT_TRUE(R().SessionId.empty());
  EXPECT_EQ(R().SessionTimeout, 0);
}

TEST_F(ResponseParserTest, CSeqMustFit32Bits) {
  EXPECT_FALSE(Parse("RTSP/1.0 200 OK\r\nCSeq: 4294967296\r\n\r\n"));
  EXPECT_TRUE(Parse("RTSP/1.0 200 OK\r\nCSeq: 4294967295\r\n\r\n"));
  EXPECT_EQ(R().CSeq, 4294967295u);
}

}  // namespace
}  // namespace korvane
