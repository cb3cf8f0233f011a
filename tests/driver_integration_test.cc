// The driver as a host sees it, against the camera simulator: every codec over every transport,
// the encoder requests, signal loss and recovery, a restarted camera, a bounded stop, and a
// four-channel video server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "camsim_child.h"
#include "driver_host.h"

namespace korvane::testing {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The requests of one protocol from the simulator's log.
std::vector<std::string> LoggedRequests(std::uint16_t http_port, const std::string& proto,
                                        const char* address = "127.0.0.1") {
  std::vector<std::string> lines;
  std::istringstream in(InspectionGet(http_port, "/camsim/requests", address));
  for (std::string line; std::getline(in, line);) {
    if (JsonValue(line, "proto") == proto) lines.push_back(line);
  }
  return lines;
}

struct Probe {
  std::string codec;
  int width = 0;
  int height = 0;
  int frames = -1;
  std::string decode_errors;
};

Probe ProbeFile(const std::string& path, const char* format) {
  Probe p;
  const std::string out =
      RunCommand(std::string("/usr/bin/ffprobe -v error -f ") + format +
                 " -count_frames -select_streams v:0 -show_entries "
                 "stream=codec_name,width,height,nb_read_frames -of default=noprint_wrappers=1 '" +
                 path + "'");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "codec_name") p.codec = value;
    if (key == "width") p.width = std::atoi(value.c_str());
    if (key == "height") p.height = std::atoi(value.c_str());
    if (key == "nb_read_frames") p.frames = std::atoi(value.c_str());
  }
  p.decode_errors = RunCommand(std::string("/usr/bin/ffmpeg -nostdin -v error -f ") + format +
                               " -i '" + path + "' -f null -");
  return p;
}

class DriverIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
  }
};

struct MatrixCase {
  const char* name;
  std::int32_t codec;
  const char* transport;  // RTPMode text
  const char* auth;
  std::int32_t stream_mode;  // -1: not set (4)
  std::uint16_t width, height;
  std::uint16_t interval_ms, quality;
  const char* encoder_request;  // exact path + query the camera must receive
  const char* rtsp_path;        // stream path in the DESCRIBE URL
  bool fixed_mjpeg_port;        // the stream comes from the fixed MJPEG port
  std::uint32_t fourcc_key, fourcc_other;
  const char* ffprobe_format;
  const char* ffprobe_codec;
};

