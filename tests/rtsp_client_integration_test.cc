// The RTSP client against a real RTSP server: cnb-camsim (GStreamer's RTSP server), started and
// stopped by each test on 127.0.0.1.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim_child.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver_user.h"
#include "rtsp/base_rtsp_client.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::CamsimChild;
using testing::JsonValue;
using Clock = std::chrono::steady_clock;

class CountingUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket& packet) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++packets_;
    if (have_last_ && static_cast<uint16_t>(last_ + 1) != packet.Sequence()) ++gaps_;
    last_ = packet.Sequence();
    have_last_ = true;
  }
  void OnPacketFrom(const SocketAddress&, const CRTPPacket&) override {}
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig* config) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++configs_;
    if (config != nullptr) config_ = *config;
  }
  int Packets() const {
    std::lock_guard<std::mutex> g(mutex_);
    return packets_;
  }
  int Gaps() const {
    std::lock_guard<std::mutex> g(mutex_);
    return gaps_;
  }
  int Configs() const {
    std::lock_guard<std::mutex> g(mutex_);
    return configs_;
  }
  DecoderConfig Config() const {
    std::lock_guard<std::mutex> g(mutex_);
    return config_;
  }

 private:
  mutable std::mutex mutex_;
  int packets_ = 0;
  int gaps_ = 0;
  uint16_t last_ = 0;
  bool have_last_ = false;
  int configs_ = 0;
  DecoderConfig config_;
};

// A UDP port on 127.0.0.1 that counts the RTP packets (RFC 3550 version 2) sent to it.
class UdpCounter {
 public:
  UdpCounter() {
    socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      uint8_t buffer[65536];
      while (!stop_) {
        pollfd p{socket_.Get(), POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(socket_.Get(), buffer, sizeof(buffer), MSG_DONTWAIT);
        CRTPPacket packet;
        if (n > 0 && packet.Parse(static_cast<size_t>(n), buffer)) {
          ++packets_;
          last_packet_ms_ = NowMs();
        }
      }
    });
  }
  ~UdpCounter() {
    stop_ = true;
    thread_.join();
  }
  uint16_t Port() const { return port_; }
  int Packets() const { return packets_; }
  // Milliseconds since the last packet; large when none came.
  int64_t SinceLastPacketMs() const { return NowMs() - last_packet_ms_; }

 private:
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  }
  CSocketHandle socket_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> packets_{0};
  std::atomic<int64_t> last_packet_ms_{0};
  std::thread thread_;
};

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class RtspClientIntegrationTest : public ::testing::Test {
 protected:
  void StartCamsim(const std::vector<std::string>& args) {
    std::string error;
    ASSERT_TRUE(camsim_.Start(args, &error)) << error;
  }
  RTSPClientParams Params(const std::string& path = "main") const {
    RTSPClientParams params;
    params.Host = "127.0.0.1";
    params.Port = camsim_.RtspPort();
    params.Path = path;
    params.ConnectTimeoutMs = 3000;
    params.ReceiveTimeoutMs = 5000;
    return params;
  }
  std::vector<std::string> Methods() const {
    std::vector<std::string> methods;
    for (const auto& line : camsim_.RtspRequests()) methods.push_back(JsonValue(line, "method"));
    return methods;
  }
  bool LogHas(const std::string& method, const std::string& status) const {
    for (const auto& line : camsim_.RtspRequests()) {
      if (JsonValue(line, "method") == method && JsonValue(line, "status") == status) return true;
    }
    return false;
  }

  CamsimChild camsim_;
  CountingUser user_;
  CBaseRTSPClient client_{nullptr};
};

TEST_F(RtspClientIntegrationTest, UdpSessionDeliversRtpToTheAnnouncedPorts) {
  StartCamsim({});
  UdpCounter rtp;
  UdpCounter rtcp;
  RTSPClientParams params = Params();
  params.RtpClientPort = rtp.Port();
  params.RtcpClientPort = rtcp.Port();
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return rtp.Packets() >= 25; }, 15s)) << rtp.Packets();
  EXPECT_EQ(user_.Configs(), 1);
  const DecoderConfig config = user_.Config();
  ASSERT_FALSE(config.Sps.empty());
  EXPECT_EQ(config.Sps[0] & 0x1F, 7);  // NAL unit type 7: sequence parameter set
  ASSERT_FALSE(config.Pps.empty());
  EXPECT_EQ(config.Pps[0] & 0x1F, 8);  // NAL unit type 8: picture parameter set
  client_.Close();
  ASSERT_TRUE(WaitUntil([&] { return LogHas("TEARDOWN", "200"); }, 5s));
  const auto requests = camsim_.RtspRequests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(JsonValue(requests[0], "method"), "DESCRIBE");
  EXPECT_EQ(JsonValue(requests[1], "method"), "SETUP");
  EXPECT_EQ(JsonValue(requests[1], "transport"),
            "RTP/AVP;unicast;client_port=" + std::to_string(rtp.Port()) + "-" +
                std::to_string(rtcp.Port()));
  EXPECT_EQ(JsonValue(requests[1], "status"), "200");
  EXPECT_EQ(JsonValue(requests[2], "method"), "PLAY");
  EXPECT_EQ(JsonValue(requests[2], "status"), "200");
  EXPECT_EQ(JsonValue(requests.back(), "session"), "true");
  EXPECT_EQ(user_.Packets(), 0);  // nothing interleaved in this mode
}

