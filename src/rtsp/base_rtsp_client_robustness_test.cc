// The RTSP client against hostile or broken peers, interleaved media, and its time bounds.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "rtsp/base_rtsp_client.h"
#include "rtsp/testing/base_rtsp_client_test_util.h"
#include "base/testing/test_sockets.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::CameraReply;
using testing::CSeqOf;
using testing::ElapsedSince;
using testing::MethodOf;
using testing::RecordingUser;
using testing::Response;
using testing::ScriptedReply;
using testing::ScriptedServer;
using testing::TestParams;
using testing::WaitUntil;

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// Bad answers to DESCRIBE: each one fails the request, the thread ends on its own well before
// the receive time-out, and the user hears nothing.

struct BadAnswer {
  const char* name;
  std::function<ScriptedReply(const std::string& request)> reply;
  size_t expected_requests;
};

ScriptedReply Endless(std::string head, std::string repeated) {
  ScriptedReply reply;
  reply.bytes = std::move(head);
  reply.stream = [repeated = std::move(repeated)](std::string& out) {
    out = repeated;
    return true;
  };
  return reply;
}

std::string Garbage() {
  std::string bytes;
  uint32_t state = 12345;
  for (int i = 0; i < 1024; ++i) {
    state = state * 1103515245u + 12345u;
    char c = static_cast<char>(state >> 24);
    bytes.push_back(c == '\r' || c == '\n' ? 'x' : c);  // never an empty line by chance
  }
  return bytes;
}

const BadAnswer kBadAnswers[] = {
    {"endless header",
     [](const std::string& r) {
       return Endless("RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(r)) + "\r\n",
                      "X-Pad: " + std::string(1000, 'a') + "\r\n");
     },
     1},
    {"endless header line",
     [](const std::string&) {
       return Endless("RTSP/1.0 200 OK\r\nX-Pad: ", std::string(1000, 'b'));
     },
     1},
    {"content length of 2 GB",
     [](const std::string& r) {
       return Endless("RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(r)) +
                          "\r\nContent-Type: application/sdp\r\nContent-Length: 2147483648\r\n\r\n",
                      std::string(1000, 'v'));
     },
     1},
    {"binary garbage", [](const std::string&) { return Endless("", Garbage()); }, 1},
    {"status line without a number",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes = "RTSP/1.0 OK\r\nCSeq: " + std::to_string(CSeqOf(r)) + "\r\n\r\n";
       return reply;
     },
     1},
    {"close in the middle of the headers",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(CSeqOf(r)) + "\r\nContent-Ty";
       reply.close_after = true;
       return reply;
     },
     1},
    {"close in the middle of the body",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes = Response(CSeqOf(r), "", testing::TestSdp());
       reply.bytes.resize(reply.bytes.size() - 60);
       reply.close_after = true;
       return reply;
     },
     1},
    {"not found",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes = Response(CSeqOf(r), "", "", "404 Not Found");
       return reply;
     },
     1},
    {"401 loop, Basic",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes =
           Response(CSeqOf(r), "WWW-Authenticate: Basic realm=\"cam\"\r\n", "", "401 Unauthorized");
       return reply;
     },
     2},
    {"401 without a challenge we speak",
     [](const std::string& r) {
       ScriptedReply reply;
       reply.bytes = Response(CSeqOf(r), "WWW-Authenticate: Negotiate\r\n", "", "401 Unauthorized");
       return reply;
     },
     1},
};

void PrintTo(const BadAnswer& bad, std::ostream* out) { *out << bad.name; }

class BadAnswerTest : public ::testing::TestWithParam<BadAnswer> {};

TEST_P(BadAnswerTest, DescribeFailsAndTheThreadEnds) {
  const BadAnswer& bad = GetParam();
  ScriptedServer server;
  server.Serve([&bad](const std::string& r, size_t) { return bad.reply(r); });
  RTSPClientParams params = TestParams(server.Port());
  params.UserName = "user";
  params.Password = "pass";
  params.ReceiveTimeoutMs = 8000;  // a failure must come from the answer, not from waiting
  RecordingUser user;
  CBaseRTSPClient client(nullptr);
  const auto start = Clock::now();
  ASSERT_TRUE(client.Start(params, &user, kRtpOverUdp));
  EXPECT_TRUE(WaitUntil([&] { return !client.IsRunning(); }, 4s)) << "thread still runs";
  EXPECT_LT(ElapsedSince(start), 4s);
  client.Close();
  EXPECT_EQ(server.RequestCount(), bad.expected_requests);  // no SETUP, no TEARDOWN
  EXPECT_EQ(user.Configs(), 0);
}

