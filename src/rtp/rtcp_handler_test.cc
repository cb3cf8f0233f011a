#include "rtp/rtcp_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/testing/recording_debug_message.h"
#include "rtp/rtp_receiver.h"
#include "rtp/testing/udp_test_peer.h"

namespace korvane {
namespace {

using testing::LoopbackIp;
using testing::MakeRtp;
using testing::UdpPeer;
using testing::WaitUntil;

uint32_t ReadBE32(const std::vector<uint8_t>& p, size_t at) {
  return (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) |
         uint32_t{p[at + 3]};
}

// RFC 3550 section 6.4.1 sender report without report blocks (28 bytes).
std::vector<uint8_t> MakeSenderReport(uint32_t ssrc, uint32_t ntp_msw, uint32_t ntp_lsw) {
  std::vector<uint8_t> p = {
      0x80, 200, 0, 6,     // V=2 P=0 RC=0, PT=SR, length 6
      0, 0, 0, 0,          // SSRC of sender
      0, 0, 0, 0,          // NTP timestamp, most significant word
      0, 0, 0, 0,          // NTP timestamp, least significant word
      0, 1, 0x5F, 0x90,    // RTP timestamp
      0, 0, 0, 10,         // sender's packet count
      0, 0, 0x27, 0x10,    // sender's octet count
  };
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    p[8 + i] = static_cast<uint8_t>(ntp_msw >> (24 - 8 * i));
    p[12 + i] = static_cast<uint8_t>(ntp_lsw >> (24 - 8 * i));
  }
  return p;
}

// A receiver report from the camera (it has nothing to report on): 8 bytes, padded by one
// empty report block so that it is long enough to be read.
std::vector<uint8_t> MakeCameraReceiverReport(uint32_t ssrc) {
  std::vector<uint8_t> p(32, 0);
  p[0] = 0x81;
  p[1] = 201;
  p[3] = 7;
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  return p;
}

class RtcpHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(camera_.ok());
    ASSERT_TRUE(handler_.Start(LoopbackIp(), 0));
    port_ = handler_.GetPort();
    ASSERT_NE(port_, 0);
  }

  // Sends an SR and returns the report that comes back.
  std::vector<uint8_t> ExchangeSenderReport(uint32_t ssrc, uint32_t msw, uint32_t lsw) {
    EXPECT_TRUE(camera_.SendTo(port_, MakeSenderReport(ssrc, msw, lsw)));
    auto reply = camera_.Receive(5000);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(std::vector<uint8_t>{});
  }

  CRecordingDebugMessage log_;
  UdpPeer camera_;
  CRTCPHandler handler_{&log_};
  uint16_t port_ = 0;
};

TEST_F(RtcpHandlerTest, SenderReportIsAnsweredWithAReceiverReport) {
  for (uint16_t seq = 100; seq <= 110; ++seq) handler_.OnRtpSequence(seq);
  const auto ssrc = handler_.OwnSsrc();
  sockaddr_in from{};
  ASSERT_TRUE(camera_.SendTo(port_, MakeSenderReport(0xCAFEBABE, 0xE1234567, 0x89ABCDEF)));
  const auto rr = camera_.Receive(5000, &from);
  ASSERT_TRUE(rr.has_value());
  // Sent from the RTCP port itself.
  EXPECT_EQ(ntohs(from.sin_port), port_);
  const std::vector<uint8_t> expected_head = {
      0x81, 201, 0, 7,                     // V=2 RC=1, PT=RR, length 7
      ssrc[0], ssrc[1], ssrc[2], ssrc[3],  // our SSRC
      0xCA, 0xFE, 0xBA, 0xBE,              // SSRC of the camera
      0, 0, 0, 0,                          // fraction lost, cumulative lost
      0, 0, 0, 110,                        // extended highest sequence number
      0, 0, 0, 0,                          // jitter
      0x45, 0x67, 0x89, 0xAB,              // LSR: middle 32 bits of the NTP time
  };
  ASSERT_EQ(rr->size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(rr->begin(), rr->begin() + 28), expected_head);
  // DLSR: answered at once, so well under a second (65536 units).
  EXPECT_LT(ReadBE32(*rr, 28), 65536u);
  EXPECT_TRUE(handler_.IsPeerKnown());
}

