#include "rtsp/base_rtsp_client.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rtsp/testing/base_rtsp_client_test_util.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::CameraReply;
using testing::CSeqOf;
using testing::MethodOf;
using testing::RecordingUser;
using testing::Response;
using testing::ScriptedReply;
using testing::ScriptedServer;
using testing::TestParams;
using testing::WaitUntil;

// ---------------------------------------------------------------------------------------------
// URL, transport and authorization rules

TEST(BaseRtspClientUrlTest, BaseUrlFromConfiguredAddressAndPath) {
  struct Case {
    const char* name;
    std::string content_base;
    std::string path;
    std::string expected;
  } cases[] = {
      {"plain path", "", "live", "rtsp://cam:554/live"},
      {"leading slashes collapse", "", "///live/main", "rtsp://cam:554/live/main"},
      {"empty path ends in slash", "", "", "rtsp://cam:554/"},
      {"only slashes", "", "//", "rtsp://cam:554/"},
      {"content base wins", "rtsp://10.0.0.9/x/", "live", "rtsp://10.0.0.9/x/"},
      {"content base without scheme ignored", "/x/", "live", "rtsp://cam:554/live"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CBaseRTSPClient::MakeBaseUrl(c.content_base, "cam", 554, c.path), c.expected)
        << c.name;
  }
}

TEST(BaseRtspClientUrlTest, ControlUrlAgainstBase) {
  struct Case {
    const char* name;
    std::string base;
    std::string control;
    std::string expected;
  } cases[] = {
      {"relative on slash base", "rtsp://cam:554/live/", "trackID=1",
       "rtsp://cam:554/live/trackID=1"},
      {"relative on bare base", "rtsp://cam:554/live", "trackID=1",
       "rtsp://cam:554/live/trackID=1"},
      {"leading slash", "rtsp://cam:554/live/", "/trackID=1", "rtsp://cam:554/live/trackID=1"},
      {"absolute unchanged", "rtsp://cam:554/live/", "rtsp://other/stream=0",
       "rtsp://other/stream=0"},
      {"empty is base", "rtsp://cam:554/live/", "", "rtsp://cam:554/live/"},
      {"aggregate star", "rtsp://cam:554/live/", "*", "rtsp://cam:554/live/*"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CBaseRTSPClient::MakeControlUrl(c.base, c.control), c.expected) << c.name;
  }
}

