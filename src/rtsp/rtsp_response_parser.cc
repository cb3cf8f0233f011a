#include "rtsp/rtsp_response_parser.h"

#include <cstdint>

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
    const size_t end = text_.find_first_of("\r\n", pos_);
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
    {"content-type", Header::kContentType},
    {"content-length", Header::kContentLength},
    {"www-authenticate", Header::kAuthenticate},
    {"session", Header::kSession},
};

Header Classify(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon < 2) return Header::kUnknown;
  const std::string name = ToLowerCopy(TrimBlanks(line.substr(0, colon)));
  for (const HeaderName& entry : kReadHeaders) {
    if (entry.name == name) return entry.header;
  }
  return Header::kUnknown;
}

}  // namespace

void CRTSPResponseParser::Reset() {
  response_ = RTSPResponse{};
  media_ = MediaKind::kNone;
}

bool CRTSPResponseParser::ParseResponse(std::string_view text, RequestKind kind) {
  CLineReader reader(text);
  if (!ParseStatusLine(reader.Next()) || reader.Lost()) return false;
  if (response_.StatusCode != kStatusOk && response_.StatusCode != kStatusUnauthorized) {
    return false;
  }
  for (;;) {
    const std::string_view line = reader.Next();
    // A header block must be closed by an empty line: a response cut short fails.
    if (reader.Lost()) return false;
    if (line.empty()) break;
    if (!ParseHeader(line)) return false;
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

bool CRTSPResponseParser::ParseHeader(std::string_view line) {
  switch (Classify(line)) {
    case Header::kCSeq:
      return ParseCSeq(line);
    case Header::kContentBase:
      return ParseContentBase(line);
    case Header::kContentType:
      return ParseContentType(line);
    case Header::kContentLength:
      return ParseContentLength(line);
    case Header::kAuthenticate:
      return ParseAuthenticate(line);
    case Header::kSession:
      return ParseSession(line);
    case Header::kUnknown:
      break;
  }
  return true;
}

bool CRTSPResponseParser::ParseCSeq(std::string_view line) {
  const std::string lower = ToLowerCopy(line);
  TextScan scan(lower);
  uint32_t cseq = 0;
  if (!scan.Literal("cseq:") || !scan.Unsigned(cseq)) return false;
  response_.CSeq = cseq;
  return true;
}

bool CRTSPResponseParser::ParseContentBase(std::string_view line) {
  // The header name is matched in its registered spelling here, unlike the classification.
  if (line.find("Content-Base:") == std::string_view::npos) {
    response_.ContentBase.clear();
    return false;
  }
  const size_t url = line.find("rtsp://");
  if (url != std::string_view::npos) response_.ContentBase = TrimBlanks(line.substr(url));
  return true;
}

bool CRTSPResponseParser::ParseContentType(std::string_view line) {
  const std::string lower = ToLowerCopy(line);
  TextScan scan(lower);
  std::string_view type;
  if (!scan.Literal("content-type:") || !scan.Token(kMaxToken, type, /*truncate=*/true)) {
    return false;
  }
  response_.ContentType = std::string(type);
  return true;
}

bool CRTSPResponseParser::ParseContentLength(std::string_view line) {
  const std::string lower = ToLowerCopy(line);
  TextScan scan(lower);
  uint32_t length = 0;
  if (!scan.Literal("content-length:") || !scan.Unsigned(length)) return false;
  response_.ContentLength = length;
  return true;
}

bool CRTSPResponseParser::ParseSession(std::string_view line) {
  // "Session: 1234ABCD;timeout=60" (RFC 2326 section 12.37).
  response_.SessionId = TrimBlanks(GetParamValue("Session:", " ", line, ";\r\n"));
  if (line.find(';') != std::string_view::npos) {
    const std::string timeout = GetParamValue("timeout", "=", line, ";\r\n");
    if (!timeout.empty()) {
      // A timeout of 0 (or one that is not a positive number) would make keep-alives spin.
      const int seconds = GetParamInt("timeout", "=", line, ";\r\n");
      response_.SessionTimeout = seconds > 0 ? seconds : kDefaultSessionTimeout;
    }
    // Parameters without a timeout leave the identifier and the earlier timeout in place.
  }
  return !response_.SessionId.empty();
}

bool CRTSPResponseParser::ParseAuthenticate(std::string_view line) {
  // 'WWW-Authenticate: Digest realm="...", nonce="..."' (RFC 2617 section 3.2.1).
  response_.Scheme = AuthScheme::kNone;
  constexpr std::string_view kName = "WWW-Authenticate: ";
  const size_t found = line.find(kName);
  if (found == std::string_view::npos) return false;
  const std::string_view rest = line.substr(found + kName.size());
  // The line end stands where the CR LF was cut off, so it ends the scheme token too.
  const size_t token_end = rest.find_first_of(" \t\r\n");
  const std::string_view token = rest.substr(0, token_end);
  if (token == "Digest") {
    response_.Scheme = AuthScheme::kDigest;
  } else if (token == "Basic") {
    response_.Scheme = AuthScheme::kBasic;
  } else {
    return true;  // a scheme we do not speak; another challenge may follow
  }
  const std::string_view params =
      token_end == std::string_view::npos ? std::string_view() : rest.substr(token_end);
  response_.Realm = RemoveChars("\"", TrimBlanks(GetParamValue("realm", "=", params, ",\r\n")));
  response_.Nonce = RemoveChars("\"", TrimBlanks(GetParamValue("nonce", "=", params, ",\r\n")));
  if (response_.Scheme == AuthScheme::kBasic) return true;
  return !response_.Realm.empty() && !response_.Nonce.empty();
}

}  // namespace korvane