TEST_F(RtcpHandlerTest, EachSenderReportIsAnsweredAndLsrFollowsTheLatest) {
  for (uint32_t i = 1; i <= 3; ++i) {
    const uint32_t msw = 0x11110101u * i;
    const uint32_t lsw = 0x02022222u * i;
    const auto rr = ExchangeSenderReport(7, msw, lsw);
    ASSERT_EQ(rr.size(), 32u);
    EXPECT_EQ(ReadBE32(rr, 24), (msw & 0xFFFF) << 16 | lsw >> 16) << i;
  }
}

TEST_F(RtcpHandlerTest, DelaySinceLastReportCountsIn65536thsOfASecond) {
  // Nothing has arrived yet: DLSR 0 however late.
  EXPECT_EQ(ReadBE32(handler_.BuildReceiverReportAt(CRTCPHandler::NowMs() + 5000), 28), 0u);
  ExchangeSenderReport(7, 1, 2);
  const uint32_t now = CRTCPHandler::NowMs();
  const uint32_t at_now = ReadBE32(handler_.BuildReceiverReportAt(now), 28);
  const uint32_t one_second_later = ReadBE32(handler_.BuildReceiverReportAt(now + 1000), 28);
  const uint32_t five_seconds_later = ReadBE32(handler_.BuildReceiverReportAt(now + 5000), 28);
  EXPECT_NEAR(static_cast<double>(one_second_later - at_now), 65536.0, 1.0);
  EXPECT_NEAR(static_cast<double>(five_seconds_later - at_now), 5 * 65536.0, 1.0);
}

TEST_F(RtcpHandlerTest, ReceiverReportBeforeAnySenderReportIsRecordedButNotAnswered) {
  ASSERT_TRUE(camera_.SendTo(port_, MakeCameraReceiverReport(0x01020304)));
  ASSERT_TRUE(WaitUntil([&] {
    return ReadBE32(handler_.BuildReceiverReportAt(CRTCPHandler::NowMs()), 8) == 0x01020304u;
  }));
  EXPECT_FALSE(camera_.Receive(300).has_value());
  EXPECT_FALSE(handler_.IsPeerKnown());
  // The next sender report fixes the peer; reports flow from then on.
  const auto rr = ExchangeSenderReport(0x0A0B0C0D, 0, 0);
  ASSERT_EQ(rr.size(), 32u);
  EXPECT_EQ(ReadBE32(rr, 8), 0x0A0B0C0Du);
  ASSERT_TRUE(camera_.SendTo(port_, MakeCameraReceiverReport(0x0A0B0C0D)));
  EXPECT_TRUE(camera_.Receive(5000).has_value());
}

struct IgnoredRtcp {
  const char* name;
  std::vector<uint8_t> bytes;
};

class RtcpHandlerIgnored : public RtcpHandlerTest,
                           public ::testing::WithParamInterface<IgnoredRtcp> {};

