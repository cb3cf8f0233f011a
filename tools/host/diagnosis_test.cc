#include "diagnosis.h"

#include <gtest/gtest.h>

#include <string>

namespace tollivar_host {
namespace {

// The driver's reasons (as GetChannelState gives them) and what the operator is told.
TEST(Diagnosis, DriverReasonGivesStepProblemAndHint) {
  struct Case {
    const char* reason;
    const char* transport;
    const char* codec;  // the camera's video.codec as the host read it
    const char* step;
    const char* hint_has;
  };
  const Case cases[] = {
      {"http-connect: 127.0.0.1:8080: connection refused", "", "", "http-connect", "--port"},
      {"http-connect: cam:80: connecting timed out", "", "", "http-connect", "firewall"},
      {"http-connect: cam:80: the name does not resolve", "", "", "http-connect", "--address"},
      {"http-login: 127.0.0.1:8080 refused the user name and password (401, offers Digest)", "",
       "", "http-login", "--user and --password"},
      {"http-login: cam:80 asks for a login (401, offers Basic) and no user name is set", "", "",
       "http-login", "give --user"},
      {"http-login: cam:80 refused the user name and password (401, offers Negotiate)", "", "",
       "http-login", "enable one of them"},
      {"http-login: cam:80 forbids this user \"/cgi-bin/Param.cgi\" (403)", "", "", "http-login",
       "administrator"},
      {"http-request: cam:80 gave no answer to \"/cgi-bin/Param.cgi\" within 5000 ms", "", "",
       "http-request", "not its RTSP port"},
      {"http-request: cam:80 answered \"/cgi-bin/Param.cgi\" with status 404", "", "",
       "http-request", "CNB camera"},
      {"encoder-update: cam:80 answered \"/cgi-bin/Param.cgi\" with status 400 \"Error: x\"", "",
       "", "encoder-update", "--width/--height"},
      {"rtsp-connect: rtsp://127.0.0.1:665/: connection refused", "", "", "rtsp-connect", "665 and 8554"},
      {"rtsp-connect: rtsp://cam:554/: connecting timed out after 5000 ms", "", "", "rtsp-connect",
       "firewall"},
      {"rtsp-describe: DESCRIBE rtsp://cam:554/ answered 401 \"Unauthorized\": user name or "
       "password refused (offers Digest)",
       "", "", "rtsp-describe", "RTSP login"},
      {"rtsp-describe: DESCRIBE rtsp://cam:8554/mjpeg answered 404 \"Not Found\"", "", "3",
       "rtsp-describe", "video.codec=3"},
      {"rtsp-stream: the description of rtsp://cam/ has no video", "", "", "rtsp-stream",
       "--codec"},
      {"rtsp-setup: SETUP rtsp://cam/trackID=0 answered 461 \"Unsupported Transport\"", "", "",
       "rtsp-setup", "RTSP settings"},
      {"rtsp-media: rtsp://cam/ is playing (RTP over UDP) but no RTP packet came", "udp", "",
       "rtsp-media", "--transport tcp"},
      {"rtsp-media: rtsp://cam/ is playing (RTP over RTSP) but no RTP packet came", "rtsp", "",
       "rtsp-media", "load"},
      {"rtsp-media: x; the camera refused the encoder update (encoder-update, reply \"Error\")",
       "rtsp", "1", "rtsp-media", "administrator account"},
      {"", "", "", "driver", "--seconds"},
  };
  for (const Case& c : cases) {
    Target t;
    t.transport = c.transport;
    const Diagnosis d = Diagnose(c.reason, t, c.codec);
    EXPECT_EQ(d.step, c.step) << c.reason;
    const std::string reason = c.reason;
    if (!reason.empty()) {
      EXPECT_EQ(d.step + ": " + d.problem, reason);
    }
    EXPECT_NE(d.hint.find(c.hint_has), std::string::npos) << c.reason << ": " << d.hint;
  }
}

TEST(Diagnosis, JsonKeepsTheOrderAndEscapesTheTexts) {
  EXPECT_EQ(DiagnosisJson({"http-login", "a \"quoted\"\nline", "b\\c"}).dump(),
            "{\"step\":\"http-login\",\"problem\":\"a \\\"quoted\\\"\\nline\","
            "\"hint\":\"b\\\\c\"}");
}

}  // namespace
}  // namespace tollivar_host
