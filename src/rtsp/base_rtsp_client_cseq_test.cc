// Matching answers to requests by CSeq, and the base URL a DESCRIBE answer names.
#include <gtest/gtest.h>

#include <string>

#include "base/testing/recording_debug_message.h"
#include "rtsp/base_rtsp_client.h"
#include "rtsp/testing/base_rtsp_client_test_util.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::CameraReply;
using testing::CSeqOf;
using testing::MethodOf;
using testing::RecordingUser;
using testing::ScriptedReply;
using testing::ScriptedServer;
using testing::TestParams;
using testing::WaitUntil;

TEST(BaseRtspClientCSeqTest, WhichMessageAnswersTheRequest) {
  struct Case {
    const char* message;
    uint32_t cseq;
    bool camera_echoes;
    bool answer;
  };
  const Case cases[] = {
      {"RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n", 3, true, true},
      {"RTSP/1.0 200 OK\r\nServer: x\r\ncseq:  3\r\n\r\n", 3, true, true},
      {"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", 3, true, false},   // duplicate or late answer
      {"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", 3, false, true},   // camera with its own numbers
      {"RTSP/1.0 200 OK\r\nSession: 1\r\n\r\n", 3, true, true}, // no CSeq at all
      {"RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n", 3, true, true},    // left to the parser to refuse
      {"RTSP/1.0 200 OK\r\n\r\nCSeq: 2\r\n", 3, true, true},    // a body line is no header
      {"garbage\r\n\r\n", 3, true, true},                       // not a request either
      {"ANNOUNCE rtsp://cam/live RTSP/1.0\r\nCSeq: 3\r\n\r\n", 3, true, false},
      {"GET_PARAMETER rtsp://cam/live RTSP/1.0\r\nCSeq: 3\r\n\r\n", 3, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CBaseRTSPClient::IsAnswerTo(c.message, c.cseq, c.camera_echoes), c.answer)
        << c.message << " to " << c.cseq << (c.camera_echoes ? ", echoing" : "");
  }
}

// What comes before the camera's answer to SETUP, and whether SETUP then succeeds.
TEST(BaseRtspClientCSeqTest, StrayMessagesBeforeTheSetupAnswer) {
  struct Case {
    const char* name;
    std::string before;
    uint32_t strays;
    bool setup_ok;
  };
  const std::string duplicate = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: stray\r\n\r\n";
  std::string eight;
  for (int i = 0; i < 8; ++i) eight += duplicate;
  const Case cases[] = {
      {"one duplicate of the DESCRIBE answer", duplicate, 1, true},
      {"a request of the server",
       "GET_PARAMETER rtsp://127.0.0.1/live RTSP/1.0\r\nCSeq: 7\r\nContent-Length: 0\r\n\r\n", 1,
       true},
      {"eight strays", eight, 8, true},
      // The SETUP answer behind them then reaches TEARDOWN as a late answer: a tenth stray.
      {"nine strays fail the request", eight + duplicate, 10, false},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    const uint16_t port = server.Port();
    server.Serve([&c, port](const std::string& r, size_t) {
      ScriptedReply reply = CameraReply(r, port);
      if (MethodOf(r) == "SETUP") reply.bytes = c.before + reply.bytes;
      return reply;
    });
    CRecordingDebugMessage log;
    RecordingUser user;
    CBaseRTSPClient client(&log);
    ASSERT_TRUE(client.Start(TestParams(port), &user, kRtpOverUdp)) << c.name;
    ASSERT_TRUE(server.WaitForRequests(3, 5s)) << c.name;
    client.Close();
    const auto requests = server.Requests();
    // A stray answer never reaches the record: no request carries its session.
    const std::string third = requests[2];
    if (c.setup_ok) {
      EXPECT_EQ(MethodOf(third), "PLAY") << c.name;
      EXPECT_EQ(CSeqOf(third), 3u) << c.name;
      EXPECT_NE(third.find("Session: 12345678\r\n"), std::string::npos) << c.name << third;
    } else {
      EXPECT_EQ(MethodOf(third), "TEARDOWN") << c.name;
      EXPECT_EQ(third.find("Session:"), std::string::npos) << c.name << third;
    }
    // Close may cut the wait for the PLAY answer short; TEARDOWN then skips it as one more.
    EXPECT_GE(client.StrayAnswers(), c.strays) << c.name;
    EXPECT_LE(client.StrayAnswers(), c.strays + 1) << c.name;
    EXPECT_EQ(log.Lines().size(), 1u) << c.name;  // once per session, however many
  }
}

TEST(BaseRtspClientCSeqTest, RelativeContentBaseIsResolvedAgainstTheDescribeUrl) {
  ScriptedServer server;
  const uint16_t port = server.Port();
  server.Serve([port](const std::string& r, size_t) {
    ScriptedReply reply = CameraReply(r, port);
    if (MethodOf(r) == "DESCRIBE") {
      const std::string from = "Content-Base: rtsp://127.0.0.1:" + std::to_string(port) + "/live/";
      reply.bytes.replace(reply.bytes.find(from), from.size(), "content-base: /media/main/");
    }
    return reply;
  });
  RecordingUser user;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.Start(TestParams(port), &user, kRtpOverUdp));
  ASSERT_TRUE(server.WaitForRequests(3, 5s));
  client.Close();
  const std::string base = "rtsp://127.0.0.1:" + std::to_string(port) + "/media/main/";
  EXPECT_EQ(server.Requests()[1].rfind("SETUP " + base + "trackID=1 RTSP/1.0\r\n", 0), 0u)
      << server.Requests()[1];
  EXPECT_EQ(server.Requests()[2].rfind("PLAY " + base + " RTSP/1.0\r\n", 0), 0u)
      << server.Requests()[2];
}

}  // namespace
}  // namespace korvane
