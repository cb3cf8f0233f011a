#include "channels/base_rtp_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/testing/virtual_clock.h"
#include "rtp/testing/udp_test_peer.h"
#include "core/testing/fake_driver.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using testing::CVirtualClock;

// What the capture loop did, at which virtual millisecond.
struct Step {
  std::string what;
  std::uint64_t at_ms;
  std::uint32_t port = 0;
  bool operator==(const Step&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Step& s) {
  return out << s.what << "@" << s.at_ms << (s.port ? ":" + std::to_string(s.port) : "");
}

class CountingSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  explicit CountingSink(CVirtualClock& clock) : clock_(clock) {}
  bool PutFrame(ipcapture::IMediaFrame*) override {
    ++frames;
    return true;
  }
  void OnSignalLost() override {
    std::lock_guard<std::mutex> guard(mutex_);
    losses_.push_back(clock_.NowMs());
  }
  std::vector<std::uint64_t> Losses() {
    std::lock_guard<std::mutex> guard(mutex_);
    return losses_;
  }

 private:
  CVirtualClock& clock_;
  std::mutex mutex_;
  std::vector<std::uint64_t> losses_;

 public:
  std::atomic<int> frames{0};
};

// An RTP channel whose camera, transport and session are scripted; it records every step.
class ScriptedChannel : public CBaseRTPChannel {
 public:
  ScriptedChannel(IDriver* driver, ipcapture::IFrameSink* sink, CVirtualClock& clock)
      : CBaseRTPChannel(0, driver, sink, clock), clock_(clock) {}
  ~ScriptedChannel() override { Stop(); }

  std::set<std::uint32_t> busy_ports;   // taken by another program
  std::set<std::uint32_t> noisy_ports;  // a stream arrives before we announce the port
  std::atomic<bool> camera_accepts{true};
  // The receiver still hands over a packet and a frame while the transport is being closed.
  std::atomic<bool> deliver_while_closing{false};
  std::atomic<int> packets{0};

  std::vector<Step> Steps(const std::string& what = {}) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Step> out;
    for (const Step& s : steps_) {
      if (what.empty() || s.what == what) out.push_back(s);
    }
    return out;
  }
  void DeliverFrame() { OnFrame(nullptr); }

 protected:
  bool ConfigureCamera() override {
    Record("configure");
    return camera_accepts;
  }
  void ProcessPacket(const CRTPPacket*) override { ++packets; }
  void OnCodecConfig(const DecoderConfig*) override {}
  bool OpenRtpPort(std::uint16_t port) override {
    if (busy_ports.count(port) != 0) return false;
    Record("rtp", port);
    if (noisy_ports.count(port) != 0) OnPacket(CRTPPacket());
    return true;
  }
  bool OpenRtcpPort(std::uint16_t port) override {
    Record("rtcp", port);
    return true;
  }
  void CloseTransport() override {
    Record("close");
    if (deliver_while_closing) {
      OnPacket(CRTPPacket());
      DeliverFrame();
    }
  }
  void OnKeepAlive() override { Record("keep-alive"); }

 private:
  void Record(const char* what, std::uint32_t port = 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    steps_.push_back(Step{what, clock_.NowMs(), port});
  }

  CVirtualClock& clock_;
  std::mutex mutex_;
  std::vector<Step> steps_;
};

class CaptureLoopTest : public ::testing::Test {
 protected:
  CaptureLoopTest() { driver_.device.address = "127.0.0.1"; }

