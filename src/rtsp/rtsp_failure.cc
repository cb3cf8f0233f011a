#include "rtsp/rtsp_failure.h"

#include <cerrno>

#include "base/socket.h"
#include "text/text_helpers.h"

namespace korvane {

namespace {

using Step = CFailureReason::Step;

Step StepOf(RequestKind kind) {
  switch (kind) {
    case RequestKind::kSetup: return Step::kRtspSetup;
    case RequestKind::kPlay: return Step::kRtspPlay;
    default: return Step::kRtspDescribe;
  }
}

const char* MethodOf(RequestKind kind) {
  switch (kind) {
    case RequestKind::kSetup: return "SETUP";
    case RequestKind::kPlay: return "PLAY";
    default: return "DESCRIBE";
  }
}

// "Digest, Basic" from WWW-Authenticate values; "no scheme" for none.
std::string SchemeNames(const std::vector<std::string>& challenges) {
  std::string names;
  for (const std::string& value : challenges) {
    const std::string quoted = CFailureReason::CameraWords(TrimBlanks(value).substr(
        0, TrimBlanks(value).find(' ')));
    const std::string name = quoted.substr(1, quoted.size() - 2);
    if (name.empty() || names.find(name) != std::string::npos) continue;
    names += names.empty() ? name : ", " + name;
  }
  return names.empty() ? "no scheme" : names;
}

}  // namespace

std::string UrlWithoutCredentials(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string(url);
  const size_t authority = scheme_end + 3;
  const size_t authority_end = std::min(url.find('/', authority), url.size());
  const size_t at = url.substr(0, authority_end).rfind('@');
  if (at == std::string_view::npos || at < authority) return std::string(url);
  return std::string(url.substr(0, authority)) + std::string(url.substr(at + 1));
}

CFailureReason RtspConnectFailure(const std::string& url, const std::string& host, int error,
                                  uint32_t timeout_ms) {
  const std::string where = UrlWithoutCredentials(url);
  if (error == 0) return {Step::kRtspConnect, where + ": the name " + host + " does not resolve"};
  if (error == ECONNREFUSED) return {Step::kRtspConnect, where + ": connection refused"};
  if (error == ETIMEDOUT) {
    return {Step::kRtspConnect,
            where + ": connecting timed out after " + std::to_string(timeout_ms) + " ms"};
  }
  return {Step::kRtspConnect, where + ": " + ToLowerCopy(ErrnoText(error))};
}

CFailureReason RtspRequestFailure(const RtspAnswer& a) {
  const std::string request = std::string(MethodOf(a.kind)) + " " + UrlWithoutCredentials(a.url);
  if (a.status == 0) {
    return {StepOf(a.kind), request + " got no answer within " + std::to_string(a.timeout_ms) +
                                " ms (or the connection closed)"};
  }
  std::string detail = request + " answered " + std::to_string(a.status);
  if (!a.phrase.empty()) detail += " " + CFailureReason::CameraWords(a.phrase);
  if (a.status == 401) {
    detail += ": user name or password refused (offers " + SchemeNames(a.challenges) + ")";
  }
  return {StepOf(a.kind), detail};
}

CFailureReason DescribeMediaFailure(const std::string& url, const RTSPResponse& response,
                                    bool offers_video, const std::string& expected) {
  const std::string where = UrlWithoutCredentials(url);
  if (response.VideoPayloadType >= 0) {
    // A static payload type (26 is JPEG, RFC 3551) comes without rtpmap: nothing to compare.
    if (expected.empty() || response.VideoEncoding.empty() ||
        response.VideoEncoding == expected) {
      return {};
    }
    return {Step::kRtspStream, "the description of " + where + " offers " +
                                   CFailureReason::CameraWords(response.VideoEncoding) +
                                   " video, the channel reads " + expected};
  }
  if (!offers_video) return {Step::kRtspStream, "the description of " + where + " has no video"};
  return {Step::kRtspStream, "the description of " + where +
                                 " offers video only in a codec this driver does not read"};
}

std::string_view StatusPhrase(std::string_view message) {
  const std::string_view line = message.substr(0, message.find_first_of("\r\n"));
  const size_t first = line.find(' ');
  if (first == std::string_view::npos) return {};
  const size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return {};
  return line.substr(second + 1);
}

}  // namespace korvane