class InterleavedIntegrationTest : public RtspClientIntegrationTest,
                                   public ::testing::WithParamInterface<TransportMode> {};

TEST_P(InterleavedIntegrationTest, PacketsArriveThroughOnPacket) {
  StartCamsim({});
  ASSERT_TRUE(client_.Start(Params(), &user_, GetParam()));
  ASSERT_TRUE(WaitUntil([&] { return user_.Packets() >= 50; }, 15s)) << user_.Packets();
  EXPECT_EQ(user_.Gaps(), 0);  // TCP loses nothing
  EXPECT_EQ(user_.Configs(), 1);
  client_.Close();
  ASSERT_TRUE(WaitUntil([&] { return LogHas("TEARDOWN", "200"); }, 5s));
  const auto requests = camsim_.RtspRequests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(JsonValue(requests[1], "transport").rfind("RTP/AVP/TCP;unicast", 0), 0u);
}

TEST_P(InterleavedIntegrationTest, KeepAliveAnswersInsideTheStreamAreSkipped) {
  // Session timeout 6 s: the keep-alive goes out while the media flows, and its answer, which
  // arrives between media frames, costs no packet.
  StartCamsim({"--session-timeout", "6"});
  ASSERT_TRUE(client_.Start(Params(), &user_, GetParam()));
  ASSERT_TRUE(WaitUntil([&] { return LogHas("OPTIONS", "200"); }, 10s));
  const int before = user_.Packets();
  ASSERT_TRUE(WaitUntil([&] { return user_.Packets() >= before + 50; }, 10s));
  EXPECT_EQ(user_.Gaps(), 0);
  client_.Close();
  for (const auto& line : camsim_.RtspRequests()) {
    if (JsonValue(line, "method") == "OPTIONS") {
      EXPECT_EQ(JsonValue(line, "session"), "true");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, InterleavedIntegrationTest,
                         ::testing::Values(kRtpOverRtsp, kRtpOverTcp),
                         [](const ::testing::TestParamInfo<TransportMode>& info) {
                           return std::string(info.param == kRtpOverRtsp ? "RtpOverRtsp"
                                                                         : "RtpOverTcp");
                         });

struct AuthCase {
  const char* name;
  const char* scheme;
};

class AuthIntegrationTest : public RtspClientIntegrationTest,
                            public ::testing::WithParamInterface<AuthCase> {};

TEST_P(AuthIntegrationTest, ChallengeThenSecondDescribeWithCSeq2) {
  StartCamsim({"--auth", GetParam().scheme, "--user", "viewer", "--password", "s3cret:pw"});
  RTSPClientParams params = Params();
  params.UserName = "viewer";
  params.Password = "s3cret:pw";
  UdpCounter rtp;
  params.RtpClientPort = rtp.Port();
  params.RtcpClientPort = static_cast<uint16_t>(rtp.Port() + 1);
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return rtp.Packets() >= 10; }, 15s));
  const auto requests = camsim_.RtspRequests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(JsonValue(requests[0], "method"), "DESCRIBE");
  EXPECT_EQ(JsonValue(requests[0], "status"), "401");
  EXPECT_EQ(JsonValue(requests[0], "auth"), "false");
  EXPECT_EQ(JsonValue(requests[1], "method"), "DESCRIBE");
  EXPECT_EQ(JsonValue(requests[1], "cseq"), "2");
  EXPECT_EQ(JsonValue(requests[1], "auth"), "true");
  EXPECT_EQ(JsonValue(requests[1], "status"), "200");
  for (size_t i = 2; i < requests.size(); ++i) {
    EXPECT_EQ(JsonValue(requests[i], "status"), "200") << requests[i];
  }
}

TEST_P(AuthIntegrationTest, WrongPasswordFailsDescribeWithoutTeardown) {
  StartCamsim({"--auth", GetParam().scheme, "--user", "viewer", "--password", "right"});
  RTSPClientParams params = Params();
  params.UserName = "viewer";
  params.Password = "wrong";
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsRunning(); }, 10s));
  client_.Close();
  std::this_thread::sleep_for(300ms);  // anything sent late would show in the log now
  EXPECT_EQ(Methods(), (std::vector<std::string>{"DESCRIBE", "DESCRIBE"}));
  EXPECT_FALSE(LogHas("DESCRIBE", "200"));
  EXPECT_EQ(user_.Configs(), 0);
}

