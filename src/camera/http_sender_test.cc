#include "camera/http_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "base/testing/recording_debug_message.h"
#include "camera/http_utils.h"
#include "camera/testing/camera_test_util.h"
#include "camera/testing/scripted_http_server.h"

// Transport behaviour of CHttpSender: bodies, time-outs, connection reuse, request forms.
namespace korvane {
namespace {

using testing::LoopbackDevice;
using testing::MeasureMs;
using testing::ScriptedHttpServer;
using testing::ScriptedReply;
using testing::ScriptedRequest;

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

// A port on 127.0.0.1 where nobody listens: one the system just gave a listener, now closed.
uint16_t ClosedPort() { return testing::ScriptedTcpServer().Port(); }

TEST(HttpSenderTest, BodyWithoutContentLengthIsReadToItsEnd) {
  const std::string body = Pattern(100000);  // many 8 KiB chunks
  ScriptedHttpServer server([&body](const ScriptedRequest&) {
    return ScriptedReply::Status(200, "OK", {}, body, /*withContentLength=*/false);
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::string text;
  ASSERT_TRUE(RequestGetText(sender, text, "/a"));
  EXPECT_EQ(sender.ContentLength(), 0u);
  EXPECT_EQ(text, body);
}

TEST(HttpSenderTest, ReplyOfTheWholeCapIsReadWhole) {
  const std::string body = Pattern(Web::CHttpSender::kMaxBodyBytes);
  ScriptedHttpServer server([&body](const ScriptedRequest&) { return ScriptedReply::Ok(body); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::string text;
  ASSERT_TRUE(RequestGetText(sender, text, "/cgi-bin/Param.cgi?action=list"));
  EXPECT_EQ(sender.ContentLength(), body.size());
  EXPECT_TRUE(text == body);
}

// A wanted body over the cap is a failed request with its own code, and a log line; never a
// reply cut at the cap.
TEST(HttpSenderTest, WantedBodyOverTheCapFailsAndIsLogged) {
  constexpr size_t kCap = 10000;
  struct Case {
    size_t size;
    bool withContentLength;
    uint32_t code;
  } cases[] = {
      {kCap, true, kRequestOk},
      {kCap, false, kRequestOk},
      {kCap + 1, true, kRequestResponseTooLarge},
      {kCap + 1, false, kRequestResponseTooLarge},
      {5 * kCap, false, kRequestResponseTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << (c.withContentLength ? " with" : " without")
                                      << " Content-Length");
    const std::string body = Pattern(c.size);
    ScriptedHttpServer server([&](const ScriptedRequest&) {
      return ScriptedReply::Status(200, "OK", {}, body, c.withContentLength);
    });
    Web::CHttpSender sender(LoopbackDevice(server.port(), "admin", "secret-password"));
    CRecordingDebugMessage log;
    sender.SetLogger(&log);
    sender.SetMaxBodyBytesForTesting(kCap);
    CResultDef result;
    std::vector<uint8_t> read;
    HUtils::RequestGetRD("/cgi-bin/Param.cgi?action=list", sender, result, read, true);
    EXPECT_EQ(result.code, c.code) << result.text;
    EXPECT_EQ(sender.QueryDataAvailable(), 0u) << "the sender keeps no copy after the request";
    if (c.code == kRequestOk) {
      EXPECT_EQ(read.size(), c.size);
      EXPECT_TRUE(log.Lines().empty());
      continue;
    }
    EXPECT_TRUE(read.empty());
    EXPECT_NE(result.text.find("too large"), std::string::npos) << result.text;
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, kLogError);
    EXPECT_NE(lines[0].text.find("longer than 10000 bytes"), std::string::npos) << lines[0].text;
    EXPECT_NE(lines[0].text.find("action=list"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find("secret-password"), std::string::npos);
  }
}

// A 200 that announces 500 MB (the answer that once drove the host to 500 MB) costs nothing
// when nobody reads the body: it is dropped as it arrives and the transfer stops at the cap.
TEST(HttpSenderTest, UnreadHugeBodyIsDroppedAndCutOff) {
  std::atomic<size_t> pushed{0};
  ScriptedHttpServer server([&pushed](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 500000000\r\n\r\n";
    reply.stream = [&pushed](std::string& out) {
      out.assign(256 * 1024, 'x');
      pushed += out.size();
      return true;
    };
    reply.stream_limit = 32u << 20;
    return reply;
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/cgi-bin/Param.cgi?action=update&video.codec=3", sender));
  EXPECT_EQ(sender.StatusCode(), 200u);
  EXPECT_EQ(sender.QueryDataAvailable(), 0u);
  std::vector<uint8_t> body;
  EXPECT_EQ(sender.ReadResponse(body), 0u);
  EXPECT_LT(pushed.load(), size_t{32} << 20) << "the transfer ended long before the stream did";
}

TEST(HttpSenderTest, UnreadSmallBodyKeepsTheConnection) {
  ScriptedHttpServer server(
      [](const ScriptedRequest&) { return ScriptedReply::Ok(Pattern(50000)); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/a", sender));
  EXPECT_EQ(sender.QueryDataAvailable(), 0u);
  EXPECT_TRUE(RequestGet("/b", sender));
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(HttpSenderTest, BodyCutShortIsNotHandedOnAsWhole) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part of it";
    reply.close_after = true;
    return reply;
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD("/a", sender, result, body, true);
  EXPECT_EQ(result.code, 12u);
  EXPECT_TRUE(body.empty());
}

TEST(HttpSenderTest, ChunkedBodyIsDecoded) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.bytes =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n";
    return reply;
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::string text;
  ASSERT_TRUE(RequestGetText(sender, text, "/a"));
  EXPECT_EQ(text, "hello, world");
}

TEST(HttpSenderTest, ServerThatNeverAnswersFailsWithinTheTimeout) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::NeverAnswer(); });
  constexpr uint32_t kTimeoutMs = 600;
  Web::CHttpSender sender(LoopbackDevice(server.port(), "admin", "secret", kTimeoutMs));
  bool ok = true;
  const int64_t elapsed = MeasureMs([&] { ok = RequestGet("/a", sender); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(sender.StatusCode(), 0u);
  EXPECT_GE(elapsed, kTimeoutMs - 50);
  EXPECT_LT(elapsed, kTimeoutMs + 4000) << "bound: one request time-out, with a margin";
}

TEST(HttpSenderTest, TricklingServerIsCutOffByTheWholeRequestBound) {
  // One byte every 10 ms keeps every single read well inside the time-out; only the bound on
  // the whole request can end it (the answer would take minutes).
  ScriptedHttpServer server([](const ScriptedRequest&) {
    ScriptedReply reply = ScriptedReply::Ok(std::string(20000, 'x'));
    reply.byte_interval_ms = 10;
    return reply;
  });
  constexpr uint32_t kTimeoutMs = 1000;
  Web::CHttpSender sender(LoopbackDevice(server.port(), "admin", "secret", kTimeoutMs));
  std::string text;
  bool ok = true;
  const int64_t elapsed = MeasureMs([&] { ok = RequestGetText(sender, text, "/a"); });
  EXPECT_FALSE(ok);
  EXPECT_TRUE(text.empty());
  EXPECT_GE(elapsed, kTimeoutMs * Web::CHttpSender::kWholeRequestTimeouts - 100);
  EXPECT_LT(elapsed, kTimeoutMs * Web::CHttpSender::kWholeRequestTimeouts + 4000);
}

TEST(HttpSenderTest, SlowButSteadyAnswerWithinTheBoundSucceeds) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    ScriptedReply reply = ScriptedReply::Ok("abcdefghij");
    reply.byte_interval_ms = 5;  // about 60 bytes: 0.3 s
    return reply;
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), "admin", "secret", 2000));
  std::string text;
  EXPECT_TRUE(RequestGetText(sender, text, "/a"));
  EXPECT_EQ(text, "abcdefghij");
}

TEST(HttpSenderTest, CloseWithoutAnswerFailsAtOnce) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    return ScriptedReply::CloseWithoutAnswer();
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  bool ok = true;
  const int64_t elapsed = MeasureMs([&] { ok = RequestGet("/a", sender); });
  EXPECT_FALSE(ok);
  EXPECT_LT(elapsed, 2500);
  EXPECT_FALSE(sender.ConnectFailed()) << "the camera was reached; it just did not answer";
}

TEST(HttpSenderTest, RefusedConnectionFails) {
  Web::CHttpSender sender(LoopbackDevice(ClosedPort()));
  EXPECT_FALSE(sender.ConnectFailed());
  EXPECT_FALSE(RequestGet("/a", sender));
  EXPECT_EQ(sender.StatusCode(), 0u);
  EXPECT_TRUE(sender.ConnectFailed());
}

// What the sender says when a request gives no usable answer: the step and the camera's side
// of it, never the login.
TEST(HttpSenderTest, FailureNamesTheStepAndNeverTheLogin) {
  struct Case {
    const char* name;
    ScriptedReply reply;
    const char* user;
    const char* text;  // the expected reason after "127.0.0.1:<port>"; empty: none
  };
  const std::string digest = "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n1\"";
  const Case cases[] = {
      {"WrongPassword", ScriptedReply::Status(401, "Unauthorized", {digest}), "admin",
       " refused the user name and password (401, offers Digest)"},
      {"NoUserName", ScriptedReply::Status(401, "Unauthorized", {"WWW-Authenticate: Basic x"}),
       "", " asks for a login (401, offers Basic) and no user name is set"},
      {"Forbidden", ScriptedReply::Status(403, "Forbidden"), "admin",
       " forbids this user \"/cgi-bin/Param.cgi\" (403)"},
      {"OtherStatus", ScriptedReply::Status(400, "Bad", {}, "Error: video.resolution\r\n"),
       "admin", " answered \"/cgi-bin/Param.cgi\" with status 400 \"Error: video.resolution\""},
      {"NoAnswer", ScriptedReply::CloseWithoutAnswer(), "admin",
       " gave no answer to \"/cgi-bin/Param.cgi\" within 5000 ms"},
      {"Success", ScriptedReply::Ok("Success"), "admin", ""},
  };
  for (const Case& c : cases) {
    ScriptedHttpServer server([&c](const ScriptedRequest&) { return c.reply; });
    Web::CHttpSender sender(LoopbackDevice(server.port(), c.user, "pw-secret"));
    CResultDef result;
    std::vector<uint8_t> body;  // read, as the encoder request does
    HUtils::RequestGetRD("/cgi-bin/Param.cgi?action=update&video.codec=3", sender, result, body,
                         /*readBody=*/true);
    const std::string where = "127.0.0.1:" + std::to_string(server.port());
    const std::string expected = *c.text == '\0' ? "" : where + c.text;
    EXPECT_EQ(sender.Failure().Detail(), expected) << c.name;
    EXPECT_EQ(sender.Failure().Text().find("pw-secret"), std::string::npos) << c.name;
  }
  const uint16_t closed = ClosedPort();
  Web::CHttpSender refused(LoopbackDevice(closed));
  EXPECT_FALSE(RequestGet("/a", refused));
  EXPECT_EQ(refused.Failure().Text(),
            "http-connect: 127.0.0.1:" + std::to_string(closed) + ": connection refused");
}

TEST(HttpSenderTest, ConnectFailureIsForgottenByTheNextSend) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  korvane::DEVICE_INFO device = LoopbackDevice(ClosedPort());
  Web::CHttpSender refused(device);
  EXPECT_FALSE(RequestGet("/a", refused));
  EXPECT_TRUE(refused.ConnectFailed());
  EXPECT_FALSE(RequestGet("", refused)) << "refused before any connection attempt";
  EXPECT_FALSE(refused.ConnectFailed());
  Web::CHttpSender reached(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/a", reached));
  EXPECT_FALSE(reached.ConnectFailed());
}

TEST(HttpSenderTest, AbortCheckEndsAWaitEarly) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::NeverAnswer(); });
  Web::CHttpSender sender(LoopbackDevice(server.port(), "admin", "secret", 20000));
  const auto start = std::chrono::steady_clock::now();
  sender.SetAbortCheck(
      [start] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(200); });
  bool ok = true;
  const int64_t elapsed = MeasureMs([&] { ok = RequestGet("/a", sender); });
  EXPECT_FALSE(ok);
  EXPECT_LT(elapsed, 3000);
}