INSTANTIATE_TEST_SUITE_P(Peers, BadAnswerTest, ::testing::ValuesIn(kBadAnswers),
                         [](const ::testing::TestParamInfo<BadAnswer>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
                           }
                           return name;
                         });

TEST(BaseRtspClientReadLimitsTest, HeaderBlockBeyond512BytesIsRead) {
  // A long Digest challenge, a Date and a Server header: common, and well over 512 bytes.
  ScriptedServer server;
  const uint16_t port = server.Port();
  server.Serve([port](const std::string& r, size_t) {
    ScriptedReply reply = CameraReply(r, port);
    if (MethodOf(r) == "DESCRIBE") {
      const std::string padding =
          "Server: " + std::string(6000, 's') + "\r\nDate: Tue, 08 Dec 2026 01:00:00 GMT\r\n";
      reply.bytes.insert(reply.bytes.find("\r\n") + 2, padding);
    }
    return reply;
  });
  RecordingUser user;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(TestParams(port), &user, kRtpOverUdp));
  ASSERT_TRUE(server.WaitForRequests(3, 5s));
  EXPECT_EQ(MethodOf(server.Requests()[1]), "SETUP");
  EXPECT_EQ(user.Configs(), 1);
}

// ---------------------------------------------------------------------------------------------
// Connection set-up and time-outs

uint16_t UnusedPort() {
  ScriptedServer probe;  // bound, then closed when it goes out of scope
  return probe.Port();
}

TEST(BaseRtspClientConnectTest, RefusedConnectionFailsStart) {
  const uint16_t port = UnusedPort();
  CBaseRTSPClient client(nullptr);
  RecordingUser user;
  const auto start = Clock::now();
  EXPECT_FALSE(client.Start(TestParams(port), &user, kRtpOverUdp));
  EXPECT_LT(ElapsedSince(start), 1500ms);
  EXPECT_FALSE(client.IsRunning());
}

TEST(BaseRtspClientConnectTest, UnresolvableHostFailsStart) {
  CBaseRTSPClient client(nullptr);
  RTSPClientParams params = TestParams(554);
  params.Host = "";
  EXPECT_FALSE(client.Start(params, nullptr, kRtpOverUdp));
  EXPECT_FALSE(client.IsRunning());
}

TEST(BaseRtspClientConnectTest, SilentListenerFailsDescribeAfterTheReceiveTimeout) {
  ScriptedServer server;
  server.Serve([](const std::string&, size_t) { return ScriptedReply{}; });
  RTSPClientParams params = TestParams(server.Port());
  params.ReceiveTimeoutMs = 600;
  CBaseRTSPClient client(nullptr);
  RecordingUser user;
  const auto start = Clock::now();
  ASSERT_TRUE(client.Start(params, &user, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return !client.IsRunning(); }, 5s));
  EXPECT_GE(ElapsedSince(start), 550ms);
  client.Close();
  EXPECT_EQ(server.RequestCount(), 1u);  // DESCRIBE only: nothing to tear down
}

TEST(BaseRtspClientConnectTest, ConnectTimeoutIsHonoured) {
  // A listener whose accept queue is full drops further SYNs: the connect neither succeeds nor
  // fails until the client gives up.
  ScriptedServer server(/*backlog=*/0);
  std::vector<CSocketHandle> fillers;
  for (int i = 0; i < 8; ++i) {
    CSocketHandle s(static_cast<int>(socket(AF_INET, SOCK_STREAM | testing::kCloseOnExec, 0)));
    SetNonBlocking(s.Get(), true);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.Port());
    connect(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    fillers.push_back(std::move(s));
  }
  std::this_thread::sleep_for(100ms);
  RTSPClientParams params = TestParams(server.Port());
  params.ConnectTimeoutMs = 700;
  CBaseRTSPClient client(nullptr);
  const auto start = Clock::now();
  EXPECT_FALSE(client.Start(params, nullptr, kRtpOverUdp));
  const auto took = ElapsedSince(start);
  EXPECT_GE(took, 600ms);
  EXPECT_LT(took, 3s);
}

// ---------------------------------------------------------------------------------------------
// Interleaved media (modes 1 and 2)