TEST(BaseRtspClientUrlTest, TransportLineByMode) {
  struct Case {
    const char* name;
    std::string profile;
    TransportMode mode;
    std::string expected;
  } cases[] = {
      {"udp default", "", kRtpOverUdp, "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\n"},
      {"udp sdp profile", "RTP/AVP", kRtpOverUdp,
       "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"},
      {"tcp default", "", kRtpOverTcp, "Transport: RTP/AVP/TCP;unicast;client_port=3556-3557;interleaved=0-1\r\n"},
      {"rtsp default", "", kRtpOverRtsp, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
      {"rtsp sdp tcp", "RTP/AVP/TCP", kRtpOverRtsp, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
      // An interleaved session must ask for TCP: "RTP/AVP" alone means UDP (RFC 2326 12.39).
      {"rtsp sdp udp", "RTP/AVP", kRtpOverRtsp, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
      {"tcp sdp udp", "RTP/AVP", kRtpOverTcp,
       "Transport: RTP/AVP/TCP;unicast;client_port=3556-3557;interleaved=0-1\r\n"},
      {"rtsp sdp savp", "RTP/SAVP", kRtpOverRtsp,
       "Transport: RTP/SAVP/TCP;unicast;interleaved=0-1\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CBaseRTSPClient::MakeTransportLine(c.profile, c.mode, 3556, 3557), c.expected)
        << c.name;
  }
}

TEST(BaseRtspClientAuthTest, DigestLineMatchesRfc2069Example) {
  // RFC 2069 section 2.4: the example request and its response digest.
  EXPECT_EQ(
      CBaseRTSPClient::MakeDigestLine("GET", "Mufasa", "CircleOfLife", "testrealm@host.com",
                                      "dcd98b7102dd2f0e8b11d0f600bfb0c093", "/dir/index.html"),
      "Authorization: Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
      "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
      "response=\"1949323746fe6a43ef61f9606e7febea\"\r\n");
}

TEST(BaseRtspClientAuthTest, DigestLineNeedsEveryValue) {
  const std::string values[] = {"DESCRIBE", "user", "pass", "realm", "nonce", "rtsp://h/"};
  for (int missing = 0; missing < 6; ++missing) {
    std::string v[6];
    for (int i = 0; i < 6; ++i) v[i] = i == missing ? std::string() : values[i];
    EXPECT_EQ(CBaseRTSPClient::MakeDigestLine(v[0], v[1], v[2], v[3], v[4], v[5]), "")
        << "missing value " << missing;
  }
}

TEST(BaseRtspClientReadTest, ExpectedLengthFromHeaderBlock) {
  struct Case {
    const char* name;
    std::string header;
    std::optional<size_t> body;  // expected body length; nullopt: refused
  } cases[] = {
      {"no length", "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n", 0},
      {"length", "RTSP/1.0 200 OK\r\nContent-Length: 120\r\n\r\n", 120},
      {"lower case, no blank", "RTSP/1.0 200 OK\r\ncontent-length:7\r\n\r\n", 7},
      {"at the cap", "RTSP/1.0 200 OK\r\nContent-Length: 1048576\r\n\r\n", 1048576},
      {"over the cap", "RTSP/1.0 200 OK\r\nContent-Length: 1048577\r\n\r\n", std::nullopt},
      {"two gigabytes", "RTSP/1.0 200 OK\r\nContent-Length: 2147483648\r\n\r\n", std::nullopt},
      {"beyond 64 bits", "RTSP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       std::nullopt},
      {"negative", "RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", std::nullopt},
      {"not a number", "RTSP/1.0 200 OK\r\nContent-Length: ten\r\n\r\n", std::nullopt},
      {"name as tail of another", "RTSP/1.0 200 OK\r\nX-Content-Length: 99\r\n\r\n", 0},
  };
  for (const Case& c : cases) {
    const auto total = CBaseRTSPClient::ExpectedResponseLength(c.header);
    if (c.body) {
      ASSERT_TRUE(total.has_value()) << c.name;
      EXPECT_EQ(*total, c.header.size() + *c.body) << c.name;
    } else {
      EXPECT_FALSE(total.has_value()) << c.name;
    }
  }
}

TEST(BaseRtspClientKeepAliveTest, IntervalIsHalfTheSessionTimeout) {
  struct Case {
    int32_t session_timeout_s;
    uint32_t default_period_s;
    uint64_t expected_ms;
  } cases[] = {
      {20, 60, 10000},  // the camera's timeout decides
      {0, 60, 30000},   // none given: the default period
      {-5, 60, 30000},  // nonsense counts as none
      {6, 60, 3000},
      {1, 60, 500},
      {0, 0, 0},  // no period at all: every check sends one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CBaseRTSPClient::KeepAliveIntervalMs(c.session_timeout_s, c.default_period_s),
              c.expected_ms)
        << c.session_timeout_s << " s, default " << c.default_period_s << " s";
  }
}

TEST(BaseRtspClientRequestTest, UnknownKindGivesNoText) {
  CBaseRTSPClient client(nullptr);
  EXPECT_EQ(client.BuildRequest(static_cast<RequestKind>(9)), "");
  // The unknown kind does not count as a request.
  EXPECT_EQ(client.BuildRequest(RequestKind::kOptions).find("CSeq: 1\r\n") != std::string::npos,
            true);
}

// ---------------------------------------------------------------------------------------------
// Whole sessions against a scripted camera

class BaseRtspClientSessionTest : public ::testing::Test {
 protected:
  // Starts the client against the server with `mode`; the server runs `script`.
  void StartSession(ScriptedServer::Script script, TransportMode mode = kRtpOverUdp) {
    server_.Serve(std::move(script));
    params_ = TestParams(server_.Port());
    ASSERT_TRUE(client_.Start(params_, &user_, mode));
  }
  std::string Request(size_t index) {
    const auto requests = server_.Requests();
    return index < requests.size() ? requests[index] : std::string();
  }

  ScriptedServer server_;
  RecordingUser user_;
  CBaseRTSPClient client_{nullptr};
  RTSPClientParams params_;
};

TEST_F(BaseRtspClientSessionTest, FullSessionOverUdpSendsTheExactRequests) {
  const uint16_t port = server_.Port();
  StartSession([port](const std::string& r, size_t) { return CameraReply(r, port); });
  ASSERT_TRUE(server_.WaitForRequests(3, 5s));
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(port) + "/live";

  EXPECT_EQ(Request(0), "DESCRIBE " + base +
                            " RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: Korvane\r\n"
                            "Accept: application/sdp\r\n\r\n");
  EXPECT_EQ(Request(1), "SETUP " + base +
                            "/trackID=1 RTSP/1.0\r\nCSeq: 2\r\nUser-Agent: Korvane\r\n"
                            "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n");
  // After DESCRIBE every request goes to the Content-Base the camera named.
  EXPECT_EQ(Request(2), "PLAY " + base +
                            "/ RTSP/1.0\r\nCSeq: 3\r\nUser-Agent: Korvane\r\n"
                            "Session: 12345678\r\nRange: npt=0.000-\r\n\r\n");
  ASSERT_EQ(user_.Configs(), 1);
  const DecoderConfig config = user_.LastConfig();
  ASSERT_FALSE(config.Sps.empty());
  ASSERT_FALSE(config.Pps.empty());
  EXPECT_EQ(config.Sps[0], 0x67);  // NAL header: SPS
  EXPECT_EQ(config.Pps[0], 0x68);  // NAL header: PPS

  client_.Close();
  EXPECT_FALSE(client_.IsRunning());
  ASSERT_TRUE(server_.WaitForClose(5s));
  const auto requests = server_.Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(requests.back(), "TEARDOWN " + base +
                                 "/ RTSP/1.0\r\nCSeq: " + std::to_string(requests.size()) +
                                 "\r\nUser-Agent: Korvane\r\nSession: 12345678\r\n\r\n");
}

TEST_F(BaseRtspClientSessionTest, CameraNumberingItsOwnWayKeepsOurCounter) {
  const uint16_t port = server_.Port();
  StartSession([port](const std::string& r, size_t index) {
    ScriptedReply reply = CameraReply(r, port);
    if (index == 0) {
      // A camera that numbers its answers its own way.
      const std::string from = "CSeq: 1\r\n";
      reply.bytes.replace(reply.bytes.find(from), from.size(), "CSeq: 41\r\n");
    }
    return reply;
  });
  ASSERT_TRUE(server_.WaitForRequests(3, 5s));
  EXPECT_EQ(CSeqOf(Request(1)), 2u);
  // Its answer to DESCRIBE was still taken: SETUP went to the control URL and PLAY followed.
  EXPECT_EQ(MethodOf(Request(1)), "SETUP");
  EXPECT_NE(Request(1).find("/live/trackID=1 "), std::string::npos) << Request(1);
  EXPECT_EQ(MethodOf(Request(2)), "PLAY");
}

TEST_F(BaseRtspClientSessionTest, DigestChallengeIsAnsweredOnceWithCSeq2) {
  const uint16_t port = server_.Port();
  server_.Serve([port](const std::string& r, size_t) {
    if (r.find("Authorization: Digest") == std::string::npos) {
      ScriptedReply reply;
      reply.bytes =
          Response(CSeqOf(r),
                   "WWW-Authenticate: Digest realm=\"GStreamer RTSP Server\", nonce=\"abc123\"\r\n",
                   "", "401 Unauthorized");
      return reply;
    }
    return CameraReply(r, port);
  });
  RTSPClientParams params = TestParams(port);
  params.UserName = "user";
  params.Password = "pass";
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(server_.WaitForRequests(4, 5s));
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/live";
  const std::string second = Request(1);
  EXPECT_EQ(MethodOf(second), "DESCRIBE");
  EXPECT_EQ(CSeqOf(second), 2u);
  const std::string expected_line = CBaseRTSPClient::MakeDigestLine(
      "DESCRIBE", "user", "pass", "GStreamer RTSP Server", "abc123", url);
  EXPECT_NE(second.find(expected_line), std::string::npos) << second;
  EXPECT_NE(second.find("uri=\"" + url + "\""), std::string::npos);
  // SETUP signs its own method, with the base URL as the digest URI.
  const std::string setup = Request(2);
  EXPECT_EQ(MethodOf(setup), "SETUP");
  EXPECT_NE(setup.find(CBaseRTSPClient::MakeDigestLine(
                "SETUP", "user", "pass", "GStreamer RTSP Server", "abc123", url + "/")),
            std::string::npos)
      << setup;
  EXPECT_EQ(user_.Configs(), 1);
}

TEST_F(BaseRtspClientSessionTest, BasicChallengeSendsCredentials) {
  const uint16_t port = server_.Port();
  server_.Serve([port](const std::string& r, size_t) {
    if (r.find("Authorization: Basic dXNlcjpwYXNz\r\n") == std::string::npos) {
      ScriptedReply reply;
      reply.bytes =
          Response(CSeqOf(r), "WWW-Authenticate: Basic realm=\"cam\"\r\n", "", "401 Unauthorized");
      return reply;
    }
    return CameraReply(r, port);
  });
  RTSPClientParams params = TestParams(port);
  params.UserName = "user";
  params.Password = "pass";
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(server_.WaitForRequests(4, 5s));
  EXPECT_EQ(CSeqOf(Request(1)), 2u);
  EXPECT_EQ(MethodOf(Request(2)), "SETUP");
  EXPECT_EQ(MethodOf(Request(3)), "PLAY");
}

TEST_F(BaseRtspClientSessionTest, WrongCredentialsEndTheThreadWithoutTeardown) {
  server_.Serve([](const std::string& r, size_t) {
    ScriptedReply reply;
    reply.bytes = Response(CSeqOf(r), "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"\r\n",
                           "", "401 Unauthorized");
    return reply;
  });
  RTSPClientParams params = TestParams(server_.Port());
  params.UserName = "user";
  params.Password = "wrong";
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsRunning(); }, 5s));
  client_.Close();
  ASSERT_TRUE(server_.WaitForClose(5s));
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);  // one retry, no SETUP, no TEARDOWN
  EXPECT_EQ(MethodOf(requests[1]), "DESCRIBE");
  EXPECT_NE(requests[1].find("Authorization: Digest"), std::string::npos);
  EXPECT_EQ(user_.Configs(), 0);
}