TEST(HttpSenderTest, OneConnectionServesEveryRequest) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(RequestGet("/a", sender));
  EXPECT_EQ(server.Requests().size(), 5u);
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(HttpSenderTest, SenderRecoversAfterTheServerDroppedTheConnection) {
  std::atomic<int> count{0};
  ScriptedHttpServer server([&count](const ScriptedRequest&) {
    ScriptedReply reply = ScriptedReply::Ok("x");
    reply.close_after = ++count == 1;  // the first answer closes its connection
    return reply;
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/a", sender));
  EXPECT_TRUE(RequestGet("/b", sender));
  EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST(HttpSenderTest, RequestGoesOutAsGiven) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  const std::string path = "/cgi-bin/Param.cgi?action=update&video.codec=h264&video.bitrate=2048";
  EXPECT_TRUE(RequestGet(path, sender));
  EXPECT_TRUE(RequestGet("/cnb-cgi/ptzCtl?cmd=3&id=1&ps=20&ts=0&pr=0", sender));
  EXPECT_TRUE(RequestGet("/a/../b?x=%41", sender));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].target, path);
  EXPECT_EQ(requests[0].Header("User-Agent"), "Korvane::HttpSender");
  EXPECT_EQ(requests[0].Header("Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_EQ(requests[1].target, "/cnb-cgi/ptzCtl?cmd=3&id=1&ps=20&ts=0&pr=0");
  EXPECT_EQ(requests[2].target, "/a/../b?x=%41");
}

TEST(HttpSenderTest, BytesThatCannotTravelRawAreEscaped) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/a?title=front door\r\nX: y#z", sender));
  ASSERT_EQ(server.Requests().size(), 1u);
  std::string target = server.Requests()[0].target;
  for (char& c : target) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(target, "/a?title=front%20door%0d%0ax:%20y%23z");
  EXPECT_EQ(server.Requests()[0].Header("X"), "");
}

TEST(HttpSenderTest, HeaderLinesAreAddedAndUnsafeOnesRefused) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  Web::HttpRequest request;
  request.object = "/a";
  request.headerLines = {"X-Camera-Test: 1", "User-Agent: other", "X-Title: Cam\xC3\xA9ra 2"};
  EXPECT_TRUE(sender.Send(request));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("X-Camera-Test"), "1");
  EXPECT_EQ(server.Requests()[0].Header("User-Agent"), "other");  // replaced, not doubled
  EXPECT_EQ(server.Requests()[0].Header("X-Title"), "Cam\xC3\xA9ra 2") << "UTF-8 bytes unchanged";

  request.headerLines = {"X-Evil: 1\r\nX-Injected: 2"};
  EXPECT_FALSE(sender.Send(request));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(HttpSenderTest, RequestsItCannotCarryAreRefused) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  Web::HttpRequest request;
  request.object = "";
  EXPECT_FALSE(sender.Send(request));
  request.object = "/a";
  request.verb = "";
  EXPECT_FALSE(sender.Send(request));
  request.verb = "GET";
  request.totalLength = 10;  // the rest of the body would follow later
  EXPECT_FALSE(sender.Send(request));
  request.totalLength = 0;
  request.flags |= Web::kRequestFlagNoResponseWait;
  EXPECT_FALSE(sender.Send(request));
  EXPECT_TRUE(server.Requests().empty());
}