  void Start() {
    ChannelSettings settings{40, 50, 640, 480};
    ASSERT_TRUE(channel_.Start(&settings));
  }
  void RunUntil(std::uint64_t ms) { ASSERT_TRUE(clock_.RunUntilMs(ms)) << "at " << ms; }
  // Frames once per virtual second from `from` to `to`, inclusive.
  void FramesEverySecond(std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t t = from; t <= to; t += 1000) {
      RunUntil(t);
      channel_.DeliverFrame();
    }
  }
  std::vector<std::uint64_t> Times(const std::string& what) {
    std::vector<std::uint64_t> out;
    for (const Step& s : channel_.Steps(what)) out.push_back(s.at_ms);
    return out;
  }
  // Stops the channel and returns the real time the stop took.
  std::chrono::milliseconds TimedStop() {
    const auto start = std::chrono::steady_clock::now();
    channel_.Stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  }

  testing::FakeDriver driver_;
  CVirtualClock clock_;
  CountingSink sink_{clock_};
  ScriptedChannel channel_{&driver_, &sink_, clock_};
};

TEST_F(CaptureLoopTest, ConnectsAfterTheQuietWaitOnTheFirstFreePortPair) {
  channel_.busy_ports = {3556, 3558};
  Start();
  RunUntil(2000);
  EXPECT_THAT(channel_.Steps(), ElementsAre(Step{"close", 0}, Step{"configure", 0}, Step{"rtp", 0, 3560},
                                            Step{"rtcp", 2000, 3561}));
}

TEST_F(CaptureLoopTest, PortThatAlreadyReceivesIsLeftForTheNextOne) {
  channel_.noisy_ports = {3556};
  Start();
  RunUntil(2000);
  // The packet ends the quiet wait at once; the next pair gets the full wait.
  EXPECT_THAT(channel_.Steps(), ElementsAre(Step{"close", 0}, Step{"configure", 0}, Step{"rtp", 0, 3556},
                                            Step{"close", 0}, Step{"rtp", 0, 3558},
                                            Step{"rtcp", 2000, 3559}));
}

TEST_F(CaptureLoopTest, ProbeEndsBelow4556AndTheNextAttemptStartsAgainAt3556) {
  for (std::uint32_t port = 3556; port < 4554; port += 2) channel_.busy_ports.insert(port);
  channel_.noisy_ports = {4554};
  Start();
  RunUntil(1500);
  const std::vector<Step> rtp = channel_.Steps("rtp");
  ASSERT_EQ(rtp.size(), 2u);
  EXPECT_EQ(rtp[0], (Step{"rtp", 0, 4554}));
  EXPECT_EQ(rtp[1], (Step{"rtp", 1000, 4554}));  // one pass later, from the bottom again
  EXPECT_THAT(Times("configure"), ElementsAre(0, 1000));
  EXPECT_TRUE(channel_.Steps("rtcp").empty());
}

TEST_F(CaptureLoopTest, RefusedEncoderRequestRetriesEveryPassWithoutTransport) {
  channel_.camera_accepts = false;
  Start();
  RunUntil(2500);
  EXPECT_THAT(Times("configure"), ElementsAre(0, 1000, 2000));
  EXPECT_TRUE(channel_.Steps("rtp").empty());
}

TEST_F(CaptureLoopTest, ReconnectsAfter7500MsWithoutAFrame) {
  Start();
  RunUntil(2000);
  FramesEverySecond(2000, 5000);  // the last frame at 5000
  RunUntil(12000);
  EXPECT_THAT(Times("configure"), ElementsAre(0)) << "7000 ms without a frame is no outage";
  EXPECT_EQ(channel_.GetState(), kChannelReceiving);
  RunUntil(13000);
  // The pass at 13000 sees 8000 ms: the state drops and the next pass reconnects at once.
  EXPECT_EQ(channel_.GetState(), kChannelStopped);
  EXPECT_THAT(Times("configure"), ElementsAre(0, 13000));
  EXPECT_TRUE(sink_.Losses().empty());
}