TEST_P(RtcpHandlerIgnored, IsNotAnsweredAndLeavesThePeerUnknown) {
  ASSERT_TRUE(camera_.SendTo(port_, GetParam().bytes));
  EXPECT_FALSE(camera_.Receive(200).has_value());
  EXPECT_FALSE(handler_.IsPeerKnown());
  // A proper sender report afterwards is still answered.
  EXPECT_EQ(ExchangeSenderReport(1, 2, 3).size(), 32u);
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> p, size_t size) {
  p.resize(size);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtcpHandlerIgnored,
    ::testing::Values(IgnoredRtcp{"SenderReportCutTo14Bytes", Truncated(MakeSenderReport(1, 2, 3), 14)},
                      IgnoredRtcp{"OneByte", {0x80}},
                      IgnoredRtcp{"GarbageWithoutSenderReportType", std::vector<uint8_t>(100, 0x5A)},
                      IgnoredRtcp{"ByeFromTheCamera", {0x81, 203, 0, 1, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<IgnoredRtcp>& info) { return std::string(info.param.name); });

TEST_F(RtcpHandlerTest, FifteenByteSenderReportIsEnough) {
  ASSERT_TRUE(camera_.SendTo(port_, Truncated(MakeSenderReport(0x11, 0x22334455, 0x66778899), 15)));
  const auto rr = camera_.Receive(5000);
  ASSERT_TRUE(rr.has_value());
  EXPECT_EQ(ReadBE32(*rr, 24), 0x44556677u);
}

TEST_F(RtcpHandlerTest, SenderReportFromAnotherAddressIsIgnored) {
  UdpPeer stranger("127.0.0.2");
  ASSERT_TRUE(stranger.ok());
  ASSERT_TRUE(stranger.SendTo(port_, MakeSenderReport(0x99, 1, 2)));
  // The camera's own (non-SR) packet behind it proves the stranger's was read by then.
  ASSERT_TRUE(camera_.SendTo(port_, MakeCameraReceiverReport(0x77)));
  ASSERT_TRUE(WaitUntil([&] {
    return ReadBE32(handler_.BuildReceiverReportAt(CRTCPHandler::NowMs()), 8) == 0x77u;
  }));
  EXPECT_FALSE(stranger.Receive(300).has_value());
  EXPECT_FALSE(camera_.Receive(0).has_value());
  EXPECT_FALSE(handler_.IsPeerKnown());
}

TEST_F(RtcpHandlerTest, VersionBitsAreEchoed) {
  auto sr = MakeSenderReport(1, 2, 3);
  sr[0] = 0x40;  // a version-1 camera
  ASSERT_TRUE(camera_.SendTo(port_, sr));
  const auto rr = camera_.Receive(5000);
  ASSERT_TRUE(rr.has_value());
  EXPECT_EQ((*rr)[0], 0x41);
}

TEST_F(RtcpHandlerTest, StopSaysByeToAKnownPeer) {
  ExchangeSenderReport(5, 6, 7);
  const auto ssrc = handler_.OwnSsrc();
  handler_.Stop();
  const auto bye = camera_.Receive(5000);
  ASSERT_TRUE(bye.has_value());
  EXPECT_EQ(*bye, (std::vector<uint8_t>{0x81, 203, 0, 1, ssrc[0], ssrc[1], ssrc[2], ssrc[3]}));
  EXPECT_EQ(handler_.GetPort(), 0);
  EXPECT_FALSE(handler_.IsRunning());
  EXPECT_FALSE(handler_.IsPeerKnown());
}

TEST_F(RtcpHandlerTest, StopWithoutAPeerSendsNothing) {
  ASSERT_TRUE(camera_.SendTo(port_, MakeCameraReceiverReport(3)));  // address, not yet a peer
  ASSERT_TRUE(WaitUntil([&] {
    return ReadBE32(handler_.BuildReceiverReportAt(CRTCPHandler::NowMs()), 8) == 3u;
  }));
  handler_.Stop();
  EXPECT_FALSE(camera_.Receive(200).has_value());
}

TEST_F(RtcpHandlerTest, StartFailsWhileStartedAndCanRestartAfterStop) {
  EXPECT_FALSE(handler_.Start(LoopbackIp(), 0));
  EXPECT_EQ(handler_.GetPort(), port_);
  handler_.OnRtpSequence(500);
  handler_.Stop();
  ASSERT_TRUE(handler_.Start(LoopbackIp(), port_));
  EXPECT_EQ(handler_.GetName(), "RTCP Handler Thread");
  // A new session starts its statistics afresh.
  handler_.OnRtpSequence(9);
  EXPECT_EQ(ReadBE32(ExchangeSenderReport(1, 2, 3), 16), 9u);
}

TEST(RtcpHandlerStartTest, FailsForAddressZeroOrAPortInUse) {
  CRecordingDebugMessage log;
  CRTCPHandler handler(&log);
  EXPECT_FALSE(handler.Start(0, 0));
  EXPECT_EQ(handler.GetPort(), 0);
  UdpPeer holder;
  EXPECT_FALSE(handler.Start(LoopbackIp(), holder.port()));
  EXPECT_EQ(handler.GetPort(), 0);
  EXPECT_FALSE(handler.IsRunning());
}

// RFC 3550 appendix A.1 sequence statistics, read from the report's extended highest sequence.
struct SequenceCase {
  const char* name;
  std::vector<uint16_t> sequences;
  uint32_t extended_highest;
};

class RtcpSequenceStatistics : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(RtcpSequenceStatistics, ExtendedHighestSequence) {
  CRecordingDebugMessage log;
  CRTCPHandler handler(&log);
  for (uint16_t s : GetParam().sequences) handler.OnRtpSequence(s);
  EXPECT_EQ(ReadBE32(handler.BuildReceiverReportAt(1), 16), GetParam().extended_highest);
}

std::vector<uint16_t> Steps(uint32_t count, uint32_t step) {
  std::vector<uint16_t> result;
  for (uint32_t i = 0; i < count; ++i) result.push_back(static_cast<uint16_t>(i * step));
  return result;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtcpSequenceStatistics,
    ::testing::Values(
        SequenceCase{"None", {}, 0},
        SequenceCase{"First", {4242}, 4242},
        SequenceCase{"OneWrap", {65534, 65535, 0, 1}, 65537},
        SequenceCase{"JumpIsNotTakenIntoAccount", {100, 5100}, 100},
        SequenceCase{"JumpThenNextNumberRestarts", {100, 5100, 5101}, 5101},
        SequenceCase{"JumpThenOtherNumberDoesNotRestart", {100, 5100, 5102}, 100},
        SequenceCase{"JumpThenInOrderAgain", {100, 5100, 200}, 200},
        SequenceCase{"RestartForgetsWraps", {65535, 0, 30000, 30001}, 30001},
        SequenceCase{"FiftyBehindChangesNothing", {1000, 950}, 1000},
        SequenceCase{"DuplicateChangesNothing", {1000, 1000}, 1000},
        SequenceCase{"GapOf2999IsInOrder", {1000, 3999}, 3999},
        SequenceCase{"GapOf3000IsAJump", {1000, 4000}, 1000},
        SequenceCase{"HundredBehindIsMisorder", {0, 65436}, 0},
        SequenceCase{"HundredAndOneBehindIsAJump", {0, 65435, 65436}, 65436},
        SequenceCase{"TwoWrapsInSteps", Steps(71, 2000), 140000}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return std::string(info.param.name); });

TEST(RtcpCameraPacketTest, ReadsTheFieldsTheReportNeeds) {
  const auto sr = MakeSenderReport(0xA1A2A3A4, 0xB1B2B3B4, 0xC1C2C3C4);
  const auto packet = CRTCPHandler::ReadCameraPacket(sr);
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->version_bits, 0x80);
  EXPECT_TRUE(packet->is_sender_report);
  EXPECT_EQ(packet->sender_ssrc, (std::array<uint8_t, 4>{0xA1, 0xA2, 0xA3, 0xA4}));
  EXPECT_EQ(packet->lsr, (std::array<uint8_t, 4>{0xB3, 0xB4, 0xC1, 0xC2}));
  EXPECT_FALSE(CRTCPHandler::ReadCameraPacket(MakeCameraReceiverReport(1))->is_sender_report);
  EXPECT_FALSE(CRTCPHandler::ReadCameraPacket(Truncated(sr, 14)).has_value());
  EXPECT_TRUE(CRTCPHandler::ReadCameraPacket(Truncated(sr, 15)).has_value());
}

TEST(RtcpHandlerSsrcTest, EachHandlerPicksItsOwnSsrc) {
  CRecordingDebugMessage log;
  CRTCPHandler a(&log);
  CRTCPHandler b(&log);
  EXPECT_NE(a.OwnSsrc(), b.OwnSsrc());
}

// The camera's side of a UDP session: RTP to the even port, sender reports to the odd one; the
// consumer feeds the statistics as the RTP channel does.
class SequenceFeedingUser : public IRTPReceiverUser {
 public:
  explicit SequenceFeedingUser(CRTCPHandler* handler) : handler_(handler) {}
  void OnPacket(const CRTPPacket&) override {}
  void OnPacketFrom(const SocketAddress&, const CRTPPacket& packet) override {
    handler_->OnRtpSequence(packet.Sequence());
    ++count_;
  }
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig*) override {}
  std::atomic<int> count_{0};

 private:
  CRTCPHandler* handler_;
};

