#include "camera/http_utils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "camera/http_sender.h"
#include "camera/testing/camera_test_util.h"
#include "camera/testing/scripted_http_server.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

using testing::LoopbackDevice;
using testing::ScriptedHttpServer;
using testing::ScriptedReply;
using testing::ScriptedRequest;

constexpr char kPath[] = "/cgi-bin/Param.cgi?action=list";

std::string DeviceText(uint16_t port) { return FormatString("device 127.0.0.1:%u", port); }

TEST(RequestGetRDTest, SuccessLeavesCodeZeroAndReadsTheBody) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("a = 1\r\n"); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body{9, 9};
  HUtils::RequestGetRD(kPath, sender, result, body, true);
  EXPECT_EQ(result.code, 0u);
  EXPECT_EQ(result.severity, 3);
  EXPECT_EQ(result.text, "");
  EXPECT_EQ(std::string(body.begin(), body.end()), "a = 1\r\n");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].method, "GET");
  EXPECT_EQ(server.Requests()[0].target, kPath);
}

struct StatusCase {
  int status;
  const char* reason;
};

class RequestGetRDStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(RequestGetRDStatusTest, NonSuccessStatusGivesCode8WithItsText) {
  const StatusCase c = GetParam();
  ScriptedHttpServer server([c](const ScriptedRequest&) {
    return ScriptedReply::Status(c.status, c.reason, {"Location: /elsewhere"}, "body text");
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kPath, sender, result, body, true);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(result.severity, 1);
  EXPECT_EQ(result.text, "korvane::HUtils::RequestGetRD: " + DeviceText(server.port()) +
                             " does not process request \"" + kPath +
                             "\", status code = " + std::to_string(c.status));
  EXPECT_TRUE(body.empty()) << "the body of a failed request is not read";
  EXPECT_EQ(sender.StatusCode(), static_cast<uint32_t>(c.status));
  // Redirects are not followed: exactly one request reached the server.
  EXPECT_EQ(server.Requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RequestGetRDStatusTest,
                         ::testing::Values(StatusCase{302, "Found"},
                                           StatusCase{301, "Moved Permanently"},
                                           StatusCase{404, "Not Found"},
                                           StatusCase{500, "Internal Server Error"},
                                           StatusCase{199, "Odd"}, StatusCase{300, "Multiple"}));

TEST(RequestGetRDTest, NoAnswerGivesCode11WithItsText) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    return ScriptedReply::CloseWithoutAnswer();
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kPath, sender, result, body, true);
  EXPECT_EQ(result.code, 11u);
  EXPECT_EQ(result.severity, 4);
  EXPECT_EQ(result.text, "korvane::HUtils::RequestGetRD: cannot send request \"" +
                             std::string(kPath) + "\" to " + DeviceText(server.port()));
}

TEST(RequestGetRDTest, EmptyBodyWhenOneIsWantedGivesCode12WithItsText) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok(""); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kPath, sender, result, body, true);
  EXPECT_EQ(result.code, 12u);
  EXPECT_EQ(result.severity, 1);
  EXPECT_EQ(result.text, "korvane::HUtils::RequestGetRD: incorrect response for request \"" +
                             std::string(kPath) + "\" from " + DeviceText(server.port()));
  // Without reading the body, an empty 200 is a success.
  HUtils::RequestGetRD(kPath, sender, result, body, false);
  EXPECT_EQ(result.code, 0u);
}

TEST(RequestGetRDTest, ResultTextIsResetByTheNextCall) {
  std::atomic<bool> fail{true};
  ScriptedHttpServer server([&fail](const ScriptedRequest&) {
    return fail ? ScriptedReply::Status(500, "Error") : ScriptedReply::Ok("x");
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  CResultDef result;
  std::vector<uint8_t> body;
  EXPECT_EQ(HUtils::RequestGetRD(kPath, sender, result, body, true).code, 8u);
  fail = false;
  EXPECT_EQ(HUtils::RequestGetRD(kPath, sender, result, body, true).code, 0u);
  EXPECT_EQ(result.severity, 3);
  EXPECT_EQ(result.text, "");
}

TEST(RequestGetTest, TrueOnlyForSuccess) {
  std::atomic<int> status{200};
  ScriptedHttpServer server([&status](const ScriptedRequest&) {
    return ScriptedReply::Status(status.load(), "Whatever", {}, "");
  });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  EXPECT_TRUE(RequestGet("/cgi-bin/Param.cgi?action=update&video.framerate=15", sender));
  status = 204;
  EXPECT_TRUE(RequestGet("/a", sender));
  status = 403;
  EXPECT_FALSE(RequestGet("/a", sender));
  EXPECT_EQ(server.Requests()[0].target, "/cgi-bin/Param.cgi?action=update&video.framerate=15");
}

TEST(RequestGetTextTest, BodyBecomesTheTextByteForByte) {
  const std::string reply("k = v\r\n\x01\xfe\0tail", 14);
  ScriptedHttpServer server([&reply](const ScriptedRequest&) { return ScriptedReply::Ok(reply); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::string text = "old";
  EXPECT_TRUE(RequestGetText(sender, text, kPath));
  EXPECT_EQ(text, reply);
}

TEST(RequestGetTextTest, FailureEmptiesTheText) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok(""); });
  Web::CHttpSender sender(LoopbackDevice(server.port()));
  std::string text = "old";
  EXPECT_FALSE(RequestGetText(sender, text, kPath));
  EXPECT_EQ(text, "");
}

TEST(ResultDefTest, FormatsAnyLength) {
  CResultDef result;
  const std::string longText(5000, 'x');
  result.SetResultEx(2, 7, "%s: %s", "f", longText.c_str());
  EXPECT_EQ(result.severity, 2);
  EXPECT_EQ(result.code, 7u);
  EXPECT_EQ(result.text, "f: " + longText);
  result.SetResultEx(1, 3, nullptr);
  EXPECT_EQ(result.text, "");
  EXPECT_EQ(result.code, 3u);
}

TEST(ResultDefTest, UntrustedTextIsNeverAFormat) {
  CResultDef result;
  result.SetResultEx(1, 8, "%s", "%n%s%s%x");
  EXPECT_EQ(result.text, "%n%s%s%x");
}

}  // namespace
}  // namespace korvane