INSTANTIATE_TEST_SUITE_P(Schemes, AuthIntegrationTest,
                         ::testing::Values(AuthCase{"Basic", "basic"},
                                           AuthCase{"Digest", "digest"}),
                         [](const ::testing::TestParamInfo<AuthCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(RtspClientIntegrationTest, KeepAliveHoldsASessionWithAShortTimeout) {
  // Session timeout 6 s: OPTIONS goes out every 3 to 4 s (half the timeout, checked every 2 s),
  // and the media keeps flowing past twice the timeout.
  StartCamsim({"--session-timeout", "6"});
  UdpCounter rtp;
  UdpCounter rtcp;
  RTSPClientParams params = Params();
  params.RtpClientPort = rtp.Port();
  params.RtcpClientPort = rtcp.Port();
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  std::this_thread::sleep_for(14s);
  EXPECT_LT(rtp.SinceLastPacketMs(), 1000) << "the session was dropped";
  client_.Close();
  EXPECT_EQ(client_.Response().SessionTimeout, 6);
  std::vector<int64_t> option_times;
  for (const auto& line : camsim_.RtspRequests()) {
    if (JsonValue(line, "method") == "OPTIONS") {
      EXPECT_EQ(JsonValue(line, "session"), "true");
      option_times.push_back(std::atoll(JsonValue(line, "t_ms").c_str()));
    }
  }
  ASSERT_GE(option_times.size(), 3u);
  for (size_t i = 1; i < option_times.size(); ++i) {
    const int64_t gap = option_times[i] - option_times[i - 1];
    EXPECT_GE(gap, 2900) << "keep-alive " << i;
    EXPECT_LE(gap, 5000) << "keep-alive " << i;
  }
}

TEST_F(RtspClientIntegrationTest, PauseAndPlayThroughTheEvents) {
  StartCamsim({});
  UdpCounter rtp;
  UdpCounter rtcp;
  RTSPClientParams params = Params();
  params.RtpClientPort = rtp.Port();
  params.RtcpClientPort = rtcp.Port();
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return rtp.Packets() >= 10; }, 15s));
  client_.Pause();
  ASSERT_TRUE(WaitUntil([&] { return client_.IsPaused(); }, 5s));
  EXPECT_TRUE(LogHas("PAUSE", "200"));
  // Paused: the flow stops.
  EXPECT_TRUE(WaitUntil([&] { return rtp.SinceLastPacketMs() > 1500; }, 5s));
  const int before = rtp.Packets();
  client_.Play();
  ASSERT_TRUE(WaitUntil([&] { return rtp.Packets() >= before + 10; }, 10s));
  EXPECT_FALSE(client_.IsPaused());
  int plays = 0;
  for (const auto& line : camsim_.RtspRequests()) {
    if (JsonValue(line, "method") == "PLAY" && JsonValue(line, "status") == "200") ++plays;
  }
  EXPECT_EQ(plays, 2);
}

TEST_F(RtspClientIntegrationTest, CloseWhileStreamingIsBoundedAndTearsDown) {
  StartCamsim({});
  ASSERT_TRUE(client_.Start(Params(), &user_, kRtpOverRtsp));
  ASSERT_TRUE(WaitUntil([&] { return user_.Packets() >= 20; }, 15s));
  const auto start = Clock::now();
  client_.Close();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(client_.CloseTimeoutMs()));
  EXPECT_TRUE(WaitUntil([&] { return LogHas("TEARDOWN", "200"); }, 5s));
}

TEST_F(RtspClientIntegrationTest, ConnectionRefusedFailsStart) {
  CSocketHandle probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  probe.Close();  // nobody listens on that port now
  RTSPClientParams params;
  params.Host = "127.0.0.1";
  params.Port = ntohs(address.sin_port);
  params.ConnectTimeoutMs = 3000;
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Start(params, &user_, kRtpOverUdp));
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST_F(RtspClientIntegrationTest, ListenerThatNeverAnswersTimesOut) {
  CSocketHandle listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
  listen(listener.Get(), 4);  // the kernel completes the handshake; nobody ever reads
  socklen_t length = sizeof(address);
  getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  RTSPClientParams params;
  params.Host = "127.0.0.1";
  params.Port = ntohs(address.sin_port);
  params.ReceiveTimeoutMs = 1000;
  const auto start = Clock::now();
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsRunning(); }, 5s));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 3s);
  EXPECT_EQ(user_.Configs(), 0);
  client_.Close();
}

}  // namespace
}  // namespace korvane