class CodecTransportTest : public DriverIntegrationTest,
                           public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(CodecTransportTest, RecordsDecodableVideoAsConfigured) {
  const MatrixCase& c = GetParam();
  CamsimChild camsim;
  std::string error;
  std::vector<std::string> args = {"--auth", c.auth, "--user", "op", "--password", "s3cret"};
  if (c.fixed_mjpeg_port) args.push_back("--mjpeg-ports");
  ASSERT_TRUE(camsim.Start(args, &error)) << error;
  TransportConfig config(c.transport);

  DriverSession::Options o;
  o.codec = c.codec;
  o.http_port = camsim.HttpPort();
  o.rtsp_port = camsim.RtspPort();
  o.stream_mode = c.stream_mode;
  o.user = "op";
  o.password = "s3cret";
  o.width = c.width;
  o.height = c.height;
  o.interval_ms = c.interval_ms;
  o.quality = c.quality;
  DriverSession session(o);
  ASSERT_TRUE(session.Opened());
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 40; }, 40s))
      << "frames: " << session.Stats(0).frames;
  EXPECT_EQ(session.State(0), 0);
  ASSERT_TRUE(session.Stop(0));
  const auto stats = session.Stats(0);
  EXPECT_EQ(session.LinesContaining(" is online"), 1);
  EXPECT_EQ(stats.time_not_increasing, 0u);
  EXPECT_EQ(stats.width, c.width);
  EXPECT_EQ(stats.height, c.height);
  EXPECT_GT(stats.key_frames, 0u);
  EXPECT_TRUE(stats.fourcc == c.fourcc_key || stats.fourcc == c.fourcc_other);
  session.Close();
  EXPECT_EQ(session.FramesOutstanding(), 0u);

  // The camera was set up with exactly the request of the codec and stream mode.
  const auto http = LoggedRequests(camsim.HttpPort(), "http");
  ASSERT_FALSE(http.empty());
  bool found = false;
  for (const auto& line : http) {
    const std::string target = JsonValue(line, "path") + "?" + JsonValue(line, "query");
    if (JsonValue(line, "status") == "200") found = found || target == c.encoder_request;
  }
  EXPECT_TRUE(found) << "first request: " << http.front();

  // The stream came from the codec's port and path.
  const auto rtsp = LoggedRequests(camsim.HttpPort(), "rtsp");
  ASSERT_FALSE(rtsp.empty());
  std::string describe;
  for (const auto& line : rtsp) {
    if (JsonValue(line, "method") == "DESCRIBE") describe = line;
  }
  ASSERT_FALSE(describe.empty());
  const std::string url = JsonValue(describe, "url");
  if (!c.fixed_mjpeg_port) {
    EXPECT_EQ(url, "rtsp://127.0.0.1:" + std::to_string(camsim.RtspPort()) + "/" + c.rtsp_path);
  } else {
    EXPECT_THAT(url, HasSubstr(c.rtsp_path));
  }

  const Probe probe = ProbeFile(session.FramePath(0), c.ffprobe_format);
  EXPECT_EQ(probe.codec, c.ffprobe_codec);
  EXPECT_EQ(probe.width, c.width);
  EXPECT_EQ(probe.height, c.height);
  EXPECT_EQ(probe.frames, static_cast<int>(stats.frames));
  EXPECT_EQ(probe.decode_errors, "");
}

constexpr std::uint32_t kH264 = ipcapture::kFourCCH264;
constexpr std::uint32_t kI264 = ipcapture::kFourCCI264;
constexpr std::uint32_t kJpeg = ipcapture::kFourCCJpeg;
constexpr std::uint32_t kDivx = ipcapture::kFourCCDivx;
constexpr std::uint32_t kDivi = ipcapture::kFourCCDivi;

