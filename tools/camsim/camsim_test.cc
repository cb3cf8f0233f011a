// End-to-end checks of cnb-camsim against independent peers: ffprobe (FFmpeg's RTSP client),
// curl (Basic and Digest), and a raw RTSP client that counts interleaved RTP packets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camsim_process.h"

namespace camsim::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

std::string Probe(const std::string& url, const std::string& transport) {
  auto r = RunCommand({"ffprobe", "-v", "error", "-rtsp_transport", transport, "-show_entries",
                       "stream=codec_name,width,height", "-of", "csv=p=0", url},
                      20s);
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.exit_code == 0 ? r.out : "exit " + std::to_string(r.exit_code) + ": " + r.out;
}

struct HttpAnswer {
  int curl_exit = -1;
  int status = 0;
  std::string body;
};

HttpAnswer Curl(const std::string& url, std::vector<std::string> options = {}) {
  std::vector<std::string> argv = {"curl", "-s", "-g", "--max-time", "10", "-w", "\n%{http_code}"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  const auto r = RunCommand(argv, 20s);
  HttpAnswer answer;
  answer.curl_exit = r.exit_code;
  const auto cut = r.out.rfind('\n');
  if (cut != std::string::npos) {
    answer.body = r.out.substr(0, cut);
    answer.status = std::atoi(r.out.c_str() + cut + 1);
  }
  return answer;
}

struct CodecCase {
  const char* codec_option;
  const char* expected;  // ffprobe's codec_name,width,height
};

class CodecStreamTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(CodecStreamTest, MainStreamPlaysOverUdpAndTcp) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", GetParam().codec_option, "--width", "320", "--height",
                            "240"}));
  for (const char* transport : {"udp", "tcp"}) {
    EXPECT_EQ(Probe(camsim.RtspUrl("/"), transport), GetParam().expected) << transport;
  }
  // Both transports were really used, as SETUP asked for them.
  const std::string log = camsim.ReadLog();
  EXPECT_EQ(LinesWith(log, {"\"method\":\"SETUP\"", "RTP/AVP/UDP", "\"status\":200"}).size(), 1u);
  EXPECT_EQ(LinesWith(log, {"\"method\":\"SETUP\"", "interleaved", "\"status\":200"}).size(), 1u);
  EXPECT_EQ(camsim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, CodecStreamTest,
                         ::testing::Values(CodecCase{"h264", "h264,320,240"},
                                           CodecCase{"mjpeg", "mjpeg,320,240"},
                                           CodecCase{"mpeg4", "mpeg4,320,240"}));

