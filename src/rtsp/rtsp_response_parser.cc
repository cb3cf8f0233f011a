#include "rtsp/rtsp_response_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "rtsp/rtsp_text_scan.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

constexpr uint32_t kStatusOk = 200;
constexpr uint32_t kStatusUnauthorized = 401;
constexpr int32_t kDefaultSessionTimeout = 30;  // seconds, when the camera names 0
constexpr size_t kMaxToken = 255;

// Cuts a message into lines. RFC 2326 section 4 ends lines with CR LF but asks receivers to
// take a lone CR or LF as a line end too.
class CLineReader {
 public:
  explicit CLineReader(std::string_view text) : text_(text) {}

  // The next line without its end; an empty line and Lost() when no line end is left.
  std::string_view Next() {
    const size_t end = FindAnyOf(text_, "\r\n", pos_);
    if (end == std::string_view::npos) {
      lost_ = true;
      return {};
    }
    const std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + ((text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n') ? 2 : 1);
    return line;
  }

  bool Lost() const { return lost_; }
  std::string_view Rest() const { return text_.substr(pos_); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  bool lost_ = false;
};

enum class Header {
  kUnknown,
  kCSeq,
  kContentBase,
  kContentLocation,
  kContentType,
  kContentLength,
  kAuthenticate,
  kSession,
};

struct HeaderName {
  std::string_view name;  // lower case
  Header header;
};

// Headers not listed here (Date, Transport, Range, RTP-Info, Server, ...) are not read.
constexpr HeaderName kReadHeaders[] = {
    {"cseq", Header::kCSeq},
    {"content-base", Header::kContentBase},
    {"content-location", Header::kContentLocation},
    {"content-type", Header::kContentType},
    {"content-length", Header::kContentLength},
    {"www-authenticate", Header::kAuthenticate},
    {"session", Header::kSession},
};

struct HeaderLine {
  Header header = Header::kUnknown;
  std::string value;  // after the colon, blanks and tabs trimmed
};

// Header names are compared without regard to case (RFC 2326 section 4.2, after RFC 2616).
HeaderLine Classify(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon < 2) return {};
  const std::string name = ToLowerCopy(TrimBlanks(line.substr(0, colon)));
  for (const HeaderName& entry : kReadHeaders) {
    if (entry.name == name) return {entry.header, TrimBlanks(line.substr(colon + 1))};
  }
  return {};
}

// The base URL that a Content-Base or Content-Location value names, resolved against the
// request URL; nothing when it names none we can use. "rtsp://" anywhere in the value starts
// the URL (cameras have been seen to put text before it); another scheme is not ours.
std::optional<std::string> BaseFromValue(std::string_view value, std::string_view request_url) {
  const size_t url = value.find("rtsp://");
  if (url != std::string_view::npos) return TrimBlanks(value.substr(url));
  const size_t colon = value.find(':');
  const size_t slash = value.find('/');
  const bool has_scheme =
      colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash);
  if (value.empty() || has_scheme || request_url.empty()) return std::nullopt;
  std::string resolved = CRTSPResponseParser::ResolveUrl(request_url, value);
  if (resolved.rfind("rtsp://", 0) != 0) return std::nullopt;
  return resolved;
}

// The "host[:port]" part of an rtsp:// URL, without any user information.
std::string_view Authority(std::string_view url) {
  url.remove_prefix(std::min(url.size(), std::string_view("rtsp://").size()));
  url = url.substr(0, url.find_first_of("/?#"));
  const size_t at = url.rfind('@');
  return at == std::string_view::npos ? url : url.substr(at + 1);
}

bool SameAuthorityOrRelative(std::string_view value, std::string_view request_url) {
  const size_t url = value.find("rtsp://");
  if (url == std::string_view::npos) return true;
  const std::string location(TrimBlanks(value.substr(url)));
  const std::string_view a = Authority(location);
  const std::string_view b = Authority(request_url);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void CRTSPResponseParser::Reset() { response_ = RTSPResponse{}; }

bool CRTSPResponseParser::ParseResponse(std::string_view text, RequestKind kind,
                                        std::string_view request_url) {
  CLineReader reader(text);
  if (!ParseStatusLine(reader.Next()) || reader.Lost()) return false;
  if (response_.StatusCode != kStatusOk && response_.StatusCode != kStatusUnauthorized) {
    return false;
  }
  bool has_base = false;
  std::optional<std::string> location;
  for (;;) {
    const std::string_view line = reader.Next();
    // A header block must be closed by an empty line: a response cut short fails.
    if (reader.Lost()) return false;
    if (line.empty()) break;
    const HeaderLine header = Classify(line);
    bool ok = true;
    switch (header.header) {
      case Header::kCSeq:
        ok = ParseCSeq(header.value);
        break;
      case Header::kContentBase:
        has_base = true;
        ParseContentBase(header.value, request_url);
        break;
      case Header::kContentLocation:
        if (!location) location = header.value;
        break;
      case Header::kContentType:
        ok = ParseContentType(header.value);
        break;
      case Header::kContentLength:
        ok = ParseContentLength(header.value);
        break;
      case Header::kAuthenticate:
        ok = ParseAuthenticate(header.value);
        break;
      case Header::kSession:
        ok = ParseSession(header.value);
        break;
      case Header::kUnknown:
        break;
    }
    if (!ok) return false;
  }
  // RFC 2326 appendix C.1.1: without Content-Base, the Content-Location of the description
  // is its base. Only the answer to DESCRIBE describes the session. An absolute location on
  // another host is not followed: cameras behind address translation name their inside
  // address there, which this client cannot reach.
  if (kind == RequestKind::kDescribe && !has_base && location &&
      SameAuthorityOrRelative(*location, request_url)) {
    ParseContentBase(*location, request_url);
  }
  std::string_view body = reader.Rest();
  if (body.size() > response_.ContentLength) body = body.substr(0, response_.ContentLength);
  if (kind != RequestKind::kDescribe) return true;
  return ParseSdp(body);
}

bool CRTSPResponseParser::ParseStatusLine(std::string_view line) {
  // "RTSP/1.0 200 OK": version token, status number (RFC 2326 section 7.1).
  TextScan scan(line);
  std::string_view version;
  uint32_t status = 0;
  if (!scan.Token(kMaxToken, version) || !scan.Unsigned(status)) return false;
  response_.Version = std::string(version);
  response_.StatusCode = status;
  return true;
}

bool CRTSPResponseParser::ParseCSeq(std::string_view value) {
  TextScan scan(value);
  uint32_t cseq = 0;
  if (!scan.Unsigned(cseq)) return false;
  response_.CSeq = cseq;
  return true;
}

void CRTSPResponseParser::ParseContentBase(std::string_view value, std::string_view request_url) {
  // A value we cannot use keeps the earlier base; requests then go where they went before.
  if (std::optional<std::string> base = BaseFromValue(value, request_url)) {
    response_.ContentBase = std::move(*base);
  }
}

bool CRTSPResponseParser::ParseContentType(std::string_view value) {
  const std::string lower = ToLowerCopy(value);
  TextScan scan(lower);
  std::string_view type;
  if (!scan.Token(kMaxToken, type, /*truncate=*/true)) return false;
  response_.ContentType = std::string(type);
  return true;
}

bool CRTSPResponseParser::ParseContentLength(std::string_view value) {
  TextScan scan(value);
  uint32_t length = 0;
  if (!scan.Unsigned(length)) return false;
  response_.ContentLength = length;
  return true;
}

bool CRTSPResponseParser::ParseSession(std::string_view value) {
  // "Session: 1234ABCD;timeout=60" (RFC 2326 section 12.37).
  const size_t semicolon = value.find(';');
  response_.SessionId = TrimBlanks(value.substr(0, semicolon));
  if (semicolon != std::string_view::npos) {
    const std::string parameters = ToLowerCopy(value.substr(semicolon));
    const std::string timeout = GetParamValue("timeout", "=", parameters, ";\r\n");
    if (!timeout.empty()) {
      // A timeout of 0 (or one that is not a positive number) would make keep-alives spin.
      const int seconds = GetParamInt("timeout", "=", parameters, ";\r\n");
      response_.SessionTimeout = seconds > 0 ? seconds : kDefaultSessionTimeout;
    }
    // Parameters without a timeout leave the identifier and the earlier timeout in place.
  }
  return !response_.SessionId.empty();
}

bool CRTSPResponseParser::ParseAuthenticate(std::string_view value) {
  // 'WWW-Authenticate: Digest realm="...", nonce="..."' (RFC 2617 section 3.2.1).
  response_.Scheme = AuthScheme::kNone;
  const size_t token_end = value.find_first_of(" \t");
  const std::string_view token = value.substr(0, token_end);
  if (token.empty()) return false;
  if (token == "Digest") {
    response_.Scheme = AuthScheme::kDigest;
  } else if (token == "Basic") {
    response_.Scheme = AuthScheme::kBasic;
  } else {
    return true;  // a scheme we do not speak; another challenge may follow
  }
  const std::string_view params =
      token_end == std::string_view::npos ? std::string_view() : value.substr(token_end);
  response_.Realm = RemoveChars("\"", TrimBlanks(GetParamValue("realm", "=", params, ",\r\n")));
  response_.Nonce = RemoveChars("\"", TrimBlanks(GetParamValue("nonce", "=", params, ",\r\n")));
  if (response_.Scheme == AuthScheme::kBasic) return true;
  return !response_.Realm.empty() && !response_.Nonce.empty();
}

std::optional<uint32_t> CRTSPResponseParser::PeekCSeq(std::string_view text) {
  CLineReader reader(text);
  reader.Next();  // status or request line
  while (!reader.Lost()) {
    const std::string_view line = reader.Next();
    if (line.empty()) break;
    const HeaderLine header = Classify(line);
    if (header.header != Header::kCSeq) continue;
    TextScan scan(header.value);
    uint32_t cseq = 0;
    if (!scan.Unsigned(cseq)) return std::nullopt;
    return cseq;
  }
  return std::nullopt;
}

bool CRTSPResponseParser::IsRequest(std::string_view text) {
  // Request-Line = Method SP Request-URI SP RTSP-Version (RFC 2326 section 6.1).
  const size_t end = FindAnyOf(text, "\r\n");
  TextScan scan(text.substr(0, end == std::string_view::npos ? text.size() : end));
  std::string_view method;
  std::string_view uri;
  std::string_view version;
  if (!scan.Token(kMaxToken, method) || !scan.Token(text.size(), uri) ||
      !scan.Token(kMaxToken, version)) {
    return false;
  }
  return method.rfind("RTSP/", 0) != 0 && version.rfind("RTSP/", 0) == 0;
}

std::string CRTSPResponseParser::ResolveUrl(std::string_view url, std::string_view reference) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return {};
  const size_t host = scheme_end + 3;
  size_t path = url.find_first_of("/?#", host);
  if (path == std::string_view::npos) path = url.size();
  if (path == host) return {};
  if (!reference.empty() && reference.front() == '/') {
    return std::string(url.substr(0, path)) + std::string(reference);
  }
  // Relative: everything of the path up to its last '/', query and fragment cut off.
  std::string_view directory = url.substr(0, url.find_first_of("?#", host));
  const size_t last_slash = directory.find_last_of('/');
  directory = last_slash == std::string_view::npos || last_slash < path
                  ? url.substr(0, path)
                  : directory.substr(0, last_slash);
  return std::string(directory) + "/" + std::string(reference);
}

}  // namespace korvane