TEST_F(CaptureLoopTest, CameraThatNeverSendsIsLostAt15000MsAndAgainOnEveryLaterAttempt) {
  Start();
  RunUntil(60000);
  // Each attempt: 2000 ms quiet wait, 15000 ms for a first frame, 10 ms before the next one.
  EXPECT_THAT(Times("configure"), ElementsAre(0, 17010, 34020, 51030));
  // The loss counts from the start (no frame yet), not from the end of the first attempt: it
  // falls at 15000, inside that attempt's first-frame wait (2000 to 17000), and the pass at
  // 17010 does not report it a second time. Each later failed attempt reports it again.
  EXPECT_THAT(sink_.Losses(), ElementsAre(15000, 34020, 51030));
  // Never online, so no offline line; one warning for four attempts that fail the same way,
  // and the state text says why.
  std::vector<std::string> lines;
  for (const auto& line : driver_.Lines()) lines.push_back(line.text);
  EXPECT_THAT(lines, ElementsAre("korvane::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1 "
                                 "gives no video: rtsp-media: no RTP packet within 15000 ms"));
  EXPECT_EQ(channel_.GetFailureText(), "rtsp-media: no RTP packet within 15000 ms");
}

TEST_F(CaptureLoopTest, StreamThatStopsReportsTheLossOnceInTheLog) {
  Start();
  RunUntil(2000);
  FramesEverySecond(2000, 5000);
  RunUntil(60000);
  // Last frame at 5000: reconnect at 13000, whose first-frame wait (15000 to 30000) is cut at
  // 20000 for the loss; the next failed attempt (30010, waiting until 47010) reports it again.
  EXPECT_THAT(sink_.Losses(), ElementsAre(20000, 47020));
  std::vector<std::string> lines;
  for (const auto& line : driver_.Lines()) lines.push_back(line.text);
  // The reason changes once (the stream stopped, then the reconnects get nothing): two warnings.
  EXPECT_THAT(lines,
              ElementsAre("korvane::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online",
                          "korvane::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1 gives no "
                          "video: signal: no frame for 7500 ms; reconnecting",
                          "korvane::CBaseCameraChannel::SetCameraState: Signal was lost for "
                          "camera 127.0.0.1",
                          "korvane::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1 gives no "
                          "video: rtsp-media: no RTP packet within 15000 ms"));
}

TEST_F(CaptureLoopTest, KeepAliveOnceEvery30000MsWhileReceiving) {
  Start();
  RunUntil(2000);
  FramesEverySecond(2000, 65000);
  EXPECT_THAT(Times("keep-alive"), ElementsAre(31000, 62000));
  EXPECT_THAT(Times("configure"), ElementsAre(0));
}

TEST_F(CaptureLoopTest, DataTimeoutComesFromTheDevice) {
  driver_.device.dataTimeoutMs = 4000;
  Start();
  RunUntil(20000);
  // 4000 ms after the start, in the first attempt's wait (2000 to 6000); then after each of
  // the later attempts (6010 and 12020, each 2000 ms quiet and 4000 ms waiting).
  EXPECT_THAT(sink_.Losses(), ElementsAre(4000, 12020, 18030));
  EXPECT_THAT(Times("configure"), ElementsAre(0, 6010, 12020, 18030));
}

// A 20 s outage spans a reconnect: the loss is reported once, 15000 ms after the last frame,
// in the middle of the reconnect's first-frame wait, and the returning frames clear it, so a
// second outage is reported again.
TEST_F(CaptureLoopTest, OutageAcrossAReconnectIsReportedOnceAtTheTimeOutAndRecovers) {
  Start();
  RunUntil(2000);
  FramesEverySecond(2000, 5000);
  RunUntil(19999);
  EXPECT_THAT(Times("configure"), ElementsAre(0, 13000));
  EXPECT_TRUE(sink_.Losses().empty());
  RunUntil(20000);
  EXPECT_THAT(sink_.Losses(), ElementsAre(20000));
  EXPECT_EQ(channel_.GetState(), kChannelSignalLost);

  FramesEverySecond(25000, 40000);  // the camera is back within the same attempt
  EXPECT_EQ(channel_.GetState(), kChannelReceiving);
  EXPECT_THAT(sink_.Losses(), ElementsAre(20000));
  EXPECT_THAT(Times("configure"), ElementsAre(0, 13000));

  RunUntil(56000);  // a second outage from 40000
  EXPECT_THAT(sink_.Losses(), ElementsAre(20000, 55000));
  std::vector<std::string> lines;
  for (const auto& line : driver_.Lines()) lines.push_back(line.text);
  constexpr char kPrefix[] = "korvane::CBaseCameraChannel::SetCameraState: ";
  constexpr char kStopped[] = "korvane::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1 "
                              "gives no video: signal: no frame for 7500 ms; reconnecting";
  EXPECT_THAT(lines, ElementsAre(std::string(kPrefix) + "Camera 127.0.0.1 is online", kStopped,
                                 std::string(kPrefix) + "Signal was lost for camera 127.0.0.1",
                                 std::string(kPrefix) + "Camera 127.0.0.1 is online",
                                 "korvane::CBaseCameraChannel::ClearFailure: Camera 127.0.0.1 "
                                 "gives video again (after signal: no frame for 7500 ms; "
                                 "reconnecting)",
                                 kStopped,
                                 std::string(kPrefix) + "Signal was lost for camera 127.0.0.1"));
}