// An RTP packet (RFC 3550 section 5.1) framed for channel `channel` (RFC 2326 section 10.12).
std::string InterleavedFrame(uint8_t channel, uint16_t sequence) {
  std::string rtp = {'\x80',  // V=2, no padding, no extension, CC=0
                     '\x60',  // M=0, PT=96
                     static_cast<char>(sequence >> 8),
                     static_cast<char>(sequence & 0xFF),
                     0,
                     0,
                     0,
                     static_cast<char>(sequence),  // timestamp
                     '\x11',
                     '\x22',
                     '\x33',
                     '\x44',  // SSRC
                     '\x65',
                     'p',
                     'a',
                     'y',
                     'l',
                     'o',
                     'a',
                     'd'};
  std::string frame = {'$', static_cast<char>(channel), 0, static_cast<char>(rtp.size())};
  return frame + rtp;
}

struct InterleavedCase {
  const char* name;
  TransportMode mode;
  const char* transport;
  // The channel pair the camera's SETUP reply names instead of 0-1 (RFC 2326 12.39); its media
  // goes there, and what still comes on channel 0 then is another stream's.
  const char* chosen_pair = nullptr;
  uint8_t rtp_channel = 0;
  // The camera answers a UDP SETUP 461 (RFC 2326 11.4.3): the client asks again, interleaved,
  // on the same connection.
  bool refuses_udp = false;
};

void PrintTo(const InterleavedCase& c, std::ostream* out) { *out << c.name; }

class InterleavedTest : public ::testing::TestWithParam<InterleavedCase> {};

TEST_P(InterleavedTest, MediaArrivesThroughOnPacketAndKeepAlivesGoOn) {
  const InterleavedCase& c = GetParam();
  ScriptedServer server;
  const uint16_t port = server.Port();
  constexpr uint16_t kPackets = 300;  // about 3 s of media at one frame per 10 ms
  // Both flags live on the server thread's side of the script.
  auto streaming_done = std::make_shared<std::atomic<bool>>(false);
  auto options_while_streaming = std::make_shared<std::atomic<int>>(0);
  server.Serve([c, port, streaming_done, options_while_streaming](const std::string& r, size_t) {
    ScriptedReply reply = CameraReply(r, port, ";timeout=2");
    if (MethodOf(r) == "SETUP" && c.refuses_udp && r.find("/TCP") == std::string::npos) {
      reply.bytes = Response(CSeqOf(r), "", "", "461 Unsupported Transport");
      return reply;
    }
    if (MethodOf(r) == "SETUP" && c.chosen_pair != nullptr) {
      const size_t at = reply.bytes.find("client_port=5000-5001");
      reply.bytes.replace(at, std::strlen("client_port=5000-5001"),
                          std::string("interleaved=") + c.chosen_pair);
    }
    if (MethodOf(r) == "OPTIONS" && !*streaming_done) {
      ++*options_while_streaming;
    }
    if (MethodOf(r) == "PLAY") {
      // The first frames go out in the same write as the answer, as cameras do: the reader
      // steps over the answer and keeps them.
      const uint8_t rtp = c.rtp_channel;
      reply.bytes += InterleavedFrame(rtp, 1) + InterleavedFrame(rtp, 2);
      auto next = std::make_shared<uint16_t>(3);
      reply.stream = [rtp, next, streaming_done](std::string& out) {
        out = InterleavedFrame(rtp, *next);
        if (*next % 10 == 0) out += InterleavedFrame(rtp + 1, 9999);  // RTCP: not media
        if (rtp != 0 && *next % 10 == 5) out += InterleavedFrame(0, 7777);  // not our channel
        const bool more = ++*next <= kPackets;
        if (!more) *streaming_done = true;
        return more;
      };
    }
    return reply;
  });
  RecordingUser user;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(TestParams(port), &user, c.mode));
  ASSERT_TRUE(WaitUntil([&] { return user.Sequences().size() >= kPackets; }, 10s));
  const auto sequences = user.Sequences();
  for (uint16_t i = 0; i < kPackets; ++i) {
    ASSERT_EQ(sequences[i], i + 1) << "packet " << i;
  }
  const auto requests = server.Requests();
  const size_t setup = c.refuses_udp ? 2 : 1;
  EXPECT_NE(requests[setup].find(c.transport), std::string::npos) << requests[setup];
  if (c.refuses_udp) {
    EXPECT_NE(requests[1].find("client_port=5000-5001"), std::string::npos) << requests[1];
    EXPECT_EQ(client.Mode(), kRtpOverRtsp);
  }
  // The keep-alive goes on while media flows (session timeout 2 s).
  ASSERT_TRUE(server.WaitForRequests(setup + 3, 5s));
  EXPECT_EQ(MethodOf(server.Requests()[setup + 2]), "OPTIONS");
  EXPECT_GE(options_while_streaming->load(), 1);
  const auto start = Clock::now();
  client.Close();
  EXPECT_LT(ElapsedSince(start), std::chrono::milliseconds(client.CloseTimeoutMs()));
  ASSERT_TRUE(server.WaitForClose(5s));
  EXPECT_EQ(MethodOf(server.Requests().back()), "TEARDOWN");
  // Receiver reports answer the camera's RTCP on the RTCP channel of the reply; BYE goes last.
  const auto frames = server.InterleavedFrames();
  ASSERT_GE(frames.size(), 2u);
  for (const std::string& f : frames) {
    ASSERT_GE(f.size(), 12u);
    EXPECT_EQ(static_cast<uint8_t>(f[1]), c.rtp_channel + 1);
  }
  EXPECT_EQ(static_cast<uint8_t>(frames.front()[5]), 201);  // RR
  EXPECT_EQ(static_cast<uint8_t>(frames.back()[5]), 203);   // BYE
}