// Refused over UDP (461), the SETUP is asked again interleaved on the same connection; a second
// refusal ends the attempt.
TEST_F(BaseRtspClientSessionTest, FailedSetupIsTornDown) {
  const uint16_t port = server_.Port();
  StartSession([port](const std::string& r, size_t) {
    if (MethodOf(r) == "SETUP") {
      ScriptedReply reply;
      reply.bytes = Response(CSeqOf(r), "", "", "461 Unsupported Transport");
      return reply;
    }
    return CameraReply(r, port);
  });
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsRunning(); }, 5s));
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_NE(requests[2].find("RTP/AVP/TCP;unicast;interleaved=0-1"), std::string::npos);
  EXPECT_EQ(MethodOf(requests[3]), "TEARDOWN");
}

// The source the camera names in its SETUP reply reaches the user before PLAY goes out, so
// that a UDP receiver can lock onto it before the first packet; a refused SETUP names none.
TEST(BaseRtspClientSetupSsrcTest, UserLearnsTheAnnouncedSourceBeforePlay) {
  struct Case {
    const char* name;
    std::string transport;  // SETUP reply's Transport header, empty: SETUP refused
    std::vector<std::optional<uint32_t>> told;
  } cases[] = {
      {"announced", "Transport: RTP/AVP;unicast;client_port=5000-5001;ssrc=1A2B3C4D\r\n",
       {0x1A2B3C4Du}},
      {"not announced", "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n", {std::nullopt}},
      {"setup refused", "", {}},
  };
  for (const Case& c : cases) {
    // What the user had been told when PLAY arrived.
    std::vector<std::optional<uint32_t>> told_at_play;
    std::mutex mutex;
    RecordingUser user;
    ScriptedServer server;
    CBaseRTSPClient client(nullptr);
    const uint16_t port = server.Port();
    server.Serve([&, port](const std::string& r, size_t) {
      if (MethodOf(r) == "PLAY") {
        std::lock_guard<std::mutex> guard(mutex);
        told_at_play = user.SetupSsrcs();
      }
      if (MethodOf(r) != "SETUP") return CameraReply(r, port);
      ScriptedReply reply;
      reply.bytes = c.transport.empty()
                        ? Response(CSeqOf(r), "", "", "461 Unsupported Transport")
                        : Response(CSeqOf(r), c.transport + "Session: 12345678\r\n");
      return reply;
    });
    ASSERT_TRUE(client.Start(TestParams(port), &user, kRtpOverUdp)) << c.name;
    ASSERT_TRUE(server.WaitForRequests(3, 5s)) << c.name;
    client.Close();
    EXPECT_EQ(user.SetupSsrcs(), c.told) << c.name;
    if (!c.told.empty()) {
      std::lock_guard<std::mutex> guard(mutex);
      EXPECT_EQ(told_at_play, c.told) << c.name;
    }
  }
}