TEST(CamsimTest, EveryStreamPathCarriesItsCodec) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "h264", "--width", "320", "--height", "240",
                            "--mjpeg-ports"}));
  ASSERT_NE(camsim.Port("mjpeg8554"), 0);
  ASSERT_NE(camsim.Port("mjpeg665"), 0);
  struct PathCase {
    uint16_t port;
    const char* path;
    const char* expected;
  };
  const std::vector<PathCase> cases = {
      {camsim.rtsp_port(), "/main", "h264,320,240"},
      {camsim.rtsp_port(), "/sub", "mjpeg,352,288"},  // the dual stream's default CIF size
      {camsim.rtsp_port(), "/mpeg4", "mpeg4,320,240"},
      {camsim.Port("mjpeg8554"), "/mjpeg", "mjpeg,320,240"},
      {camsim.Port("mjpeg665"), "/", "mjpeg,320,240"},
  };
  for (const auto& c : cases) {
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(c.port) + c.path;
    EXPECT_EQ(Probe(url, "tcp"), c.expected) << url;
  }
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, DigestProtectsTheStreams) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--auth", "digest", "--user", "viewer", "--password", "s3cret",
                            "--width", "320", "--height", "240"}));
  EXPECT_EQ(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "tcp"), "h264,320,240");
  EXPECT_THAT(Probe(camsim.RtspUrl("/"), "tcp"), HasSubstr("exit"));
  EXPECT_THAT(Probe(camsim.RtspUrl("/", "viewer:wrong"), "tcp"), HasSubstr("exit"));

  const std::string log = camsim.ReadLog();
  // The challenge, then the answer with credentials.
  const auto refused = LinesWith(log, {"\"method\":\"DESCRIBE\"", "\"status\":401"});
  const auto accepted = LinesWith(log, {"\"method\":\"DESCRIBE\"", "\"auth\":true", "\"status\":200"});
  EXPECT_EQ(accepted.size(), 1u);
  EXPECT_GE(refused.size(), 3u);
  EXPECT_EQ(LinesWith(log, {"\"auth\":false", "\"status\":200", "\"method\":\"PLAY\""}).size(), 0u);
  EXPECT_THAT(log, Not(HasSubstr("s3cret")));

  // The refuse-credentials switch turns the right password away until it is switched off.
  EXPECT_THAT(Curl(camsim.HttpUrl("/camsim/control?rtsp-fault=wrong-password")).body,
              HasSubstr("\"rtsp_fault\":\"wrong-password\""));
  EXPECT_THAT(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "tcp"), HasSubstr("exit"));
  EXPECT_EQ(Curl(camsim.HttpUrl("/camsim/control?rtsp-fault=none")).status, 200);
  EXPECT_EQ(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "udp"), "h264,320,240");
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, BasicRtspCredentialsCanBeRefused) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--auth", "basic", "--user", "viewer", "--password", "s3cret",
                            "--codec", "mjpeg", "--width", "320", "--height", "240"}));
  EXPECT_EQ(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "tcp"), "mjpeg,320,240");
  EXPECT_THAT(Probe(camsim.RtspUrl("/", "viewer:other"), "tcp"), HasSubstr("exit"));
  ASSERT_EQ(Curl(camsim.HttpUrl("/camsim/control?rtsp-fault=wrong-password")).status, 200);
  EXPECT_THAT(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "tcp"), HasSubstr("exit"));
  ASSERT_EQ(Curl(camsim.HttpUrl("/camsim/control?rtsp-fault=none")).status, 200);
  EXPECT_EQ(Probe(camsim.RtspUrl("/", "viewer:s3cret"), "tcp"), "mjpeg,320,240");
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, RefusingCredentialsNeedsAuthentication) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({}));
  EXPECT_EQ(Curl(camsim.HttpUrl("/camsim/control?rtsp-fault=wrong-password")).status, 400);
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, HttpBasicAndDigestCheckTheCredentials) {
  for (const char* mode : {"basic", "digest"}) {
    SCOPED_TRACE(mode);
    CamsimProcess camsim;
    ASSERT_TRUE(camsim.Start({"--auth", mode, "--user", "admin", "--password", "pw 1"}));
    const std::string scheme = std::string("--") + mode;
    const std::string other = std::string(mode) == "basic" ? "--digest" : "--basic";
    const std::string list = camsim.HttpUrl("/cgi-bin/Param.cgi?action=list");

    const auto good = Curl(list, {scheme, "-u", "admin:pw 1"});
    EXPECT_EQ(good.status, 200);
    for (const char* key : {"sysinfo.modelname = ", "sysinfo.platform = A_TYPE", "firmware.kern = ",
                            "condition.outputformat = ", "ptzcfg.cameraid = ",
                            "network.ethaddress = ", "video.codec = 3", "alarm."}) {
      EXPECT_THAT(good.body, HasSubstr(key));
    }
    EXPECT_THAT(good.body, HasSubstr("rtp.rtspport = " + std::to_string(camsim.rtsp_port()) + "\r\n"));
    EXPECT_EQ(Curl(list, {scheme, "-u", "admin:pw 2"}).status, 401);
    EXPECT_EQ(Curl(list).status, 401);
    EXPECT_EQ(Curl(list, {other, "-u", "admin:pw 1"}).status, 401);  // the scheme is enforced
    EXPECT_EQ(camsim.Stop(), 0);
  }
}

