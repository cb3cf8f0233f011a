// The request texts of CBaseRTSPClient (RFC 2326 section 6): URLs, Transport, Authorization.

#include <optional>
#include <string>

#include "rtsp/base_rtsp_client.h"
#include "text/digest_auth.h"
#include "text/text_helpers.h"

namespace korvane {

namespace {

constexpr char kVersion[] = "RTSP/1.0\r\n";
constexpr char kUserAgent[] = "User-Agent: Korvane\r\n";
constexpr char kAccept[] = "Accept: application/sdp\r\n";
constexpr char kDefaultRange[] = "npt=0.000-";
// The channel pair asked for on the RTSP connection; the reply may name another (RFC 2326 12.39).
constexpr char kInterleavedAsked[] = ";interleaved=0-1";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Request texts

const char* CBaseRTSPClient::MethodName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kDescribe:
      return "DESCRIBE";
    case RequestKind::kSetup:
      return "SETUP";
    case RequestKind::kPlay:
      return "PLAY";
    case RequestKind::kTeardown:
      return "TEARDOWN";
    case RequestKind::kOptions:
      return "OPTIONS";
    case RequestKind::kPause:
      return "PAUSE";
  }
  return "";
}

std::string CBaseRTSPClient::MakeBaseUrl(const std::string& content_base, const std::string& host,
                                         uint16_t port, const std::string& path) {
  if (content_base.find("rtsp://") != std::string::npos) {
    return content_base;
  }
  const size_t first = path.find_first_not_of('/');
  const std::string relative = first == std::string::npos ? std::string() : path.substr(first);
  return FormatString("rtsp://%s:%u/", host.c_str(), static_cast<unsigned>(port)) + relative;
}

std::string CBaseRTSPClient::MakeControlUrl(const std::string& base_url,
                                            const std::string& control) {
  if (control.find("://") != std::string::npos) {
    return control;
  }
  if (base_url.empty() || control.empty()) {
    return base_url.empty() ? control : base_url;
  }
  std::string url = base_url;
  if (url.back() == '/') {
    url.pop_back();
  }
  if (control.front() != '/') {
    url += '/';
  }
  return url + control;
}

namespace {

// An interleaved session must name TCP as the lower transport: a bare "RTP/AVP" means UDP
// (RFC 2326 section 12.39), and the camera would then send the media where nobody listens.
std::string WithTcpLowerTransport(const std::string& profile) {
  const size_t first = profile.find('/');
  const size_t second = first == std::string::npos ? first : profile.find('/', first + 1);
  if (second == std::string::npos) {
    return profile + "/TCP";
  }
  return profile.substr(0, second) + "/TCP";
}

}  // namespace

std::string CBaseRTSPClient::MakeTransportLine(const std::string& sdp_profile, TransportMode mode,
                                               uint16_t rtp_port, uint16_t rtcp_port) {
  std::string profile = sdp_profile;
  if (!profile.empty() && mode != kRtpOverUdp) {
    profile = WithTcpLowerTransport(profile);
  }
  std::string ports;
  switch (mode) {
    case kRtpOverUdp:
      if (profile.empty()) profile = "RTP/AVP/UDP";
      ports = FormatString(";client_port=%u-%u", static_cast<unsigned>(rtp_port),
                           static_cast<unsigned>(rtcp_port));
      break;
    case kRtpOverTcp:
      if (profile.empty()) profile = "RTP/AVP/TCP";
      ports = FormatString(";client_port=%u-%u", static_cast<unsigned>(rtp_port),
                           static_cast<unsigned>(rtcp_port)) +
              kInterleavedAsked;
      break;
    case kRtpOverRtsp:
      if (profile.empty()) profile = "RTP/AVP/TCP";
      ports = kInterleavedAsked;
      break;
  }
  return "Transport: " + profile + ";unicast" + ports + "\r\n";
}