INSTANTIATE_TEST_SUITE_P(
    Modes, InterleavedTest,
    ::testing::Values(InterleavedCase{"RtpOverRtsp", kRtpOverRtsp,
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
                      InterleavedCase{"RtpOverTcp", kRtpOverTcp,
                                      "Transport: RTP/AVP/TCP;unicast;client_port=5000-5001;interleaved=0-1\r\n"},
                      InterleavedCase{"CameraChoosesChannels", kRtpOverRtsp,
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n",
                                      "4-5", 4},
                      InterleavedCase{"UdpRefusedWith461", kRtpOverUdp,
                                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n",
                                      nullptr, 0, /*refuses_udp=*/true}),
    [](const ::testing::TestParamInfo<InterleavedCase>& info) {
      return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------------------------
// Close() returns within its bound whatever the session is doing.

TEST(BaseRtspClientCloseTest, NeverStarted) {
  CBaseRTSPClient client(nullptr);
  const auto start = Clock::now();
  client.Close();
  EXPECT_LT(ElapsedSince(start), 500ms);
}

TEST(BaseRtspClientCloseTest, WhileWaitingForTheDescribeAnswer) {
  ScriptedServer server;
  server.Serve([](const std::string&, size_t) { return ScriptedReply{}; });
  RTSPClientParams params = TestParams(server.Port());
  params.ReceiveTimeoutMs = 5000;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(params, nullptr, kRtpOverUdp));
  ASSERT_TRUE(server.WaitForRequests(1, 5s));
  const auto start = Clock::now();
  client.Close();
  // The stop is seen at once, not after the 5-s receive time-out.
  EXPECT_LT(ElapsedSince(start), 2000ms);
  EXPECT_FALSE(client.IsRunning());
}

// A camera that goes on streaming but answers no RTSP request after PLAY: the stop waits for
// the TEARDOWN answer at most kStopTeardownWaitMs, not the 5-s request time-out, in every mode.
struct SilentTeardownCase {
  const char* name;
  TransportMode mode;
  bool interleaved_media;  // the camera streams on the RTSP connection
};

void PrintTo(const SilentTeardownCase& c, std::ostream* out) { *out << c.name; }

class SilentTeardownTest : public ::testing::TestWithParam<SilentTeardownCase> {};

TEST_P(SilentTeardownTest, StopWaitsForTheAnswerAtMostOneSecond) {
  const SilentTeardownCase& c = GetParam();
  ScriptedServer server;
  const uint16_t port = server.Port();
  const bool interleaved = c.interleaved_media;
  server.Serve([port, interleaved](const std::string& r, size_t) {
    const std::string method = MethodOf(r);
    if (method != "DESCRIBE" && method != "SETUP" && method != "PLAY") {
      return ScriptedReply{};  // no keep-alive or TEARDOWN answer, ever
    }
    ScriptedReply reply = CameraReply(r, port);
    if (method == "PLAY" && interleaved) {
      auto next = std::make_shared<uint16_t>(1);
      reply.stream = [next](std::string& out) {
        out = InterleavedFrame(0, (*next)++);
        return *next < 3000;  // 30 s at most
      };
    }
    return reply;
  });
  RTSPClientParams params = TestParams(port);
  params.ReceiveTimeoutMs = 5000;
  params.SendTimeoutMs = 5000;
  RecordingUser user;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(params, &user, c.mode));
  ASSERT_TRUE(server.WaitForRequests(3, 5s));
  std::this_thread::sleep_for(300ms);  // let the client take the PLAY answer
  if (interleaved) {
    ASSERT_TRUE(WaitUntil([&] { return !user.Sequences().empty(); }, 5s));
  }
  const auto start = Clock::now();
  client.Close();
  const auto took = ElapsedSince(start).count();
  EXPECT_GE(took, 900) << "ms";  // it did wait for the TEARDOWN answer, up to its stop bound
  EXPECT_LT(took, 1500) << "ms";
  EXPECT_FALSE(client.IsRunning());
  ASSERT_TRUE(server.WaitForClose(5s));
  EXPECT_EQ(MethodOf(server.Requests().back()), "TEARDOWN");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SilentTeardownTest,
    ::testing::Values(SilentTeardownCase{"RtpOverUdp", kRtpOverUdp, false},
                      SilentTeardownCase{"RtpOverTcp", kRtpOverTcp, true},
                      SilentTeardownCase{"RtpOverRtsp", kRtpOverRtsp, true}),
    [](const ::testing::TestParamInfo<SilentTeardownCase>& info) {
      return std::string(info.param.name);
    });

TEST(BaseRtspClientCloseTest, TeardownAfterAFailedSetupIsCutShortByAStop) {
  // SETUP is refused, so the thread sends TEARDOWN on its own and waits the whole request
  // time-out for it; a stop that comes meanwhile ends that wait within its own bound.
  ScriptedServer server;
  const uint16_t port = server.Port();
  server.Serve([port](const std::string& r, size_t) {
    if (MethodOf(r) == "SETUP") {
      ScriptedReply reply;
      reply.bytes = Response(CSeqOf(r), "", "", "461 Unsupported Transport");
      return reply;
    }
    return MethodOf(r) == "TEARDOWN" ? ScriptedReply{} : CameraReply(r, port);
  });
  RTSPClientParams params = TestParams(port);
  params.ReceiveTimeoutMs = 5000;
  params.SendTimeoutMs = 5000;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(params, nullptr, kRtpOverUdp));
  ASSERT_TRUE(server.WaitForRequests(3, 5s));
  std::this_thread::sleep_for(1200ms);
  EXPECT_TRUE(client.IsRunning());  // still waiting for the TEARDOWN answer: no stop yet
  const auto start = Clock::now();
  client.Close();
  const auto took = ElapsedSince(start);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_EQ(MethodOf(server.Requests().back()), "TEARDOWN");
}