TEST(CamsimTest, UpdateReconfiguresLaterSessionsAndIsLogged) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "h264", "--width", "320", "--height", "240"}));
  EXPECT_EQ(Probe(camsim.RtspUrl("/"), "tcp"), "h264,320,240");

  const std::string update = "/cgi-bin/Param.cgi?action=update&video.codec=1&video.resolution=1&video.quality=5";
  const auto answer = Curl(camsim.HttpUrl(update));
  EXPECT_EQ(answer.status, 200);
  EXPECT_THAT(answer.body, HasSubstr("Success"));
  const auto list = Curl(camsim.HttpUrl("/cgi-bin/Param.cgi?action=list")).body;
  EXPECT_THAT(list, HasSubstr("\r\nvideo.codec = 1\r\n"));
  EXPECT_THAT(list, HasSubstr("\r\nvideo.resolution = 1\r\n"));
  EXPECT_EQ(Probe(camsim.RtspUrl("/"), "udp"), "mjpeg,352,288");

  // A refused value changes nothing.
  const auto refused = Curl(camsim.HttpUrl("/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=0"));
  EXPECT_THAT(refused.body, Not(HasSubstr("Success")));
  EXPECT_EQ(Probe(camsim.RtspUrl("/"), "tcp"), "mjpeg,352,288");

  const auto ptz = Curl(camsim.HttpUrl("/cnb-cgi/ptzCtl?cmd=65&id=1&ps=63&ts=63&pr=1"));
  EXPECT_EQ(ptz.status, 200);

  // Requests appear in order, with their exact query; the inspection path serves the same log.
  const std::string log = camsim.ReadLog();
  const auto http = LinesWith(log, {"\"proto\":\"http\""});
  ASSERT_EQ(http.size(), 4u);
  EXPECT_THAT(http[0], HasSubstr(R"("path":"/cgi-bin/Param.cgi","query":"action=update&video.codec=1&video.resolution=1&video.quality=5")"));
  EXPECT_THAT(http[1], HasSubstr(R"("query":"action=list")"));
  EXPECT_THAT(http[2], HasSubstr("video.resolution=0"));
  EXPECT_THAT(http[3], HasSubstr(R"("path":"/cnb-cgi/ptzCtl","query":"cmd=65&id=1&ps=63&ts=63&pr=1","auth":false,"status":200)"));
  EXPECT_EQ(Curl(camsim.HttpUrl("/camsim/requests")).body, log);
  EXPECT_EQ(Curl(camsim.HttpUrl("/cnb-cgi/ptzCtl?cmd=x")).status, 400);
  EXPECT_EQ(Curl(camsim.HttpUrl("/cgi-bin/nothing.cgi")).status, 404);
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, HttpFaultSwitches) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--auth", "basic", "--user", "admin", "--password", "pw",
                            "--http-fault", "status:500"}));
  const std::string list = camsim.HttpUrl("/cgi-bin/Param.cgi?action=list");
  const std::vector<std::string> creds = {"--basic", "-u", "admin:pw"};
  EXPECT_EQ(Curl(list, creds).status, 500);

  struct FaultCase {
    const char* fault;
    int status;      // expected HTTP status, 0 when none arrives
    int curl_exit;   // expected curl exit code
  };
  const std::vector<FaultCase> cases = {
      {"status:404", 404, 0},
      {"status:302", 302, 0},
      {"wrong-password", 401, 0},
      {"close", 0, 52},   // empty reply from server
      {"slow:3", 0, 28},  // curl gives up after 1 s below
      {"none", 200, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(Curl(camsim.HttpUrl(std::string("/camsim/control?http-fault=") + c.fault)).status, 200);
    std::vector<std::string> options = creds;
    if (std::string(c.fault).starts_with("slow")) options.insert(options.end(), {"--max-time", "1"});
    const auto answer = Curl(list, options);
    EXPECT_EQ(answer.curl_exit, c.curl_exit);
    EXPECT_EQ(answer.status, c.status);
  }
  EXPECT_EQ(Curl(camsim.HttpUrl("/camsim/control?http-fault=bogus")).status, 400);
  // The log keeps the faulted requests too, with the status they got (0: closed unanswered;
  // a slow answer is logged with the status it is going to have).
  const std::string log = camsim.ReadLog();
  const auto requests = LinesWith(log, {"\"path\":\"/cgi-bin/Param.cgi\""});
  ASSERT_EQ(requests.size(), 1 + cases.size());
  EXPECT_THAT(requests[0], HasSubstr("\"status\":500"));
  for (size_t i = 0; i < cases.size(); ++i) {
    const int logged = std::string(cases[i].fault).starts_with("slow") ? 200 : cases[i].status;
    EXPECT_THAT(requests[i + 1], HasSubstr("\"status\":" + std::to_string(logged) + "}"))
        << cases[i].fault;
  }
  EXPECT_EQ(camsim.Stop(), 0);  // also with a slow answer still pending
}

