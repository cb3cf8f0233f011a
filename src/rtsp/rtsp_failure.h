#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure_reason.h"
#include "rtsp/rtsp_response.h"

// The failure reasons of an RTSP session, as pure functions of what the client saw, so that
// every text is made (and tested) in one place.
namespace korvane {

// `url` without a user-info part ("rtsp://user:pw@cam/" -> "rtsp://cam/"): a reason never
// carries a credential, whatever the camera wrote into its Content-Base.
std::string UrlWithoutCredentials(std::string_view url);

// The connection for `url` to `host` failed with errno value `error` (0: the name did not
// resolve).
CFailureReason RtspConnectFailure(const std::string& url, const std::string& host, int error,
                                  uint32_t timeout_ms);

// What the camera answered to one request: status 0 for no answer within `timeout_ms`;
// `phrase` is the reason phrase of its status line, `challenges` its WWW-Authenticate values.
struct RtspAnswer {
  RequestKind kind = RequestKind::kDescribe;
  std::string url;
  uint32_t status = 0;
  std::string phrase;
  std::vector<std::string> challenges;
  uint32_t timeout_ms = 0;
};

// DESCRIBE, SETUP or PLAY failed with `answer`.
CFailureReason RtspRequestFailure(const RtspAnswer& answer);

// A DESCRIBE answered 2xx whose description gives no video medium the driver can play:
// `offers_video` tells whether it has an m=video line at all. Not set when `response` names a
// video payload type.
// `expected` (may be empty: any) is the encoding the user reads; a video medium whose rtpmap
// names another one fails too.
CFailureReason DescribeMediaFailure(const std::string& url, const RTSPResponse& response,
                                    bool offers_video, const std::string& expected = {});

// The reason phrase of a status line ("RTSP/1.0 404 Not Found" -> "Not Found").
std::string_view StatusPhrase(std::string_view message);

}  // namespace korvane
