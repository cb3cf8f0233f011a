// The camera HTTP client against cnb-camsim, the CNB camera simulator (libmicrohttpd with
// Basic and Digest on the server side).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/http_sender.h"
#include "camera/http_utils.h"
#include "camera/param_reply.h"
#include "camera/testing/camera_test_util.h"
#include "camsim_child.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

using testing::JsonValue;
using testing::LoopbackDevice;
using testing::MeasureMs;

constexpr char kUser[] = "admin";
constexpr char kPassword[] = "s3cret";

// The simulator started for one test; Ready() tells whether it came up.
class CamsimProcess : public testing::CamsimChild {
 public:
  explicit CamsimProcess(const std::vector<std::string>& args) { ready_ = Start(args, &error_); }
  bool Ready() const { return ready_; }
  const std::string& Output() const { return error_; }

 private:
  bool ready_ = false;
  std::string error_;
};

// One camera request as the simulator logged it.
struct LoggedRequest {
  std::string path;
  bool auth = false;
  int status = 0;
};

// The simulator's request log, read through its inspection path (never authenticated).
std::vector<LoggedRequest> CameraRequests(uint16_t port) {
  Web::CHttpSender inspector(LoopbackDevice(port, "", ""));
  std::string log;
  RequestGetText(inspector, log, "/camsim/requests");
  std::vector<LoggedRequest> requests;
  for (const std::string& line : SplitString(log, '\n')) {
    if (JsonValue(line, "proto") != "http") continue;
    requests.push_back({JsonValue(line, "path"), JsonValue(line, "auth") == "true",
                        std::atoi(JsonValue(line, "status").c_str())});
  }
  return requests;
}

CamsimProcess StartCamsim(const std::string& auth, const std::string& fault = "none") {
  return CamsimProcess({"--auth", auth, "--user", kUser, "--password", kPassword,
                        "--http-fault", fault});
}

#define ASSERT_CAMSIM_READY(camsim) \
  ASSERT_TRUE((camsim).Ready()) << "cnb-camsim did not start: " << (camsim).Output()

TEST(CamsimHttpTest, BasicIsAcceptedInOneRequest) {
  CamsimProcess camsim = StartCamsim("basic");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kParamListPath, sender, result, body, true);
  EXPECT_EQ(result.code, 0u) << result.text;
  EXPECT_EQ(sender.StatusCode(), 200u);
  const auto requests = CameraRequests(camsim.HttpPort());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].auth);
  EXPECT_EQ(requests[0].status, 200);
}

TEST(CamsimHttpTest, DigestIsRepeatedOnceThenSentAtOnce) {
  CamsimProcess camsim = StartCamsim("digest");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  EXPECT_TRUE(RequestGet(kParamListPath, sender));
  auto requests = CameraRequests(camsim.HttpPort());
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].status, 401);  // Basic offered first
  EXPECT_EQ(requests[1].status, 200);  // the one repeat, with Digest
  EXPECT_EQ(sender.RememberedScheme(), Web::kAuthSchemeDigest);

  std::string text;
  EXPECT_TRUE(RequestGetText(sender, text, kParamListPath));
  EXPECT_TRUE(RequestGet("/cnb-cgi/ptzCtl?cmd=255&id=1&ps=1&ts=1&pr=1", sender));
  requests = CameraRequests(camsim.HttpPort());
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_TRUE(requests[2].auth);
  EXPECT_EQ(requests[2].status, 200) << "the next request goes out with Digest at once";
  // libmicrohttpd binds its nonces to the request path: the PTZ request goes out with Digest
  // at once, is told that the nonce is stale, and is repeated once with the fresh one.
  EXPECT_EQ(requests[3].path, "/cnb-cgi/ptzCtl");
  EXPECT_TRUE(requests[3].auth);
  EXPECT_EQ(requests[3].status, 401);
  EXPECT_EQ(requests[4].path, "/cnb-cgi/ptzCtl");
  EXPECT_EQ(requests[4].status, 200);
}

TEST(CamsimHttpTest, WrongPasswordGivesCode11ThenCode8With401) {
  CamsimProcess camsim = StartCamsim("basic");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, "wrong"));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kParamListPath, sender, result, body, false);
  EXPECT_EQ(result.code, 11u);
  EXPECT_EQ(result.severity, 4);
  HUtils::RequestGetRD(kParamListPath, sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(sender.StatusCode(), 401u);
  EXPECT_EQ(result.text, FormatString("korvane::HUtils::RequestGetRD: device 127.0.0.1:%u does "
                                      "not process request \"%s\", status code = 401",
                                      camsim.HttpPort(), kParamListPath));
  EXPECT_EQ(CameraRequests(camsim.HttpPort()).size(), 2u);
}