TEST(RtpSessionTest, CameraOverLoopbackGetsReportsAndBye) {
  CRecordingDebugMessage log;
  UdpPeer camera_rtp;
  UdpPeer camera_rtcp;
  CRTPReceiver receiver(&log);
  CRTCPHandler handler(&log);
  SequenceFeedingUser user(&handler);
  receiver.SetUser(&user);
  ASSERT_TRUE(receiver.Start(0, kRtpOverUdp));
  ASSERT_TRUE(handler.Start(LoopbackIp(), 0));

  int sent = 0;
  for (uint32_t s = 65530; s < 65536 + 6; ++s, ++sent) {
    ASSERT_TRUE(camera_rtp.SendTo(receiver.GetPort(), MakeRtp(static_cast<uint16_t>(s), 200)));
  }
  ASSERT_TRUE(WaitUntil([&] { return user.count_ == sent; }));
  ASSERT_TRUE(camera_rtcp.SendTo(handler.GetPort(), MakeSenderReport(0x5555AAAA, 0, 0x12340000)));
  const auto rr = camera_rtcp.Receive(5000);
  ASSERT_TRUE(rr.has_value());
  ASSERT_EQ(rr->size(), 32u);
  EXPECT_EQ(ReadBE32(*rr, 8), 0x5555AAAAu);
  EXPECT_EQ(ReadBE32(*rr, 16), 65536u + 5);
  EXPECT_EQ(ReadBE32(*rr, 24), 0x00001234u);

  handler.Stop();
  receiver.Stop();
  const auto bye = camera_rtcp.Receive(5000);
  ASSERT_TRUE(bye.has_value());
  EXPECT_EQ(bye->size(), 8u);
  EXPECT_EQ((*bye)[1], 203);
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// A camera that never sends RTCP: the SETUP reply's server_port is where reports go, on the
// timer, as RR + SDES CNAME; BYE at the end.
TEST_F(RtcpHandlerTest, CameraWithoutRtcpHearsCompoundReportsOnTheTimer) {
  handler_.SetPeerPort(camera_.port());
  for (uint16_t seq = 65534; seq != 3; ++seq) handler_.OnRtpSequence(seq, 0xCAFE0001u);
  const auto report = camera_.Receive(4000);
  ASSERT_TRUE(report.has_value());
  ASSERT_GE(report->size(), 48u);
  EXPECT_EQ(ReadBE32(*report, 0), 0x81C90007u);   // V=2, RC=1, RR, length 7
  EXPECT_EQ(ReadBE32(*report, 8), 0xCAFE0001u);  // the source the RTP named
  EXPECT_EQ(ReadBE32(*report, 16), 65536u + 2);  // extended highest sequence number
  EXPECT_EQ(ReadBE32(*report, 32), 0x81CA0006u);  // SDES, one chunk of 24 bytes
  EXPECT_EQ(report->size(), 60u);
  EXPECT_EQ((*report)[40], 1);  // CNAME
  const std::string cname(report->begin() + 42, report->begin() + 42 + (*report)[41]);
  EXPECT_EQ(cname.rfind("tollivar-", 0), 0u) << cname;
  handler_.Stop();
  const auto bye = camera_.Receive(2000);
  ASSERT_TRUE(bye.has_value());
  EXPECT_EQ((*bye)[1], 203);
}

// Without a socket (interleaved sessions): the owner asks for the due report. RFC 3550 6.2/A.7:
// the first within 2.5 s x [0.5, 1.5] / (e - 3/2), then 5 s x [0.5, 1.5] / (e - 3/2).
TEST(RtcpReportTimerTest, DueReportsFollowTheTimer) {
  CRTCPHandler rtcp(nullptr);
  const uint32_t now = CRTCPHandler::NowMs();
  EXPECT_FALSE(rtcp.TakeDueReport(now + 60000).has_value());  // not started
  rtcp.StartReportTimer();
  EXPECT_FALSE(rtcp.TakeDueReport(now).has_value());
  EXPECT_LE(rtcp.MsUntilReport(now), 3078u);
  const auto first = rtcp.TakeDueReport(now + 3100);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(ReadBE32(*first, 0), 0x80C90001u);  // nothing heard yet: an empty RR, then SDES
  EXPECT_EQ((*first)[9], 202);
  EXPECT_FALSE(rtcp.TakeDueReport(now + 3100 + 2000).has_value());
  EXPECT_TRUE(rtcp.TakeDueReport(now + 3100 + 6200).has_value());
  // An SR on the RTSP connection is recorded for the answer and the later reports.
  ASSERT_TRUE(rtcp.OnCameraRtcp(MakeSenderReport(0x0BADF00D, 1, 0x00020003)));
  const auto answer = rtcp.BuildReceiverReportAt(CRTCPHandler::NowMs());
  EXPECT_EQ(ReadBE32(answer, 8), 0x0BADF00Du);
  EXPECT_EQ(ReadBE32(answer, 24), 0x00010002u);  // LSR: middle of the NTP time
}

}  // namespace
}  // namespace korvane