TEST(CamsimTest, MediaPauseSilencesRtpUntilResumed) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "mjpeg", "--width", "320", "--height", "240", "--fps", "10",
                            "--session-timeout", "17"}));
  InterleavedRtspClient client;
  ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
  EXPECT_THAT(client.session_header(), HasSubstr("timeout=17"));
  EXPECT_GT(client.CountRtp(1500ms), 0);

  EXPECT_THAT(Curl(camsim.HttpUrl("/camsim/control?media=pause")).body,
              HasSubstr("\"media_paused\":true"));
  client.CountRtp(500ms);  // what was already on its way
  EXPECT_EQ(client.CountRtp(2000ms), 0);

  EXPECT_THAT(Curl(camsim.HttpUrl("/camsim/control?media=resume")).body,
              HasSubstr("\"media_paused\":false"));
  EXPECT_GT(client.CountRtp(2000ms), 0);

  // A timed pause ends by itself.
  Curl(camsim.HttpUrl("/camsim/control?media=pause&seconds=2"));
  client.CountRtp(500ms);
  EXPECT_EQ(client.CountRtp(1000ms), 0);
  client.CountRtp(1000ms);
  EXPECT_GT(client.CountRtp(2000ms), 0);

  const std::string log = camsim.ReadLog();
  const auto ours = LinesWith(log, {"\"proto\":\"rtsp\"", "\"status\":200"});
  ASSERT_EQ(ours.size(), 3u);
  EXPECT_THAT(ours[0], HasSubstr(R"("method":"DESCRIBE")"));
  EXPECT_THAT(ours[0], HasSubstr(R"("cseq":1,"auth":false,"session":false)"));
  EXPECT_THAT(ours[1], HasSubstr(R"("method":"SETUP")"));
  EXPECT_THAT(ours[2], HasSubstr(R"("cseq":3,"auth":false,"session":true)"));
  EXPECT_EQ(camsim.Stop(), 0);
}

// NAL unit types (RFC 6184 section 5.4) found in H.264 RTP payloads, STAP-A aggregates opened.
std::vector<int> NalTypes(const std::vector<std::string>& packets) {
  std::vector<int> types;
  for (const auto& p : packets) {
    const size_t header = 12 + 4 * (static_cast<uint8_t>(p[0]) & 0x0f);  // CSRC count
    if (p.size() <= header) continue;
    const int type = p[header] & 0x1f;
    if (type != 24) {
      types.push_back(type);
      continue;
    }
    for (size_t at = header + 1; at + 2 < p.size();) {
      const size_t size = (static_cast<uint8_t>(p[at]) << 8) | static_cast<uint8_t>(p[at + 1]);
      if (at + 2 + size > p.size() || size == 0) break;
      types.push_back(p[at + 2] & 0x1f);
      at += 2 + size;
    }
  }
  return types;
}

