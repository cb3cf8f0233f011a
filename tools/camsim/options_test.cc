#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace camsim {
namespace {

std::optional<Options> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string ignored;
  return ParseOptions(args, error ? error : &ignored);
}

TEST(OptionsTest, NoArgumentsGivesCameraDefaults) {
  const auto o = Parse({});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->rtsp_port, 554);
  EXPECT_EQ(o->http_port, 80);
  EXPECT_EQ(o->auth, AuthMode::kNone);
  EXPECT_EQ(o->codec, Codec::kH264);
  EXPECT_EQ(o->address, "127.0.0.1");
  EXPECT_FALSE(o->mjpeg_ports);
  EXPECT_EQ(o->http_fault.kind, HttpFault::Kind::kNone);
}

TEST(OptionsTest, BothSpellingsOfAValueAreAccepted) {
  const auto o = Parse({"--rtsp-port", "0", "--http-port=8080", "--auth=digest", "--codec",
                        "mpeg4", "--user", "", "--password=a=b", "--session-timeout", "7"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->rtsp_port, 0);
  EXPECT_EQ(o->http_port, 8080);
  EXPECT_EQ(o->auth, AuthMode::kDigest);
  EXPECT_EQ(o->codec, Codec::kMpeg4);
  EXPECT_EQ(o->user, "");
  EXPECT_EQ(o->password, "a=b");  // only the first '=' separates name and value
  EXPECT_EQ(o->session_timeout, 7);
}

TEST(OptionsTest, FlagsAndFaultsAreRead) {
  const auto o = Parse({"--mjpeg-ports", "--shared", "--inband-params", "--ntsc",
                        "--http-fault", "slow:9", "--platform", "G_TYPE_V2"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->mjpeg_ports);
  EXPECT_TRUE(o->shared);
  EXPECT_TRUE(o->inband_params);
  EXPECT_TRUE(o->ntsc);
  EXPECT_EQ(o->http_fault.kind, HttpFault::Kind::kSlow);
  EXPECT_EQ(o->http_fault.value, 9);
  EXPECT_EQ(o->platform, "G_TYPE_V2");
}

TEST(OptionsTest, QuirksAndClipModeAreRead) {
  const auto o = Parse({"--no-sprop", "--mpeg4-no-inband-config", "--rtp-reorder", "5",
                        "--pre-encoded", "--clip-seconds=4", "--clip", "/tmp/a b.h264"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->no_sprop);
  EXPECT_TRUE(o->mpeg4_no_inband_config);
  EXPECT_EQ(o->rtp_reorder, 5);
  EXPECT_TRUE(o->pre_encoded);
  EXPECT_EQ(o->clip_seconds, 4);
  EXPECT_EQ(o->clip, "/tmp/a b.h264");
  const auto d = Parse({});
  EXPECT_FALSE(d->no_sprop || d->mpeg4_no_inband_config || d->pre_encoded);
  EXPECT_EQ(d->rtp_reorder, 0);
  EXPECT_EQ(d->clip, "");
}

TEST(OptionsTest, HostileModesAreNamedInAList) {
  const auto all = ParseHostile("stray-datagrams,rtp-padding,jpeg-drop-fragment,stray-200,"
                                "refuse-teardown,other-interleaved,refuse-udp,drop-udp,"
                                "renew-nonce,near-wrap");
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->stray_datagrams && all->rtp_padding && all->jpeg_drop_fragment &&
              all->stray_200 && all->refuse_teardown && all->other_interleaved &&
              all->refuse_udp && all->drop_udp && all->renew_nonce && all->near_wrap);
  const auto one = Parse({"--hostile", "rtp-padding"});
  ASSERT_TRUE(one);
  EXPECT_TRUE(one->hostile.rtp_padding);
  EXPECT_FALSE(one->hostile.stray_200 || one->hostile.jpeg_drop_fragment);
  for (const char* bad : {"", "rtp-padding,", ",stray-200", "padding", "stray-200,,rtp-padding"}) {
    EXPECT_FALSE(ParseHostile(bad)) << bad;
  }
}

TEST(OptionsTest, PtzHeadCanBeSwitchedOff) {
  EXPECT_TRUE(Parse({})->ptz);
  EXPECT_FALSE(Parse({"--ptz", "off"})->ptz);
  EXPECT_TRUE(Parse({"--ptz=on"})->ptz);
  EXPECT_FALSE(Parse({"--ptz", "no"}));
}

TEST(OptionsTest, BadCommandLinesAreRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--rtsp-port", "65536"}, {"--rtsp-port", "-1"},   {"--rtsp-port", "12x"},
      {"--auth", "ntlm"},       {"--codec", "h265"},      {"--fps", "0"},
      {"--fps", "61"},          {"--quality", "11"},      {"--unknown"},
      {"--shared=1"},           {"--user"},               {"--model", "x\r\nsysinfo.platform = X"},
      {"--http-fault", "slow"}, {"--log-requests", ""},     {"--rtp-reorder", "101"},
      {"--clip", ""},           {"--clip-seconds", "0"},  {"--no-sprop=1"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(OptionsTest, HttpFaultsRoundTrip) {
  const std::vector<std::pair<std::string, HttpFault::Kind>> good = {
      {"none", HttpFault::Kind::kNone},          {"wrong-password", HttpFault::Kind::kWrongPassword},
      {"status:404", HttpFault::Kind::kStatus},  {"status:302", HttpFault::Kind::kStatus},
      {"slow:8", HttpFault::Kind::kSlow},        {"close", HttpFault::Kind::kClose},
  };
  for (const auto& [text, kind] : good) {
    const auto fault = ParseHttpFault(text);
    ASSERT_TRUE(fault) << text;
    EXPECT_EQ(fault->kind, kind) << text;
    EXPECT_EQ(HttpFaultText(*fault), text);
  }
  for (const char* text : {"", "status:", "status:42", "status:600", "slow:0", "slow:x",
                           "close:1", "none:0", "wrong", "STATUS:404"}) {
    EXPECT_FALSE(ParseHttpFault(text)) << text;
  }
}

TEST(OptionsTest, HelpDocumentsEveryOption) {
  const std::string usage = UsageText();
  for (const char* name :
       {"--address", "--rtsp-port", "--http-port", "--mjpeg-ports", "--port-8554", "--port-665",
        "--auth", "--user", "--password", "--codec", "--width", "--height", "--fps", "--bitrate",
        "--quality", "--max-width", "--inband-params", "--shared", "--session-timeout",
        "--platform", "--ctype", "--model", "--mac", "--ntsc", "--log-requests", "--http-fault",
        "--no-sprop", "--mpeg4-no-inband-config", "--rtp-reorder", "--pre-encoded", "--clip",
        "--clip-seconds", "--hostile", "--help"}) {
    EXPECT_NE(usage.find(name), std::string::npos) << name;
    // and the parser knows it: a flag parses alone, a value option wants a value
    std::string error;
    if (!ParseOptions({name}, &error)) {
      EXPECT_NE(error.find("needs a value"), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace camsim