INSTANTIATE_TEST_SUITE_P(
    Matrix, CodecTransportTest,
    ::testing::Values(
        MatrixCase{"H264UdpDigestMode4", ipcapture::kCodecH264, "RTPoverUDP", "digest", -1, 1280,
                   720, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=6"
                   "&video.framerate=25&video.bitrate=7",
                   "", false, kH264, kI264, "h264", "h264"},
        MatrixCase{"H264TcpBasicMode0", ipcapture::kCodecH264, "RTPoverTCP", "basic", 0, 640, 480,
                   40, 20,
                   "/cgi-bin/Param.cgi?action=update&video.resolution=2&video.framerate=25"
                   "&video.bitrate=2",
                   "main", false, kH264, kI264, "h264", "h264"},
        MatrixCase{"H264InterleavedNoAuthMode1", ipcapture::kCodecH264, "RTPoverRTSP", "none", 1,
                   352, 288, 50, 100,
                   "/cgi-bin/Param.cgi?action=update&video.codec=3&video.resolution=1"
                   "&video.framerate=20&video.bitrate=8",
                   "", false, kH264, kI264, "h264", "h264"},
        MatrixCase{"MjpegUdpBasicMode4", ipcapture::kCodecMjpeg, "RTPoverUDP", "basic", 4, 640,
                   480, 40, 70,
                   "/cgi-bin/Param.cgi?action=update&video.codec=1&video.resolution=2"
                   "&video.framerate=25&video.quality=7",
                   "", false, kJpeg, kJpeg, "mjpeg", "mjpeg"},
        MatrixCase{"MjpegInterleavedDigestMode0", ipcapture::kCodecMjpeg, "RTPoverRTSP", "digest",
                   0, 640, 480, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.resolution=2&video.framerate=25"
                   "&video.dualcodecflag=1&video.dualcodec=1&video.dualresolution=2"
                   "&video.dualquality=5",
                   "sub", false, kJpeg, kJpeg, "mjpeg", "mjpeg"},
        MatrixCase{"MjpegTcpNoAuthMode2", ipcapture::kCodecMjpeg, "RTPoverTCP", "none", 2, 352,
                   288, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.codec=1&video.resolution=1"
                   "&video.framerate=25&video.quality=5",
                   ":8554/mjpeg", true, kJpeg, kJpeg, "mjpeg", "mjpeg"},
        MatrixCase{"Mpeg4UdpDigestMode2", ipcapture::kCodecMpeg4, "RTPoverUDP", "digest", 2, 640,
                   480, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=2"
                   "&video.framerate=25&video.bitrate=5",
                   "mpeg4", false, kDivx, kDivi, "m4v", "mpeg4"},
        MatrixCase{"Mpeg4TcpBasicMode1", ipcapture::kCodecMpeg4, "RTPoverTCP", "basic", 1, 352,
                   288, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=1"
                   "&video.framerate=25&video.bitrate=4",
                   "", false, kDivx, kDivi, "m4v", "mpeg4"},
        MatrixCase{"Mpeg4InterleavedNoAuthMode4", ipcapture::kCodecMpeg4, "RTPoverRTSP", "none",
                   4, 640, 480, 40, 50,
                   "/cgi-bin/Param.cgi?action=update&video.codec=2&video.resolution=2"
                   "&video.framerate=25&video.bitrate=5",
                   "", false, kDivx, kDivi, "m4v", "mpeg4"}),
    [](const auto& info) { return std::string(info.param.name); });

DriverSession::Options H264Options(const CamsimChild& camsim) {
  DriverSession::Options o;
  o.codec = ipcapture::kCodecH264;
  o.http_port = camsim.HttpPort();
  o.rtsp_port = camsim.RtspPort();
  o.user = "op";
  o.password = "s3cret";
  return o;
}

TEST_F(DriverIntegrationTest, SignalLostAfterFifteenSecondsAndRecovers) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({"--auth", "digest", "--user", "op", "--password", "s3cret"}, &error))
      << error;
  TransportConfig config("RTPoverUDP");
  DriverSession session(H264Options(camsim));
  ASSERT_TRUE(session.Opened());
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.State(0) == 0; }, 30s));

  ASSERT_THAT(InspectionGet(camsim.HttpPort(), "/camsim/control?media=pause"),
              HasSubstr("\"media_paused\":true"));
  const auto paused = std::chrono::steady_clock::now();
  auto since = [&] { return std::chrono::steady_clock::now() - paused; };

  // State 2 from about half the data time-out, without a loss report yet.
  ASSERT_TRUE(WaitUntil([&] { return session.State(0) == 2; }, 20s));
  EXPECT_GT(since(), 6s);
  EXPECT_LT(since(), 11s);
  EXPECT_EQ(session.Stats(0).signal_lost, 0u);
  EXPECT_EQ(session.LinesContaining("Signal was lost"), 0);

  // From the full data time-out: OnSignalLost, again after each failed attempt, and one line.
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).signal_lost > 0; }, 20s));
  EXPECT_GT(since(), 14s);
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).signal_lost >= 2; }, 30s));
  EXPECT_EQ(session.LinesContaining("Signal was lost"), 1);

  // Video again: the next connection attempt brings the channel back online.
  const auto frames_before = session.Stats(0).frames;
  ASSERT_THAT(InspectionGet(camsim.HttpPort(), "/camsim/control?media=resume"),
              HasSubstr("\"media_paused\":false"));
  ASSERT_TRUE(WaitUntil([&] { return session.State(0) == 0; }, 30s));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames > frames_before + 10; }, 20s));
  EXPECT_EQ(session.LinesContaining(" is online"), 2);
  EXPECT_EQ(session.LinesContaining("Signal was lost"), 1);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
}

