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

// The channel reconnects 7.5 s after its session failed, sets the session up again and waits for
// the next key frame (one every 2 s): about 10 s in all on a busy machine, and a sanitizer build
// needs longer for the same steps.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::chrono::seconds kResumeBound{30};
#else
constexpr std::chrono::seconds kResumeBound{15};
#endif

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

// The pictures the camera sent through the relay in a window of 2.5 s (the marker bits the
// relay saw) against the frames the driver handed over meanwhile: what a clean run delivers,
// measured on the same run.
struct Window {
  long sent = 0;
  long received = 0;
  std::string counters;  // the relay's, at the end of the window
};

Window CountWindow(RelayChild& relay, DriverSession& session) {
  const auto frames_before = session.Stats(0).frames;
  const long sent_before = Counter(relay.Counters(), "rtp_markers");
  std::this_thread::sleep_for(2500ms);
  Window w;
  w.received = static_cast<long>(session.Stats(0).frames - frames_before);
  w.counters = relay.Counters();
  w.sent = Counter(w.counters, "rtp_markers") - sent_before;
  return w;
}

// Stops the session, checks the frame times and that the recording decodes without an error.
void ExpectCleanRecording(DriverSession& session) {
  ASSERT_TRUE(session.Stop(0));
  EXPECT_EQ(session.Stats(0).signal_lost, 0u);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
  session.Close();
  const std::string decoded = RunCommand("/usr/bin/ffmpeg -nostdin -v error -f h264 -i '" +
                                         session.FramePath(0) + "' -f null -");
  EXPECT_EQ(decoded, "");
}

// RTP over UDP with 1 % of the packets twice: every picture the camera sent arrives once, and
// the recording decodes without an error.
TEST_F(FaultRelayTest, DuplicatedRtpPacketsLoseNothingAndAddNothing) {
  RelayChild relay;
  std::string error;
  ASSERT_TRUE(relay.Start(camsim_.RtspPort(), {"--dup", "1", "--seed", "7"}, &error)) << error;
  TransportConfig config("RTPoverUDP");
  DriverSession session(ThroughRelay(relay));
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 5; }, 15s));
  const Window w = CountWindow(relay, session);
  EXPECT_GT(Counter(w.counters, "rtp_duplicated"), 0) << w.counters;
  EXPECT_GE(w.sent, 25) << w.counters;
  EXPECT_NEAR(w.received, w.sent, 3) << w.counters;  // the two counters are read a moment apart
  ExpectCleanRecording(session);
}

// RTP over UDP with 5 % of the packets swapped with the next one, across picture boundaries
// too: the reorder window puts them back, so nearly every picture arrives (a swap the window
// cannot mend costs a picture, never a broken one), in time order.
TEST_F(FaultRelayTest, SwappedRtpPacketsArePutBackInOrder) {
  RelayChild relay;
  std::string error;
  ASSERT_TRUE(relay.Start(camsim_.RtspPort(), {"--reorder", "5", "--seed", "11"}, &error))
      << error;
  TransportConfig config("RTPoverUDP");
  DriverSession session(ThroughRelay(relay));
  ASSERT_TRUE(session.Start(0));
  ASSERT_TRUE(WaitUntil([&] { return session.Stats(0).frames >= 5; }, 15s));
  const Window w = CountWindow(relay, session);
  EXPECT_GT(Counter(w.counters, "rtp_swapped"), 0) << w.counters;
  EXPECT_GE(w.sent, 25) << w.counters;
  EXPECT_GE(w.received * 10, w.sent * 9) << w.counters << " received " << w.received;
  ExpectCleanRecording(session);
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
  // The relay cuts 2 s after the connection opened, whether frames came by then or not (a
  // sanitizer build may still be starting): what counts is that they come after it.
  ASSERT_TRUE(WaitUntil([&] { return relay.Output().find("cut (time)") != std::string::npos; },
                        10s));
  const auto frames_at_cut = session.Stats(0).frames;
  ASSERT_TRUE(
      WaitUntil([&] { return session.Stats(0).frames >= frames_at_cut + 25; }, kResumeBound))
      << "frames at the cut " << frames_at_cut << ", now " << session.Stats(0).frames;
  EXPECT_EQ(session.State(0), 0);
  EXPECT_EQ(session.Stats(0).time_not_increasing, 0u);
  EXPECT_GE(Counter(relay.Counters(), "connections"), 2);
}

}  // namespace
}  // namespace korvane::testing
