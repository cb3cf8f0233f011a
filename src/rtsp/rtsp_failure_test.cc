#include "rtsp/rtsp_failure.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace korvane {
namespace {

TEST(RtspFailureTest, EachFailureNamesItsStepAndTheCameraWords) {
  RTSPResponse no_video;
  RTSPResponse h264;
  h264.VideoPayloadType = 96;
  h264.VideoEncoding = "H264";
  auto answer = [](RequestKind kind, uint32_t status, std::string phrase,
                   std::vector<std::string> challenges = {}) {
    return RtspRequestFailure({kind, "rtsp://cam:8554/mjpeg", status, std::move(phrase),
                               std::move(challenges), 5000});
  };
  struct Case {
    CFailureReason reason;
    const char* text;
  };
  const Case cases[] = {
      {RtspConnectFailure("rtsp://cam:8554/mjpeg", "cam", ECONNREFUSED, 5000),
       "rtsp-connect: rtsp://cam:8554/mjpeg: connection refused"},
      {RtspConnectFailure("rtsp://cam:554/", "cam", ETIMEDOUT, 4900),
       "rtsp-connect: rtsp://cam:554/: connecting timed out after 4900 ms"},
      {RtspConnectFailure("rtsp://nowhere:554/", "nowhere", 0, 5000),
       "rtsp-connect: rtsp://nowhere:554/: the name nowhere does not resolve"},
      {answer(RequestKind::kDescribe, 404, "Not Found"),
       "rtsp-describe: DESCRIBE rtsp://cam:8554/mjpeg answered 404 \"Not Found\""},
      {answer(RequestKind::kDescribe, 401, "Unauthorized", {"Digest realm=\"x\"", "Basic x"}),
       "rtsp-describe: DESCRIBE rtsp://cam:8554/mjpeg answered 401 \"Unauthorized\": user name "
       "or password refused (offers Digest, Basic)"},
      {answer(RequestKind::kSetup, 0, ""),
       "rtsp-setup: SETUP rtsp://cam:8554/mjpeg got no answer within 5000 ms (or the connection "
       "closed)"},
      {answer(RequestKind::kPlay, 454, "Session\x01Not Found\r\nX: y"),
       "rtsp-play: PLAY rtsp://cam:8554/mjpeg answered 454 \"Session?Not Found\""},
      {DescribeMediaFailure("rtsp://cam/", no_video, false),
       "rtsp-stream: the description of rtsp://cam/ has no video"},
      {DescribeMediaFailure("rtsp://cam/", no_video, true),
       "rtsp-stream: the description of rtsp://cam/ offers video only in a codec this driver "
       "does not read"},
      {DescribeMediaFailure("rtsp://cam/", h264, true), ""},
      {DescribeMediaFailure("rtsp://cam/", h264, true, "JPEG"),
       "rtsp-stream: the description of rtsp://cam/ offers \"H264\" video, the channel reads "
       "JPEG"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reason.Text(), c.text);
}

TEST(RtspFailureTest, UrlLosesItsUserInfo) {
  EXPECT_EQ(UrlWithoutCredentials("rtsp://admin:pw@cam:554/a@b"), "rtsp://cam:554/a@b");
  EXPECT_EQ(UrlWithoutCredentials("rtsp://cam:554/a@b"), "rtsp://cam:554/a@b");
  EXPECT_EQ(StatusPhrase("RTSP/1.0 404 Not Found\r\nCSeq: 2\r\n"), "Not Found");
  EXPECT_EQ(CFailureReason::CameraWords(std::string(100, 'a')),
            "\"" + std::string(80, 'a') + "...\"");
}

}  // namespace
}  // namespace korvane
