#include "channels/common_channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/scripted_http_server.h"
#include "core/testing/fake_driver.h"

namespace korvane {
namespace {

using ipcapture::kCodecH264;
using ipcapture::kCodecMjpeg;
using ipcapture::kCodecMpeg4;

ChannelSettings Make(std::uint32_t w, std::uint32_t h, std::uint32_t interval,
                     std::uint32_t quality) {
  ChannelSettings s;
  s.width = w;
  s.height = h;
  s.frameIntervalMs = interval;
  s.quality = quality;
  return s;
}

struct RequestCase {
  const char* name;
  std::int32_t codec;
  std::int32_t mode;
  ChannelSettings settings;
  const char* expected;
};

class EncoderRequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(EncoderRequestTest, PathIsExact) {
  const RequestCase& c = GetParam();
  EXPECT_EQ(BuildEncoderRequest(c.codec, c.mode, c.settings), c.expected);
}

constexpr char kU[] = "/cgi-bin/Param.cgi?action=update";

INSTANTIATE_TEST_SUITE_P(
    Requests, EncoderRequestTest,
    ::testing::Values(
        // 3 + (12 - 3) * 50 / 100 = 7; 1000 / 40 = 25; 1280x720 is index 6.
        RequestCase{"H264Mode4HdReady", kCodecH264, 4, Make(1280, 720, 40, 50),
                    "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=6"
                    "&video.framerate=25&video.bitrate=7"},
        RequestCase{"H264Mode0HasNoCodecPart", kCodecH264, 0, Make(1280, 720, 40, 50),
                    "/cgi-bin/Param.cgi?action=update&video.resolution=6&video.framerate=25"
                    "&video.bitrate=7"},
        // Mode 1 sends index 2 for anything wider than 720; 1920x1080: 4 + 13 * 100 / 100.
        RequestCase{"H264Mode1FullHdGivesIndex2", kCodecH264, 1, Make(1920, 1080, 33, 100),
                    "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=2"
                    "&video.framerate=30&video.bitrate=17"},
        RequestCase{"H264Mode4FullHdIndex7", kCodecH264, 4, Make(1920, 1080, 1000, 0),
                    "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=7"
                    "&video.framerate=1&video.bitrate=4"},
        // Unknown size: index 0, request still sent. 800x600: 3 + 9 * 30 / 100 = 5.
        RequestCase{"H264UnknownSizeIndex0", kCodecH264, 4, Make(800, 600, 0, 30),
                    "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=0"
                    "&video.framerate=1&video.bitrate=5"},
        RequestCase{"MjpegMode2Quality5GivesOne", kCodecMjpeg, 2, Make(352, 288, 40, 5),
                    "/cgi-bin/Param.cgi?action=update&video.codec=1&video.resolution=1"
                    "&video.framerate=25&video.quality=1"},
        RequestCase{"MjpegMode4Quality100GivesTen", kCodecMjpeg, 4, Make(720, 576, 40, 100),
                    "/cgi-bin/Param.cgi?action=update&video.codec=1&video.resolution=3"
                    "&video.framerate=25&video.quality=10"},
        // Mode 0: the second stream; widths above 719 give 3.
        RequestCase{"MjpegMode0DualStream", kCodecMjpeg, 0, Make(1280, 720, 100, 55),
                    "/cgi-bin/Param.cgi?action=update&video.resolution=3&video.framerate=10"
                    "&video.dualcodecflag=1&video.dualcodec=1&video.dualresolution=3"
                    "&video.dualquality=5"},
        RequestCase{"MjpegMode0SmallKeepsIndex", kCodecMjpeg, 0, Make(352, 240, 40, 0),
                    "/cgi-bin/Param.cgi?action=update&video.resolution=1&video.framerate=25"
                    "&video.dualcodecflag=1&video.dualcodec=1&video.dualresolution=1"
                    "&video.dualquality=1"},
        // MPEG-4: 3 above 719 wide whatever the size; 1920x1080 bitrate 4 + 13 * 50 / 100 = 10.
        RequestCase{"Mpeg4FullHdGivesIndex3", kCodecMpeg4, 4, Make(1920, 1080, 40, 50),
                    "/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=3"
                    "&video.framerate=25&video.bitrate=10"},
        // 1 + 7 * 99 / 100 = 7 (multiplication first, integer arithmetic).
        RequestCase{"Mpeg4CifBitrateRounding", kCodecMpeg4, 2, Make(352, 288, 33, 99),
                    "/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=1"
                    "&video.framerate=30&video.bitrate=7"},
        RequestCase{"UnknownCodecSendsNothing", 7, 4, Make(352, 288, 40, 50), ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EncoderRequestTest, EveryRequestStartsWithTheUpdateAction) {
  for (std::int32_t codec : {kCodecMjpeg, kCodecMpeg4, kCodecH264}) {
    for (std::int32_t mode : {0, 1, 2, 4}) {
      EXPECT_EQ(BuildEncoderRequest(codec, mode, Make(720, 576, 40, 50)).rfind(kU, 0), 0u)
          << codec << " " << mode;
    }
  }
}

TEST(BitrateRangeTest, FirstMatchingRowWins) {
  struct Row {
    std::uint32_t w, h, min, max;
  };
  for (const Row& r : {Row{352, 1000, 1, 8}, Row{353, 288, 1, 10}, Row{720, 576, 1, 10},
                       Row{1280, 720, 3, 12}, Row{1280, 721, 4, 15}, Row{1281, 720, 4, 17},
                       Row{1920, 1080, 4, 17}}) {
    EXPECT_EQ(BitrateRange(r.w, r.h), std::make_pair(r.min, r.max)) << r.w << "x" << r.h;
  }
}

struct LocationCase {
  std::int32_t codec;
  std::int32_t mode;
  std::uint16_t port;
  const char* path;
};

TEST(StreamLocationTest, PortsAndPathsPerCodecAndMode) {
  constexpr std::uint16_t kP = 7554;
  const LocationCase cases[] = {
      {kCodecH264, 0, kP, "main"},   {kCodecH264, 1, kP, ""},    {kCodecH264, 2, kP, ""},
      {kCodecH264, 4, kP, ""},       {kCodecMjpeg, 0, kP, "sub"}, {kCodecMjpeg, 1, 665, ""},
      {kCodecMjpeg, 2, 8554, "mjpeg"}, {kCodecMjpeg, 4, kP, ""}, {kCodecMpeg4, 0, kP, ""},
      {kCodecMpeg4, 1, kP, ""},      {kCodecMpeg4, 2, kP, "mpeg4"}, {kCodecMpeg4, 4, kP, ""},
      {kCodecMpeg4, -3, kP, ""},
  };
  for (const LocationCase& c : cases) {
    const StreamLocation where = StreamLocationFor(c.codec, c.mode, kP);
    EXPECT_EQ(where.port, c.port) << c.codec << " mode " << c.mode;
    EXPECT_EQ(where.path, c.path) << c.codec << " mode " << c.mode;
  }
}

// A codec channel whose encoder step can be driven directly.
class EncoderChannel : public CCommonChannel {
 public:
  using CCommonChannel::CCommonChannel;
  using CCommonChannel::ConfigureCamera;

 protected:
  void ProcessPacket(const CRTPPacket*) override {}
};

class NullSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  bool PutFrame(ipcapture::IMediaFrame*) override { return true; }
  void OnSignalLost() override {}
};

// The camera's answer to each encoder update decides whether the channel goes on, and a refusal
// is logged once per run of refusals.
TEST(EncoderAnswerTest, RefusalIsLoggedOncePerStreakAndStreamingGoesOn) {
  struct Step {
    int status;
    const char* body;
    bool goesOn;        // ConfigureCamera's result
    std::size_t lines;  // refusal lines logged so far
  } steps[] = {
      {200, "Success\r\n", true, 0},
      {200, "Error: video.resolution\r\n", true, 1},
      {200, "Error: video.resolution\r\n", true, 1},  // the same run: no second line
      {200, "", true, 1},                               // an empty reply is no success either
      {200, "OK\r\nSuccess\r\n", true, 1},            // a success ends the run
      {200, "Failed", true, 2},
      {404, "Not Found", false, 2},  // an error status stops the attempt, as before
  };
  testing::ScriptedHttpServer server([&steps](const testing::ScriptedRequest& request) {
    const Step& step = steps[std::min(request.index, std::size(steps) - 1)];
    return testing::ScriptedReply::Status(step.status, "S", {}, step.body);
  });
  testing::FakeDriver driver;
  driver.device = testing::LoopbackDevice(server.port());
  NullSink sink;
  EncoderChannel channel(0, &driver, &sink, kCodecH264);

  auto refusals = [&driver] {
    std::vector<testing::FakeDriver::Line> out;
    for (const auto& line : driver.Lines()) {
      if (line.text.find("did not accept the encoder settings") != std::string::npos) {
        out.push_back(line);
      }
    }
    return out;
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(::testing::Message() << "step " << i << ": " << steps[i].body);
    EXPECT_EQ(channel.ConfigureCamera(), steps[i].goesOn);
    EXPECT_EQ(refusals().size(), steps[i].lines);
  }
  EXPECT_EQ(server.Requests().size(), std::size(steps));
  const auto lines = refusals();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, kLogWarning);
  EXPECT_NE(lines[0].text.find("\"Error: video.resolution\""), std::string::npos) << lines[0].text;
  EXPECT_NE(lines[0].text.find("action=update&video.codec=3"), std::string::npos) << lines[0].text;
  // The error status is the attempt's reason, in the camera's words and without the login.
  EXPECT_EQ(channel.GetFailureText(),
            "encoder-update: 127.0.0.1:" + std::to_string(server.port()) +
                " answered \"/cgi-bin/Param.cgi\" with status 404 \"Not Found\"");
}

}  // namespace
}  // namespace korvane