uint16_t SequenceOf(const std::string& p) {
  return static_cast<uint16_t>((static_cast<uint8_t>(p[2]) << 8) | static_cast<uint8_t>(p[3]));
}

uint32_t TimestampOf(const std::string& p) {
  uint32_t t = 0;
  for (int i = 4; i < 8; ++i) t = (t << 8) | static_cast<uint8_t>(p[i]);
  return t;
}

struct ParameterSetCase {
  const char* name;
  std::vector<std::string> args;
  bool sprop;   // sprop-parameter-sets in the SDP
  bool inband;  // SPS and PPS in the stream
};

class ParameterSetTest : public ::testing::TestWithParam<ParameterSetCase> {};

TEST_P(ParameterSetTest, ParameterSetsWhereTheCameraPutsThem) {
  const auto& c = GetParam();
  CamsimProcess camsim;
  std::vector<std::string> args = {"--codec", "h264", "--width", "320", "--height", "240",
                                   "--fps", "10"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ASSERT_TRUE(camsim.Start(args));
  InterleavedRtspClient client;
  ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
  EXPECT_THAT(client.sdp(), HasSubstr("H264/90000"));
  EXPECT_EQ(client.sdp().find("sprop-parameter-sets=") != std::string::npos, c.sprop);
  // Key frames come every 2 s at most; 3 s hold at least one.
  const auto packets = client.CollectRtp(3000ms);
  const auto types = NalTypes(packets);
  const auto count = [&](int t) { return std::count(types.begin(), types.end(), t); };
  EXPECT_GT(count(5) + count(28), 0);  // IDR pictures (possibly fragmented, FU-A)
  EXPECT_EQ(count(7) > 0, c.inband);   // SPS
  EXPECT_EQ(count(8) > 0, c.inband);   // PPS
  // Without --rtp-reorder the packets leave in order.
  for (size_t i = 1; i < packets.size(); ++i) {
    ASSERT_EQ(SequenceOf(packets[i]), static_cast<uint16_t>(SequenceOf(packets[i - 1]) + 1)) << i;
  }
  EXPECT_EQ(camsim.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, ParameterSetTest,
    ::testing::Values(ParameterSetCase{"SdpOnly", {}, true, false},
                      ParameterSetCase{"SdpAndInBand", {"--inband-params"}, true, true},
                      ParameterSetCase{"ClipInBandOnly",
                                       {"--pre-encoded", "--clip-seconds", "2", "--no-sprop"},
                                       false, true}),
    [](const auto& info) { return info.param.name; });

// MPEG-4 visual object sequence (0xB0) and video object layer (0x20..0x2F) start codes
// (ISO/IEC 14496-2 section 6.2) in the RTP payloads.
int ConfigStartCodes(const std::vector<std::string>& packets) {
  int found = 0;
  for (const auto& p : packets) {
    for (size_t i = 12; i + 3 < p.size(); ++i) {
      if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
      const auto code = static_cast<uint8_t>(p[i + 3]);
      if (code == 0xb0 || (code >= 0x20 && code <= 0x2f)) ++found;
    }
  }
  return found;
}

TEST(CamsimTest, Mpeg4ConfigurationInTheStreamUnlessOnlyInTheSdp) {
  for (const bool sdp_only : {false, true}) {
    SCOPED_TRACE(sdp_only ? "sdp only" : "in band");
    CamsimProcess camsim;
    std::vector<std::string> args = {"--codec", "mpeg4", "--width", "320", "--height", "240",
                                     "--fps", "10"};
    if (sdp_only) args.push_back("--mpeg4-no-inband-config");
    ASSERT_TRUE(camsim.Start(args));
    InterleavedRtspClient client;
    ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
    EXPECT_THAT(client.sdp(), HasSubstr("config=000001b0"));
    const int in_stream = ConfigStartCodes(client.CollectRtp(1500ms));  // config every 1 s
    if (sdp_only) {
      EXPECT_EQ(in_stream, 0);
    } else {
      EXPECT_GT(in_stream, 0);
    }
    EXPECT_EQ(camsim.Stop(), 0);
  }
}

TEST(CamsimTest, RtpReorderSwapsAdjacentPackets) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "h264", "--width", "640", "--height", "480", "--fps",
                            "10", "--bitrate", "4", "--rtp-reorder", "30"}));
  InterleavedRtspClient client;
  ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
  const auto packets = client.CollectRtp(1500ms);
  ASSERT_GT(packets.size(), 50u);
  int backwards = 0;
  std::set<uint16_t> seen;
  for (size_t i = 0; i < packets.size(); ++i) {
    seen.insert(SequenceOf(packets[i]));
    if (i == 0) continue;
    const auto step = static_cast<uint16_t>(SequenceOf(packets[i]) - SequenceOf(packets[i - 1]));
    if (step == 0xffff) ++backwards;  // one back: an adjacent swap
    // Nothing is moved further than its neighbour: after "B A" of one swap comes the next
    // packet (+2) or the second of the next swapped pair (+3).
    EXPECT_TRUE(step == 1 || step == 2 || step == 3 || step == 0xffff) << i << ": " << step;
  }
  EXPECT_GT(backwards, 0);
  EXPECT_EQ(seen.size(), packets.size());  // swapped, not duplicated
  EXPECT_EQ(camsim.Stop(), 0);
}

