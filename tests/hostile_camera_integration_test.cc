// The driver, loaded as a host loads it, against a camera simulator that misbehaves on purpose:
// noise on the RTP port, padded packets, JPEG pictures with a hole that the sequence numbers
// hide, repeated RTSP answers in the interleaved stream, a refused TEARDOWN, and parameter sets
// that only one of SDP and stream carries. Each case but the noise alone records a stream that
// ffmpeg decodes without an error.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "camsim_child.h"
#include "driver_host.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

// Sanitizer builds keep freed memory in quarantine or shadow it: the process size says nothing
// there about what the driver holds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMeasureRss = false;
#else
constexpr bool kMeasureRss = true;
#endif
// Growth of the test process while one hostile camera streams for a few seconds. Frames are
// recycled by the host objects, so a steady stream costs nothing; an unbounded buffer fed by
// the camera would show here.
constexpr long kMaxRssGrowthKb = 32 * 1024;

long RssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

bool RtspRequestSeen(const CamsimChild& camsim, const std::string& method) {
  for (const std::string& line : camsim.RtspRequests()) {
    if (JsonValue(line, "method") == method) return true;
  }
  return false;
}

// The status codes the camera gave to `method`, oldest first.
std::vector<std::string> RtspStatuses(const CamsimChild& camsim, const std::string& method) {
  std::vector<std::string> statuses;
  for (const std::string& line : camsim.RtspRequests()) {
    if (JsonValue(line, "method") == method) statuses.push_back(JsonValue(line, "status"));
  }
  return statuses;
}

struct HostileCase {
  const char* name;
  std::vector<std::string> camsim_args;
  std::int32_t codec;
  const char* transport;  // RTPMode text
  const char* format;     // ffmpeg demuxer of the recording
  // The camera listens on 127.0.0.2 while its RTP leaves from 127.0.0.1 (the source address
  // the loopback route gives its media socket), so over UDP only its noise comes from the
  // camera's address: noise alone must neither make a frame nor bring the channel online.
  bool noise_only = false;
  // The camera refuses TEARDOWN and goes on streaming.
  bool teardown_refused = false;
  // A line the driver must log exactly once (a transport fallback), and the signal losses the
  // case costs (UDP that never arrives is waited for as long as any lost signal).
  const char* logged_once = nullptr;
  std::uint64_t signal_lost = 0;
  // Frames to record; a case about the session's later life records for longer.
  std::uint64_t frame_floor = 30;
  // The driver logs in with the camera's default credentials.
  bool credentials = false;
};

void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

class HostileCameraTest : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
  }
};

// How long the first frames may take under a sanitizer on a busy machine: the first-frame wait
// of an attempt whose UDP never arrives (15 s), and the next attempt's.
constexpr auto kFramesWithin = 40s;