TEST_F(DriverIntegrationTest, ReconnectsAfterTheCameraRestarts) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({}, &error)) << error;
  const std::uint16_t rtsp_port = camsim.RtspPort();
  const std::uint16_t http_port = camsim.HttpPort();
  TransportConfig config("RTPoverRTSP");
  DriverSession::Options o = H264Options(camsim);
  DriverSession session(o);
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 10; }, 30s));

  camsim.Stop();
  const auto frames_at_stop = session.Stats(0).frames;
  std::this_thread::sleep_for(2s);
  CamsimChild again;
  ASSERT_TRUE(again.Start({"--rtsp-port", std::to_string(rtsp_port), "--http-port",
                           std::to_string(http_port)},
                          &error))
      << error;
  ASSERT_EQ(again.RtspPort(), rtsp_port);
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames > frames_at_stop + 20; }, 45s))
      << "frames: " << session.Stats(0).frames;
  EXPECT_EQ(session.State(0), 0);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
}

// The camera listens on 127.0.0.2, but its RTP leaves from 127.0.0.1 (the source address the
// loopback route gives its UDP socket): over UDP the driver drops every packet as not the
// camera's, so the channel sets up a session and then waits for a first frame that never comes.
TEST_F(DriverIntegrationTest, StopWhileWaitingForTheFirstFrameIsQuickAndLeavesNoThread) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({"--address", "127.0.0.2"}, &error)) << error;
  TransportConfig config("RTPoverUDP");
  const int threads_before = CountThreads();
  {
    DriverSession::Options o = H264Options(camsim);
    o.address = "127.0.0.2";
    DriverSession session(o);
    ASSERT_TRUE(session.Start(0));
    // The attempt is set up (port probe, encoder request, RTSP PLAY) and now waits for a frame.
    ASSERT_TRUE(WaitUntil(
        [&] {
          for (const auto& line : LoggedRequests(camsim.HttpPort(), "rtsp", "127.0.0.2")) {
            if (JsonValue(line, "method") == "PLAY") return true;
          }
          return false;
        },
        20s));
    std::this_thread::sleep_for(500ms);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(session.Stop(0));
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    EXPECT_EQ(session.State(0), -1);  // the slot is idle again: no channel to ask
    EXPECT_EQ(session.Stats(0).frames, 0u);
    EXPECT_EQ(session.LinesContaining("is offline"), 0);  // it never went online
  }
  EXPECT_EQ(CountThreads(), threads_before);
}

TEST_F(DriverIntegrationTest, FourChannelVideoServerReceivesOnEveryChannel) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({"--auth", "basic", "--user", "op", "--password", "s3cret"}, &error))
      << error;
  TransportConfig config("RTPoverUDP");
  DriverSession::Options o = H264Options(camsim);
  o.channels = 4;
  o.width = 352;
  o.height = 288;
  DriverSession session(o);
  ASSERT_TRUE(session.Opened());
  for (std::uint32_t c = 0; c < 4; ++c) ASSERT_TRUE(session.Start(c)) << c;
  for (std::uint32_t c = 0; c < 4; ++c) {
    ASSERT_TRUE(WaitUntil([&] { return session.Stats(c).frames >= 20; }, 60s))
        << "channel " << c << " frames " << session.Stats(c).frames;
  }
  EXPECT_EQ(session.LinesContaining("Video-server 127.0.0.1 (channel"), 4);
  session.Close();
  for (std::uint32_t c = 0; c < 4; ++c) {
    const Probe probe = ProbeFile(session.FramePath(c), "h264");
    EXPECT_EQ(probe.codec, "h264") << c;
    EXPECT_EQ(probe.decode_errors, "") << c;
  }
}

}  // namespace
}  // namespace korvane::testing