// The clip loops with the RTP time stamp and sequence number going on as from a live encoder,
// and the loop point decodes cleanly (a file clip, written by an independent encoder).
TEST(CamsimTest, ClipLoopsWithoutADiscontinuity) {
  const std::string folder = ::testing::TempDir();
  const std::string clip = folder + "/camsim-clip-test.h264";
  ASSERT_EQ(RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=10", "-t", "0.5", "-c:v", "libx264", "-g", "5",
                        "-bf", "0", "-f", "h264", clip},
                       30s)
                .exit_code,
            0);
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--clip", clip, "--fps", "10"}));
  InterleavedRtspClient client;
  ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
  const auto packets = client.CollectRtp(1500ms);  // two passes of the 0.5 s clip at least
  std::set<uint32_t> pictures;
  for (size_t i = 0; i < packets.size(); ++i) {
    pictures.insert(TimestampOf(packets[i]));
    if (i == 0) continue;
    EXPECT_EQ(SequenceOf(packets[i]), static_cast<uint16_t>(SequenceOf(packets[i - 1]) + 1));
    EXPECT_LT(static_cast<int32_t>(TimestampOf(packets[i - 1]) - TimestampOf(packets[i])), 1) << i;
  }
  EXPECT_GE(pictures.size(), 10u);  // 10 fps for 1.5 s, less the start
  EXPECT_LE(pictures.size(), 17u);  // real time, not as fast as possible

  // Decoding errors go to stderr; the shell folds them into what is captured.
  const auto decoded = RunCommand({"sh", "-c",
                                   "ffmpeg -nostdin -v error -analyzeduration 500000 -rtsp_transport tcp -i '" +
                                       camsim.RtspUrl("/") + "' -frames:v 12 -f null - 2>&1"},
                                  30s);
  EXPECT_EQ(decoded.exit_code, 0);
  EXPECT_EQ(decoded.out, "");
  EXPECT_EQ(camsim.Stop(), 0);
  std::remove(clip.c_str());
}

// RFC 2435 section 3.1: the JPEG header's 24-bit fragment offset, after the type-specific octet.
uint32_t FragmentOffset(const std::string& payload) {
  return (static_cast<uint8_t>(payload[1]) << 16) | (static_cast<uint8_t>(payload[2]) << 8) |
         static_cast<uint8_t>(payload[3]);
}