TEST(CamsimHttpTest, RefusedCredentialsFaultBehavesAsAWrongPassword) {
  CamsimProcess camsim = StartCamsim("digest", "wrong-password");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  CResultDef result;
  std::vector<uint8_t> body;
  // Basic refused, Digest learnt and repeated once, refused again: 401 as a status.
  HUtils::RequestGetRD(kParamListPath, sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(sender.StatusCode(), 401u);
  HUtils::RequestGetRD(kParamListPath, sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(CameraRequests(camsim.HttpPort()).size(), 3u);
}

TEST(CamsimHttpTest, EmptyUserNameSendsNoCredentials) {
  CamsimProcess camsim = StartCamsim("none");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), "", kPassword));
  EXPECT_TRUE(RequestGet(kParamListPath, sender));
  EXPECT_TRUE(RequestGet(kParamListPath, sender));
  const auto requests = CameraRequests(camsim.HttpPort());
  ASSERT_EQ(requests.size(), 2u);
  for (const LoggedRequest& request : requests) EXPECT_FALSE(request.auth);

  CamsimProcess guarded = StartCamsim("basic");
  ASSERT_CAMSIM_READY(guarded);
  Web::CHttpSender anonymous(LoopbackDevice(guarded.HttpPort(), "", kPassword));
  EXPECT_FALSE(RequestGet(kParamListPath, anonymous));
  for (const LoggedRequest& request : CameraRequests(guarded.HttpPort())) {
    EXPECT_FALSE(request.auth);
    EXPECT_EQ(request.status, 401);
  }
}

TEST(CamsimHttpTest, RedirectIsNotFollowed) {
  CamsimProcess camsim = StartCamsim("basic", "status:302");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kParamListPath, sender, result, body, true);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(sender.StatusCode(), 302u);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(CameraRequests(camsim.HttpPort()).size(), 1u);
}

TEST(CamsimHttpTest, ErrorStatusesGiveCode8) {
  for (const char* fault : {"status:404", "status:500"}) {
    CamsimProcess camsim = StartCamsim("none", fault);
    ASSERT_CAMSIM_READY(camsim);
    Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
    CResultDef result;
    std::vector<uint8_t> body;
    HUtils::RequestGetRD(kParamListPath, sender, result, body, true);
    EXPECT_EQ(result.code, 8u) << fault;
    EXPECT_EQ(result.severity, 1);
    EXPECT_EQ(std::to_string(sender.StatusCode()), std::string(fault).substr(7));
  }
}

TEST(CamsimHttpTest, SlowCameraFailsWithinTheTimeout) {
  CamsimProcess camsim = StartCamsim("basic", "slow:8");
  ASSERT_CAMSIM_READY(camsim);
  constexpr uint32_t kTimeoutMs = 1000;
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword, kTimeoutMs));
  CResultDef result;
  std::vector<uint8_t> body;
  const int64_t elapsed = MeasureMs(
      [&] { HUtils::RequestGetRD(kParamListPath, sender, result, body, true); });
  EXPECT_EQ(result.code, 11u);
  EXPECT_GE(elapsed, kTimeoutMs - 100);
  EXPECT_LT(elapsed, kTimeoutMs + 4000) << "one request time-out, with a margin";
}

TEST(CamsimHttpTest, CloseWithoutAnswerGivesCode11) {
  CamsimProcess camsim = StartCamsim("basic", "close");
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD(kParamListPath, sender, result, body, true);
  EXPECT_EQ(result.code, 11u);
  EXPECT_EQ(result.text, FormatString("korvane::HUtils::RequestGetRD: cannot send request "
                                      "\"%s\" to device 127.0.0.1:%u",
                                      kParamListPath, camsim.HttpPort()));
}

TEST(CamsimHttpTest, ParameterListAndUpdate) {
  CamsimProcess camsim = CamsimProcess({"--auth", "digest", "--user", kUser, "--password",
                                        kPassword, "--platform", "G_TYPE_V2", "--ntsc"});
  ASSERT_CAMSIM_READY(camsim);
  Web::CHttpSender sender(LoopbackDevice(camsim.HttpPort(), kUser, kPassword));
  std::string list;
  ASSERT_TRUE(RequestGetText(sender, list, kParamListPath));
  EXPECT_EQ(GetReplyParam(list, "sysinfo.modelname"), "CNB-IXP2050");
  EXPECT_EQ(GetReplyParam(list, "sysinfo.platform"), "G_TYPE_V2");
  EXPECT_EQ(GetReplyParam(list, "platform"), "");
  EXPECT_EQ(GetReplyParam(list, "rtp.rtspport"), std::to_string(camsim.RtspPort()));
  EXPECT_EQ(GetReplyParam(list, "condition.outputformat"), "1");
  EXPECT_EQ(GetReplyParam(list, "network.ethaddress"), "00:0a:5e:1b:2c:3d");

  std::string reply;
  ASSERT_TRUE(RequestGetText(
      sender, reply,
      MakeParamUpdatePath({{"video.resolution", std::to_string(ResolutionIndex(1280, 720))},
                           {"video.framerate", "15"}})));
  EXPECT_TRUE(IsUpdateSuccessReply(reply)) << reply;
  ASSERT_TRUE(RequestGetText(sender, list, kParamListPath));
  EXPECT_EQ(GetReplyParam(list, "video.resolution"), "6");
  EXPECT_EQ(GetReplyParam(list, "video.framerate"), "15");

  ASSERT_TRUE(RequestGetText(sender, reply, MakeParamUpdatePath({{"video.framerate", "99"}})));
  EXPECT_FALSE(IsUpdateSuccessReply(reply)) << reply;
}

}  // namespace
}  // namespace korvane