TEST_P(HostileCameraTest, RecordsDecodableVideo) {
  const HostileCase& c = GetParam();
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start(c.camsim_args, &error)) << error;
  TransportConfig config(c.transport);
  DriverSession::Options o;
  o.codec = c.codec;
  o.http_port = camsim.HttpPort();
  o.rtsp_port = camsim.RtspPort();
  o.width = 352;
  o.height = 288;
  if (c.noise_only) o.address = "127.0.0.2";
  if (c.credentials) o.user = o.password = "admin";
  DriverSession session(o);
  ASSERT_TRUE(session.Opened());
  ASSERT_TRUE(session.Start(0));

  if (c.noise_only) {
    ASSERT_TRUE(WaitUntil([&] { return RtspRequestSeen(camsim, "PLAY"); }, 15s))
        << camsim.ReadLog();
    // Ten datagrams a second, half of them shaped like RTP, meanwhile.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(session.Stats(0).frames, 0u);
    EXPECT_EQ(session.Stats(0).key_frames, 0u);
    EXPECT_EQ(session.LinesContaining(" is online"), 0);
    const auto stop_begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(session.Stop(0));
    EXPECT_LT(std::chrono::steady_clock::now() - stop_begin, 5s);
    return;
  }

  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 1; }, kFramesWithin));
  if (c.credentials) {
    // Refused at the first keep-alive (2 s after PLAY); the next is 4 s later, the answer to
    // the new challenge comes at once.
    const auto answered = [&] {
      const auto options = RtspStatuses(camsim, "OPTIONS");
      const auto refused = std::find(options.begin(), options.end(), "401");
      return refused != options.end() && std::find(refused, options.end(), "200") != options.end();
    };
    ASSERT_TRUE(WaitUntil([&] { return !RtspStatuses(camsim, "OPTIONS").empty(); }, 10s));
    const auto refused_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil(answered, 10s)) << camsim.ReadLog();
    EXPECT_LT(std::chrono::steady_clock::now() - refused_at, 1s);
  }
  const long rss_streaming = RssKb();
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= c.frame_floor; }, kFramesWithin))
      << "frames: " << session.Stats(0).frames;
  EXPECT_EQ(session.State(0), 0);
  const long rss_after = RssKb();
  if (kMeasureRss) {
    EXPECT_LT(rss_after - rss_streaming, kMaxRssGrowthKb);
  }

  // A camera that refuses TEARDOWN answers at once; the stop does not wait for the stream.
  const auto stop_begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(session.Stop(0));
  const auto stop_took = std::chrono::steady_clock::now() - stop_begin;
  EXPECT_LT(stop_took, 5s)
      << std::chrono::duration_cast<std::chrono::milliseconds>(stop_took).count() << " ms";
  const auto stats = session.Stats(0);
  if (c.teardown_refused) {
    EXPECT_THAT(RtspStatuses(camsim, "TEARDOWN"), ::testing::ElementsAre("455"));
    // The camera streams on into the closed ports; none of it becomes a frame.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(session.Stats(0).frames, stats.frames);
  }
  EXPECT_GT(stats.key_frames, 0u);
  EXPECT_EQ(stats.time_not_increasing, 0u);
  EXPECT_EQ(stats.signal_lost, c.signal_lost);
  if (c.logged_once) {
    EXPECT_EQ(session.LinesContaining(c.logged_once), 1);
  }
  EXPECT_EQ(session.LinesContaining(" is online"), 1);
  session.Close();
  EXPECT_EQ(session.FramesOutstanding(), 0u);

  const std::string decoded = RunCommand(std::string("/usr/bin/ffmpeg -nostdin -v error -f ") +
                                         c.format + " -i '" + session.FramePath(0) +
                                         "' -f null -");
  EXPECT_EQ(decoded, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, HostileCameraTest,
    ::testing::Values(
        HostileCase{"StrayDatagramsAmongTheStream", {"--hostile", "stray-datagrams"},
                    ipcapture::kCodecH264, "RTPoverUDP", "h264"},
        HostileCase{"StrayDatagramsAloneBringNothingOnline",
                    {"--hostile", "stray-datagrams", "--address", "127.0.0.2"},
                    ipcapture::kCodecH264,
                    "RTPoverUDP",
                    "h264",
                    /*noise_only=*/true},
        HostileCase{"PaddedRtpPackets", {"--hostile", "rtp-padding"}, ipcapture::kCodecH264,
                    "RTPoverUDP", "h264"},
        HostileCase{"JpegFragmentDroppedWithoutASequenceGap",
                    {"--hostile", "jpeg-drop-fragment"},
                    ipcapture::kCodecMjpeg,
                    "RTPoverRTSP",
                    "mjpeg"},
        HostileCase{"PlayAnsweredTwiceAmongInterleavedPackets",
                    {"--hostile", "stray-200"},
                    ipcapture::kCodecH264,
                    "RTPoverRTSP",
                    "h264"},
        HostileCase{"TeardownRefused",
                    {"--hostile", "refuse-teardown"},
                    ipcapture::kCodecH264,
                    "RTPoverUDP",
                    "h264",
                    /*noise_only=*/false,
                    /*teardown_refused=*/true},
        // One picture stamped exactly 0; the sequence wraps within the first second.
        HostileCase{"NumberingStartsJustBeforeTheWrap", {"--hostile", "near-wrap"},
                    ipcapture::kCodecH264, "RTPoverUDP", "h264"},
        HostileCase{"CameraChoosesInterleavedChannels", {"--hostile", "other-interleaved"},
                    ipcapture::kCodecH264, "RTPoverRTSP", "h264"},
        HostileCase{"UdpRefusedWith461", {"--hostile", "refuse-udp"}, ipcapture::kCodecH264,
                    "RTPoverUDP", "h264", false, false, "RTP over RTSP from now on"},
        HostileCase{"UdpMediaDroppedOnTheWay", {"--hostile", "drop-udp"}, ipcapture::kCodecH264,
                    "RTPoverUDP", "h264", false, false, "RTP over RTSP from now on",
                    /*signal_lost=*/1},
        // The first keep-alive is refused with a new challenge: answered again at once.
        HostileCase{"NonceRenewedInsideTheSession",
                    {"--auth", "digest", "--session-timeout", "6", "--hostile", "renew-nonce"},
                    ipcapture::kCodecH264, "RTPoverUDP", "h264", false, false, nullptr, 0,
                    /*frame_floor=*/100, /*credentials=*/true},
        HostileCase{"H264ParameterSetsOnlyInBand", {"--no-sprop"}, ipcapture::kCodecH264,
                    "RTPoverRTSP", "h264"},
        HostileCase{"Mpeg4ConfigOnlyInTheSdp",
                    {"--mpeg4-no-inband-config"},
                    ipcapture::kCodecMpeg4,
                    "RTPoverRTSP",
                    "m4v"}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

}  // namespace
}  // namespace korvane::testing