TEST(CamsimTest, HostileCameraPadsDropsJpegFragmentsAndAnswersPlayTwice) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "mjpeg", "--width", "640", "--height", "480", "--quality",
                            "9", "--hostile", "rtp-padding,jpeg-drop-fragment,stray-200"}));
  InterleavedRtspClient client;
  ASSERT_TRUE(client.Play(camsim.rtsp_port(), camsim.RtspUrl("/")));
  const auto packets = client.CollectRtp(2000ms);
  ASSERT_GT(packets.size(), 100u);
  int holes = 0;
  uint32_t expected_offset = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const std::string& p = packets[i];
    ASSERT_GT(p.size(), 24u);
    ASSERT_EQ(static_cast<uint8_t>(p[0]) & 0x20, 0x20) << i;  // P bit
    const size_t padding = static_cast<uint8_t>(p.back());
    ASSERT_EQ(padding, 4u) << i;
    if (i > 0) {  // renumbered: no gap shows where a packet went
      ASSERT_EQ(SequenceOf(p), static_cast<uint16_t>(SequenceOf(packets[i - 1]) + 1)) << i;
    }
    const std::string payload = p.substr(12, p.size() - 12 - padding);
    const uint32_t offset = FragmentOffset(payload);
    // The first packet of a picture (offset 0) may carry quantization tables (RFC 2435
    // section 3.1.8: Q >= 128); later ones carry data after the 8-octet main header.
    if (offset != 0 && offset != expected_offset) ++holes;
    size_t header = 8;
    if (offset == 0 && static_cast<uint8_t>(payload[5]) >= 128) {
      header += 4 + ((static_cast<uint8_t>(payload[10]) << 8) | static_cast<uint8_t>(payload[11]));
    }
    expected_offset = offset + static_cast<uint32_t>(payload.size() - header);
  }
  EXPECT_GE(holes, 2);   // every 10th picture: about 5 in 2 s at 25 fps
  EXPECT_LE(holes, 10);
  // The second answer to PLAY arrived among the packets.
  EXPECT_THAT(client.other_text(), HasSubstr("RTSP/1.0 200 OK"));
  EXPECT_THAT(client.other_text(), HasSubstr("CSeq: 3"));
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, PicturesMove) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--codec", "mjpeg", "--width", "320", "--height", "240"}));
  const auto r = RunCommand({"ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i",
                             camsim.RtspUrl("/"), "-frames:v", "4", "-f", "framemd5", "-"},
                            20s);
  ASSERT_EQ(r.exit_code, 0);
  std::set<std::string> hashes;
  for (const auto& line : LinesWith(r.out, {","})) {
    if (line.starts_with("#")) continue;
    hashes.insert(line.substr(line.rfind(',') + 1));
  }
  EXPECT_EQ(hashes.size(), 4u);
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, SharedEncoderServesConcurrentClients) {
  CamsimProcess camsim;
  ASSERT_TRUE(camsim.Start({"--shared", "--width", "320", "--height", "240"}));
  constexpr int kClients = 6;
  std::vector<std::string> results(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      results[i] = Probe(camsim.RtspUrl(i % 2 ? "/" : "/main"), i % 3 ? "tcp" : "udp");
    });
  }
  for (auto& c : clients) c.join();
  for (const auto& r : results) EXPECT_EQ(r, "h264,320,240");
  EXPECT_EQ(camsim.Stop(), 0);
}

TEST(CamsimTest, BadCommandLineFailsAndHelpSucceeds) {
  EXPECT_EQ(RunCommand({CAMSIM_BINARY, "--codec", "vp8"}, 10s).exit_code, 2);
  const auto help = RunCommand({CAMSIM_BINARY, "--help"}, 10s);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("--log-requests"));
}

TEST(CamsimTest, BusyPortIsReported) {
  CamsimProcess first;
  ASSERT_TRUE(first.Start({}));
  const auto second = RunCommand({CAMSIM_BINARY, "--rtsp-port", "0", "--http-port",
                                  std::to_string(first.http_port())}, 20s);
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_THAT(second.out, Not(HasSubstr("ready")));
  EXPECT_EQ(first.Stop(), 0);
}

}  // namespace
}  // namespace camsim::testing
