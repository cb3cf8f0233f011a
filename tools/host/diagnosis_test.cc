#include "diagnosis.h"

#include <gtest/gtest.h>

#include <string>

namespace tollivar_host {
namespace {

Target Camera() {
  Target t;
  t.address = "127.0.0.1";
  t.http_port = 8080;
  t.rtsp_port = 8554;
  t.user = "admin";
  t.password = "secret";
  return t;
}

// Checks that got as far as a working DESCRIBE.
Findings AllWell() {
  Findings f;
  f.http = Reach::kOk;
  f.list_status = 200;
  f.had_credentials = true;
  f.update = Reach::kOk;
  f.update_status = 200;
  f.update_reply = "Success";
  f.rtsp = Reach::kOk;
  f.describe_status = 200;
  f.describe_has_video = true;
  return f;
}

TEST(Diagnosis, FirstFailingStepAndItsMessage) {
  struct Case {
    const char* name;
    void (*change)(Findings&, Target&);
    const char* step;
    const char* problem_has;
    const char* hint_has;
  };
  const Case cases[] = {
      {"HttpPortClosed", [](Findings& f, Target&) { f.http = Reach::kRefused; },
       "http-connect", "127.0.0.1:8080 refused the connection", "--port"},
      {"HttpTimedOut", [](Findings& f, Target&) { f.http = Reach::kTimedOut; }, "http-connect",
       "did not answer", "firewall"},
      {"NameDoesNotResolve", [](Findings& f, Target&) { f.http = Reach::kUnresolved; },
       "http-connect", "does not resolve", "--address"},
      {"ConnectionClosedWithoutAnswer", [](Findings& f, Target&) { f.http = Reach::kNoAnswer; },
       "http-connect", "without an answer", "not its RTSP port"},
      {"WrongPasswordDigest",
       [](Findings& f, Target&) {
         f.list_status = 401;
         f.auth_offered = "Digest";
       },
       "http-login", "refused the user name and password (HTTP 401; it offers Digest)",
       "--user and --password"},
      {"NoCredentialsGiven",
       [](Findings& f, Target&) {
         f.list_status = 401;
         f.auth_offered = "Basic";
         f.had_credentials = false;
       },
       "http-login", "asks for a login", "--user and --password"},
      {"SchemeTheDriverDoesNotSpeak",
       [](Findings& f, Target&) {
         f.list_status = 401;
         f.auth_offered = "Negotiate";
       },
       "http-login", "it offers Negotiate", "enable one of them"},
      {"Forbidden", [](Findings& f, Target&) { f.list_status = 403; }, "http-login",
       "HTTP 403", "administrator"},
      {"NotACnbCgi", [](Findings& f, Target&) { f.list_status = 404; }, "http-list",
       "with status 404", "CNB camera"},
      {"UpdateRefusedByStatus", [](Findings& f, Target&) { f.update_status = 401; },
       "encoder-update", "(HTTP 401)", "administrator"},
      {"UpdateRefusedInTheReply", [](Findings& f, Target&) { f.update_reply = "Error: range"; },
       "encoder-update", "reply \"Error: range\"", "--codec"},
      {"RtspPortClosed", [](Findings& f, Target&) { f.rtsp = Reach::kRefused; }, "rtsp-connect",
       "RTSP port 127.0.0.1:8554 refused", "--rtsp-port"},
      {"RtspTimedOut", [](Findings& f, Target&) { f.rtsp = Reach::kTimedOut; }, "rtsp-connect",
       "did not answer", "firewall"},
      {"DescribeUnauthorized", [](Findings& f, Target&) { f.describe_status = 401; },
       "rtsp-describe", "rtsp://127.0.0.1:8554/ (status 401)", "--password"},
      {"DescribeNotFound", [](Findings& f, Target&) { f.describe_status = 404; },
       "rtsp-describe", "no stream at", "--stream-mode"},
      {"DescribeOtherStatus", [](Findings& f, Target&) { f.describe_status = 503; },
       "rtsp-describe", "(status 503)", "RTSP settings"},
      {"DescriptionWithoutVideo", [](Findings& f, Target&) { f.describe_has_video = false; },
       "rtsp-describe", "has no video", "--codec"},
      {"NoMediaOverUdp", [](Findings&, Target&) {}, "rtsp-media", "no frame arrived",
       "--transport tcp"},
      {"NoMediaInterleaved", [](Findings&, Target& t) { t.transport = "rtsp"; }, "rtsp-media",
       "no frame arrived", "log lines"},
      {"UpdateNotTriedGoesOnToRtsp",
       [](Findings& f, Target&) {
         f.update = Reach::kNotTried;
         f.update_status = 0;
         f.rtsp = Reach::kRefused;
       },
       "rtsp-connect", "refused", "--rtsp-port"},
  };
  for (const Case& c : cases) {
    Findings f = AllWell();
    Target t = Camera();
    c.change(f, t);
    const Diagnosis d = Diagnose(f, t);
    EXPECT_EQ(d.step, c.step) << c.name;
    EXPECT_NE(d.problem.find(c.problem_has), std::string::npos) << c.name << ": " << d.problem;
    EXPECT_NE(d.hint.find(c.hint_has), std::string::npos) << c.name << ": " << d.hint;
  }
}

TEST(Diagnosis, StreamUrlFollowsCodecAndStreamMode) {
  struct Case {
    const char* codec;
    int mode;
    const char* url;
  };
  for (const Case& c : {Case{"h264", 4, "rtsp://cam:554/"}, Case{"h264", 0, "rtsp://cam:554/main"},
                        Case{"mjpeg", 0, "rtsp://cam:554/sub"},
                        Case{"mjpeg", 1, "rtsp://cam:8554/"},
                        Case{"mjpeg", 2, "rtsp://cam:665/mjpeg"},
                        Case{"mpeg4", 2, "rtsp://cam:554/mpeg4"},
                        Case{"mpeg4", 4, "rtsp://cam:554/"}}) {
    Target t;
    t.address = "cam";
    t.codec = c.codec;
    t.stream_mode = c.mode;
    EXPECT_EQ(StreamUrl(t), c.url) << c.codec << " mode " << c.mode;
  }
}

TEST(Diagnosis, JsonEscapesTheTexts) {
  EXPECT_EQ(DiagnosisJson({"http-login", "a \"quoted\"\nline", "b\\c"}),
            "{\"step\":\"http-login\",\"problem\":\"a \\\"quoted\\\"\\u000aline\","
            "\"hint\":\"b\\\\c\"}");
}

}  // namespace
}  // namespace tollivar_host