TEST_F(BaseRtspClientSessionTest, PauseAndPlayFollowTheEvents) {
  const uint16_t port = server_.Port();
  server_.Serve([port](const std::string& r, size_t) { return CameraReply(r, port); });
  RTSPClientParams params = TestParams(port);
  params.Range = "npt=5.000-";
  ASSERT_TRUE(client_.Start(params, &user_, kRtpOverUdp));
  ASSERT_TRUE(server_.WaitForRequests(3, 5s));  // DESCRIBE, SETUP, PLAY
  client_.Pause();
  ASSERT_TRUE(WaitUntil([&] { return client_.IsPaused(); }, 5s));
  client_.Play();
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsPaused(); }, 5s));
  // The flag turns before the PLAY goes out: a Close() right away could stop the request.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto requests = server_.Requests();
        return std::count_if(requests.begin(), requests.end(),
                             [](const std::string& r) { return MethodOf(r) == "PLAY"; }) == 2;
      },
      5s));
  client_.Close();
  // The server thread may still be reading the TEARDOWN when Close() returns; it has read
  // everything once it has seen the connection close.
  ASSERT_TRUE(server_.WaitForClose(5s));
  std::vector<std::string> methods;
  for (const auto& r : server_.Requests()) {
    if (MethodOf(r) != "OPTIONS") methods.push_back(MethodOf(r));
  }
  EXPECT_EQ(methods,
            (std::vector<std::string>{"DESCRIBE", "SETUP", "PLAY", "PAUSE", "PLAY", "TEARDOWN"}));
  for (const auto& r : server_.Requests()) {
    if (MethodOf(r) == "PAUSE" || MethodOf(r) == "PLAY") {
      EXPECT_NE(r.find("Session: 12345678\r\nRange: npt=5.000-\r\n\r\n"), std::string::npos) << r;
    }
  }
}