// Once StopChannel has begun nothing reaches the host or the depacketizer, whatever the
// transport still delivers while it closes or afterwards.
TEST_F(CaptureLoopTest, NothingIsDeliveredOnceTheStopHasBegun) {
  Start();
  RunUntil(2000);
  channel_.DeliverFrame();
  channel_.OnPacket(CRTPPacket());
  RunUntil(3000);
  ASSERT_EQ(sink_.frames, 1);
  ASSERT_EQ(channel_.packets, 1);
  ASSERT_TRUE(channel_.IsOnline());

  channel_.deliver_while_closing = true;
  channel_.Stop();
  ASSERT_FALSE(channel_.Steps("close").empty());
  channel_.DeliverFrame();
  channel_.OnPacket(CRTPPacket());
  EXPECT_EQ(sink_.frames, 1);
  EXPECT_EQ(channel_.packets, 1);
  EXPECT_FALSE(channel_.IsOnline());
  std::vector<std::string> lines;
  for (const auto& line : driver_.Lines()) lines.push_back(line.text);
  EXPECT_THAT(lines, ElementsAre("korvane::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 "
                                 "is online",
                                 "korvane::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 "
                                 "is offline. Channel was stopped"));
}

TEST_F(CaptureLoopTest, DeliveryResumesWhenTheChannelIsStartedAgain) {
  Start();
  RunUntil(2000);
  channel_.Stop();
  channel_.DeliverFrame();
  EXPECT_EQ(sink_.frames, 0);
  Start();
  RunUntil(4000);
  channel_.DeliverFrame();
  EXPECT_EQ(sink_.frames, 1);
}

// A stop ends every wait of the loop at once (in real time), and the transport is closed.
struct StopCase {
  const char* name;
  std::uint64_t run_until_ms;  // where the loop then waits
  const char* waiting_in;
};

class StopDuringWaitTest : public CaptureLoopTest,
                           public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringWaitTest, EndsTheLoopPromptly) {
  Start();
  RunUntil(GetParam().run_until_ms);
  if (std::string(GetParam().waiting_in) == "pass") channel_.DeliverFrame();
  if (std::string(GetParam().waiting_in) == "pass") RunUntil(GetParam().run_until_ms + 500);
  EXPECT_LT(TimedStop().count(), 1000) << GetParam().waiting_in;
  EXPECT_EQ(channel_.GetState(), kChannelStopped);
  const std::vector<Step> steps = channel_.Steps();
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.back().what, "close");
  EXPECT_TRUE(channel_.Steps("rtcp").size() <= 1);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, StopDuringWaitTest,
    ::testing::Values(StopCase{"QuietPortWait", 1000, "quiet"},
                      StopCase{"FirstFrameWait", 9000, "first frame"},
                      StopCase{"PassWait", 2000, "pass"}),
    [](const auto& info) { return std::string(info.param.name); });

class NullSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  bool PutFrame(ipcapture::IMediaFrame*) override { return true; }
  void OnSignalLost() override {}
};

// A channel with the real UDP receiver, fed by senders on loopback; it records the sequence
// number of every packet that reaches the depacketizer.
class UdpChannel : public CBaseRTPChannel {
 public:
  explicit UdpChannel(IDriver* driver, ipcapture::IFrameSink* sink)
      : CBaseRTPChannel(0, driver, sink) {}
  ~UdpChannel() override {
    Stop();
    CloseTransport();
  }
  bool Open() { return OpenRtpPort(0); }
  void Close() { CloseTransport(); }
  std::vector<std::uint16_t> Delivered() {
    std::lock_guard<std::mutex> guard(mutex_);
    return delivered_;
  }

 protected:
  bool ConfigureCamera() override { return false; }
  void OnCodecConfig(const DecoderConfig*) override {}
  void ProcessPacket(const CRTPPacket* packet) override {
    std::lock_guard<std::mutex> guard(mutex_);
    delivered_.push_back(packet->Sequence());
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint16_t> delivered_;
};

std::vector<std::uint8_t> RtpFrom(std::uint32_t ssrc, std::uint16_t sequence) {
  std::vector<std::uint8_t> packet = testing::MakeRtp(sequence, 16);
  for (int i = 0; i < 4; ++i) packet[8 + i] = static_cast<std::uint8_t>(ssrc >> (24 - 8 * i));
  return packet;
}

// Noise that looks like RTP between every two packets of the camera keeps any source from
// passing probation (two packets in sequence); the SSRC of the SETUP reply needs none, so the
// camera's stream gets through from its first packet. The next attempt forgets that source
// until its own SETUP: there only two camera packets in a row get through.
TEST(UdpChannelTest, SourceNamedInSetupIsLockedDespiteInterleavedNoise) {
  constexpr std::uint32_t kCamera = 0xCA3E7A00;
  constexpr std::uint32_t kNoise = 0x0BADF00D;
  testing::FakeDriver driver;
  driver.device.address = "127.0.0.1";
  NullSink sink;
  UdpChannel channel(&driver, &sink);
  testing::UdpPeer sender;
  ASSERT_TRUE(sender.ok());

  struct Attempt {
    const char* name;
    std::optional<std::uint32_t> announced;
    std::vector<std::uint16_t> delivered;  // of the camera's sequence numbers 100..107
  } attempts[] = {
      {"camera named its source", kCamera, {100, 101, 102, 103, 104, 105, 106, 107}},
      {"next attempt, no SETUP yet", std::nullopt, {106, 107}},
  };
  for (const Attempt& a : attempts) {
    ASSERT_TRUE(channel.Open()) << a.name;
    if (a.announced) channel.OnSessionSetUp(a.announced);
    const std::size_t before = channel.Delivered().size();
    std::uint16_t noise = 500;
    for (std::uint16_t sequence = 100; sequence < 106; ++sequence) {
      ASSERT_TRUE(sender.SendTo(channel.GetRtpPort(), RtpFrom(kCamera, sequence))) << a.name;
      ASSERT_TRUE(sender.SendTo(channel.GetRtpPort(), RtpFrom(kNoise, noise++))) << a.name;
    }
    for (std::uint16_t sequence : {106, 107}) {
      ASSERT_TRUE(sender.SendTo(channel.GetRtpPort(), RtpFrom(kCamera, sequence))) << a.name;
    }
    ASSERT_TRUE(testing::WaitUntil([&] {
      const auto all = channel.Delivered();
      return all.size() > before && all.back() == 107;
    })) << a.name;
    const std::vector<std::uint16_t> all = channel.Delivered();
    EXPECT_EQ(std::vector<std::uint16_t>(all.begin() + static_cast<std::ptrdiff_t>(before),
                                         all.end()),
              a.delivered)
        << a.name;
    channel.Close();
  }
}

}  // namespace
}  // namespace korvane