std::string CBaseRTSPClient::MakeDigestLine(const std::string& method, const std::string& user,
                                            const std::string& password, const std::string& realm,
                                            const std::string& nonce, const std::string& uri) {
  if (method.empty() || user.empty() || password.empty() || realm.empty() || nonce.empty() ||
      uri.empty()) {
    return {};
  }
  // RFC 2069 section 2.1.2: request-digest = MD5(MD5(A1) ":" nonce ":" MD5(A2)).
  AuthChallenge challenge;
  challenge.schemeName = "Digest";
  challenge.params = {{"realm", realm}, {"nonce", nonce}};
  CDigestAuthenticator digest;
  if (!digest.Learn({challenge})) {
    return {};
  }
  const std::optional<std::string> answer = digest.Answer(user, password, method, uri);
  return answer ? "Authorization: " + *answer + "\r\n" : std::string();
}

std::string CBaseRTSPClient::BaseUrl() const {
  return MakeBaseUrl(parser_.Response().ContentBase, params_.Host, params_.Port, params_.Path);
}

std::string CBaseRTSPClient::ControlUrl() const {
  const RTSPResponse& r = parser_.Response();
  switch (params_.Media) {
    case MediaKind::kVideo:
      return MakeControlUrl(BaseUrl(), r.VideoControl);
    case MediaKind::kAudio:
      return MakeControlUrl(BaseUrl(), r.AudioControl);
    case MediaKind::kData:
      return MakeControlUrl(BaseUrl(), r.DataControl);
    case MediaKind::kNone:
      break;
  }
  return MakeControlUrl(BaseUrl(), {});
}

std::string CBaseRTSPClient::AuthorizationLine(RequestKind kind) {
  switch (params_.Scheme) {
    case AuthScheme::kBasic: {
      std::string credentials;
      if (!MakeBasicCredentials(params_.UserName, params_.Password, credentials)) {
        return {};
      }
      return "Authorization: Basic " + credentials + "\r\n";
    }
    case AuthScheme::kDigest: {
      if (params_.UserName.empty() || params_.Password.empty()) {
        return {};
      }
      // The digest URI is the base URL for every method, SETUP included.
      const std::optional<std::string> answer =
          digest_.Answer(params_.UserName, params_.Password, MethodName(kind), BaseUrl());
      return answer ? "Authorization: " + *answer + "\r\n" : std::string();
    }
    case AuthScheme::kNone:
      break;
  }
  return {};
}

std::string CBaseRTSPClient::BuildRequest(RequestKind kind) {
  const char* method = MethodName(kind);
  if (*method == '\0') {
    return {};
  }
  const RTSPResponse& r = parser_.Response();
  // Our own count (RFC 2326 section 12.17): the camera's numbers are matched, never adopted.
  ++cseq_;
  const std::string cseq = FormatString("CSeq: %u\r\n", static_cast<unsigned>(cseq_));
  const std::string authorization = AuthorizationLine(kind);
  const std::string session =
      r.SessionId.empty() ? std::string() : "Session: " + r.SessionId + "\r\n";
  const std::string range =
      "Range: " + (params_.Range.empty() ? std::string(kDefaultRange) : params_.Range) + "\r\n";

  std::string text = std::string(method) + " ";
  text += kind == RequestKind::kSetup ? ControlUrl() : BaseUrl();
  text += " ";
  text += kVersion;
  text += cseq;
  text += authorization;
  text += kUserAgent;
  switch (kind) {
    case RequestKind::kDescribe:
      text += kAccept;
      break;
    case RequestKind::kSetup: {
      const std::string* profile = &r.VideoProfile;
      if (params_.Media == MediaKind::kAudio) profile = &r.AudioProfile;
      if (params_.Media == MediaKind::kData) profile = &r.DataProfile;
      text += MakeTransportLine(*profile, mode_, params_.RtpClientPort, params_.RtcpClientPort);
      break;
    }
    case RequestKind::kPlay:
    case RequestKind::kPause:
      text += session;
      text += range;
      break;
    case RequestKind::kTeardown:
    case RequestKind::kOptions:
      text += session;
      break;
  }
  text += "\r\n";
  return text;
}

}  // namespace korvane