TEST_F(BaseRtspClientSessionTest, RefusedPauseKeepsPlaying) {
  const uint16_t port = server_.Port();
  StartSession([port](const std::string& r, size_t) {
    if (MethodOf(r) == "PAUSE") {
      ScriptedReply reply;
      reply.bytes = Response(CSeqOf(r), "", "", "455 Method Not Valid in This State");
      return reply;
    }
    return CameraReply(r, port);
  });
  ASSERT_TRUE(server_.WaitForRequests(3, 5s));
  client_.Pause();
  ASSERT_TRUE(server_.WaitForRequests(4, 5s));
  EXPECT_EQ(MethodOf(Request(3)), "PAUSE");
  EXPECT_FALSE(client_.IsPaused());
}

TEST_F(BaseRtspClientSessionTest, KeepAliveFollowsTheSessionTimeout) {
  const uint16_t port = server_.Port();
  // timeout=2: a keep-alive is due after 1 s, so every 2-s loop wait sends one.
  StartSession([port](const std::string& r, size_t) { return CameraReply(r, port, ";timeout=2"); });
  ASSERT_TRUE(server_.WaitForRequests(5, 10s));
  const auto requests = server_.Requests();
  EXPECT_EQ(MethodOf(requests[3]), "OPTIONS");
  EXPECT_EQ(MethodOf(requests[4]), "OPTIONS");
  EXPECT_NE(requests[3].find("Session: 12345678\r\n"), std::string::npos);
}

TEST_F(BaseRtspClientSessionTest, LongTimeoutSendsOneEarlyKeepAliveOnly) {
  const uint16_t port = server_.Port();
  // The first check (about 2 s after PLAY) sends one; the next is due only after 30 s.
  StartSession(
      [port](const std::string& r, size_t) { return CameraReply(r, port, ";timeout=60"); });
  ASSERT_TRUE(server_.WaitForRequests(4, 10s));
  EXPECT_EQ(MethodOf(Request(3)), "OPTIONS");
  std::this_thread::sleep_for(2500ms);  // past the next check, 2 s after the first one
  EXPECT_EQ(server_.RequestCount(), 4u);
}

TEST_F(BaseRtspClientSessionTest, RestartBeginsANewSession) {
  const uint16_t port = server_.Port();
  StartSession([port](const std::string& r, size_t) { return CameraReply(r, port); });
  ASSERT_TRUE(server_.WaitForRequests(3, 5s));
  client_.Close();
  ASSERT_TRUE(server_.WaitForClose(5s));

  ScriptedServer second;
  const uint16_t port2 = second.Port();
  second.Serve([port2](const std::string& r, size_t) { return CameraReply(r, port2); });
  ASSERT_TRUE(client_.Start(TestParams(port2), &user_, kRtpOverUdp));
  ASSERT_TRUE(second.WaitForRequests(1, 5s));
  const std::string first = second.Requests()[0];
  // Counter and base URL were reset: the first request goes to the configured address again.
  EXPECT_EQ(first.substr(0, first.find("\r\nUser")),
            "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port2) + "/live RTSP/1.0\r\nCSeq: 1");
  client_.Close();
}

}  // namespace
}  // namespace korvane