TEST(BaseRtspClientCloseTest, AfterTheThreadEndedOnItsOwn) {
  ScriptedServer server;
  server.Serve([](const std::string& r, size_t) {
    ScriptedReply reply;
    reply.bytes = Response(CSeqOf(r), "", "", "404 Not Found");
    return reply;
  });
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(TestParams(server.Port()), nullptr, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return !client.IsRunning(); }, 5s));
  const auto start = Clock::now();
  client.Close();
  EXPECT_LT(ElapsedSince(start), 500ms);
  EXPECT_TRUE(server.WaitForClose(5s));  // the connection is closed by Close()
}

TEST(BaseRtspClientCloseTest, ClosedConnectionMidSessionDoesNotRaiseSigpipe) {
  // The camera hangs up after PLAY: later keep-alives and TEARDOWN fail quietly.
  ScriptedServer server;
  const uint16_t port = server.Port();
  server.Serve([port](const std::string& r, size_t) {
    ScriptedReply reply = CameraReply(r, port, ";timeout=2");
    reply.close_after = MethodOf(r) == "PLAY";
    return reply;
  });
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(TestParams(port), nullptr, kRtpOverUdp));
  ASSERT_TRUE(server.WaitForClose(5s));
  std::this_thread::sleep_for(2500ms);  // a keep-alive check against the dead connection
  EXPECT_TRUE(client.IsRunning());
  const auto start = Clock::now();
  client.Close();
  EXPECT_LT(ElapsedSince(start), std::chrono::milliseconds(client.CloseTimeoutMs()));
}

}  // namespace
}  // namespace korvane