TEST(HttpSenderTest, BadAddressesFailWithoutTraffic) {
  for (const char* address : {"", "bad host name", "127.0.0.1\r\nX: y", "[::1"}) {
    DEVICE_INFO device = LoopbackDevice(1);
    device.address = address;
    Web::CHttpSender sender(device);
    EXPECT_FALSE(RequestGet("/a", sender)) << address;
  }
  DEVICE_INFO device = LoopbackDevice(0);
  Web::CHttpSender sender(device);
  EXPECT_FALSE(RequestGet("/a", sender));
}

TEST(HttpSenderTest, ReadAvailableHandsOutTheBodyPieceByPiece) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("0123456789"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::vector<uint8_t> out{'z'};
  EXPECT_EQ(sender.ReadAvailable(out, 4, false), 0u) << "no request yet";
  Web::HttpRequest request;
  request.object = "/a";
  ASSERT_TRUE(sender.Send(request));
  EXPECT_EQ(sender.StatusCode(), 200u);
  EXPECT_EQ(sender.ContentLength(), 10u);
  EXPECT_EQ(sender.QueryDataAvailable(), 10u);
  EXPECT_EQ(sender.ReadAvailable(out, 4, false), 4u);
  EXPECT_EQ(std::string(out.begin(), out.end()), "z0123");
  EXPECT_EQ(sender.ReadAvailable(out, 0, false), 0u);
  EXPECT_EQ(sender.ReadAvailable(out, 100, true), 6u);
  EXPECT_EQ(std::string(out.begin(), out.end()), "456789");
  EXPECT_EQ(sender.QueryDataAvailable(), 0u);
  EXPECT_EQ(sender.ReadAvailable(out, 100, false), 0u);

  ASSERT_TRUE(sender.Send(request));
  sender.CloseRequest();
  EXPECT_EQ(sender.QueryDataAvailable(), 0u);
  std::vector<uint8_t> body;
  EXPECT_EQ(sender.ReadResponse(body), 0u);
}

TEST(HttpSenderTest, ReadResponseStopsAtContentLength) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("abcdef"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  Web::HttpRequest request;
  request.object = "/a";
  ASSERT_TRUE(sender.Send(request));
  std::vector<uint8_t> first;
  EXPECT_EQ(sender.ReadAvailable(first, 2, true), 2u);
  std::vector<uint8_t> rest{'x'};
  EXPECT_EQ(sender.ReadResponse(rest), 4u);
  EXPECT_EQ(std::string(rest.begin(), rest.end()), "cdef");
}

TEST(HttpSenderTest, ZeroTimeoutStillBoundsTheWait) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::NeverAnswer(); });
  DEVICE_INFO device = LoopbackDevice(server.port());
  device.requestTimeoutMs = 0;  // taken as the default, never as "wait for ever"
  Web::CHttpSender sender(device);
  bool ok = true;
  const int64_t elapsed = MeasureMs([&] { ok = RequestGet("/a", sender); });
  EXPECT_FALSE(ok);
  EXPECT_LT(elapsed, DEVICE_INFO::kDefaultRequestTimeoutMs + 4000);
}

}  // namespace
}  // namespace korvane
