// The driver behind the fault relay: network faults between it and the camera simulator that a
// loopback connection never shows by itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "camsim_child.h"
#include "driver_host.h"
#include "relay_child.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

long Counter(const std::string& counters, const char* name) {
  return std::atol(JsonValue(counters, name).c_str());
}

class FaultRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
    std::string error;
    ASSERT_TRUE(camsim_.Start({"--width", "352", "--height", "288"}, &error)) << error;
  }

  DriverSession::Options ThroughRelay(const RelayChild& relay) const {
    DriverSession::Options o;
    o.codec = ipcapture::kCodecH264;
    o.http_port = camsim_.HttpPort();
    o.rtsp_port = relay.Port();
    o.width = 352;
    o.height = 288;
    return o;
  }

  CamsimChild camsim_;
};

// RTP over UDP with 1 % of the packets twice: every picture the camera sent arrives once, and
// the recording decodes without an error. Disabled for now: the receive path takes a repeated
// sequence number for a loss and drops the pictures up to the next key frame (7 of 63 pictures
// arrived in 2.5 s here; through the relay without faults all 63).
TEST_F(FaultRelayTest, DISABLED_DuplicatedRtpPacketsLoseNothingAndAddNothing) {
  RelayChild relay;
  std::string error;
  ASSERT_TRUE(relay.Start(camsim_.RtspPort(), {"--dup", "1", "--seed", "7"}, &error)) << error;
  TransportConfig config("RTPoverUDP");
  DriverSession session(ThroughRelay(relay));
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 5; }, 9s));

  // The pictures the camera sent in a window (marker bits seen by the relay) against the
  // frames the driver handed over meanwhile.
  const auto frames_before = session.Stats(0).frames;
  const long sent_before = Counter(relay.Counters(), "rtp_markers");
  std::this_thread::sleep_for(2500ms);
  const auto frames_after = session.Stats(0).frames;
  const std::string counters = relay.Counters();
  const long sent = Counter(counters, "rtp_markers") - sent_before;
  const long received = static_cast<long>(frames_after - frames_before);
  EXPECT_GT(Counter(counters, "rtp_duplicated"), 0) << counters;
  EXPECT_GE(sent, 25) << counters;
  EXPECT_NEAR(received, sent, 3) << counters;  // the two counters are read a moment apart
  ASSERT_TRUE(session.Stop(0));
  EXPECT_EQ(session.Stats(0).signal_lost, 0u);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
  session.Close();
  const std::string decoded = RunCommand("/usr/bin/ffmpeg -nostdin -v error -f h264 -i '" +
                                         session.FramePath(0) + "' -f null -");
  EXPECT_EQ(decoded, "");
}

// The RTSP connection (RTP interleaved on it) is reset mid-stream: the channel reconnects and
// frames resume.
TEST_F(FaultRelayTest, CutRtspConnectionReconnectsAndFramesResume) {
  RelayChild relay;
  std::string error;
  ASSERT_TRUE(relay.Start(camsim_.RtspPort(), {"--cut-after-seconds", "2", "--cut-count", "1"},
                          &error))
      << error;
  TransportConfig config("RTPoverRTSP");
  DriverSession session(ThroughRelay(relay));
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 5; }, 2s));
  ASSERT_TRUE(WaitUntil([&] { return relay.Output().find("cut (time)") != std::string::npos; },
                        5s));
  const auto frames_at_cut = session.Stats(0).frames;
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= frames_at_cut + 25; }, 10s))
      << "frames at the cut " << frames_at_cut << ", now " << session.Stats(0).frames;
  EXPECT_EQ(session.State(0), 0);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
  EXPECT_GE(Counter(relay.Counters(), "connections"), 2);
}

}  // namespace
}  // namespace korvane::testing
