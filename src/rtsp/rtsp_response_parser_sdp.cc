// The SDP half of CRTSPResponseParser: the body of the answer to DESCRIBE (RFC 4566).
#include <array>
#include <cstdint>

#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_text_scan.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

constexpr size_t kMaxToken = 255;
// Parameter sets and MPEG-4 configurations are a few dozen bytes; a larger one is refused.
constexpr size_t kMaxDecodedParameter = 256;

// True when the first occurrence of `word` in `line` (both folded to lower case) stands at
// the start of the line or right after a blank, tab, CR or LF.
bool StartsWithWord(std::string_view word, std::string_view line) {
  const std::string lower_line = ToLowerCopy(line);
  const size_t found = lower_line.find(ToLowerCopy(word));
  if (found == std::string::npos) return false;
  if (found == 0) return true;
  const char before = lower_line[found - 1];
  return before == ' ' || before == '\t' || before == '\r' || before == '\n';
}

// Base64 text to bytes through a bounded work buffer: empty when it decodes to more than fits.
std::vector<uint8_t> DecodeParameter(std::string_view text) {
  std::array<uint8_t, kMaxDecodedParameter> work;
  size_t length = work.size();
  if (!Base64Decode(text.data(), text.size(), work.data(), length)) return {};
  return std::vector<uint8_t>(work.begin(), work.begin() + static_cast<ptrdiff_t>(length));
}

}  // namespace

bool CRTSPResponseParser::ParseSdp(std::string_view body) {
  media_ = MediaKind::kNone;
  size_t pos = 0;
  while (pos < body.size()) {
    const size_t start = body.find_first_not_of("\r\n", pos);
    if (start == std::string_view::npos) break;
    size_t end = body.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = body.size();  // a last line without CR LF
    const std::string_view line = body.substr(start, end - start);
    pos = end;

    bool ok = true;
    if (StartsWithWord("a=control", line)) {
      ok = ParseControlLine(line);
    } else if (StartsWithWord("a=fmtp", line)) {
      ok = ParseFormatLine(line);
    } else if (StartsWithWord("m=", line)) {
      ok = ParseMediaLine(line);
    }
    if (!ok) return false;
  }
  return true;
}

bool CRTSPResponseParser::ParseMediaLine(std::string_view line) {
  // "m=<media> <port> <proto> <fmt> ..." (RFC 4566 section 5.14).
  media_ = MediaKind::kNone;
  const std::string value = GetParamValue("m", "=", line, "\r\n");
  if (value.empty()) return false;
  const std::vector<std::string> tokens = SplitString(value, ' ');
  if (tokens.empty() || tokens[0].empty()) return false;
  const std::string type = ToLowerCopy(tokens[0]);
  if (type == "video") {
    media_ = MediaKind::kVideo;
  } else if (type == "audio") {
    media_ = MediaKind::kAudio;
  } else if (type == "metadata" || type == "data" || type == "application") {
    media_ = MediaKind::kData;
  } else {
    return true;  // a medium we do not record
  }
  if (tokens.size() >= 3) {
    switch (media_) {
      case MediaKind::kVideo:
        response_.VideoProfile = tokens[2];
        break;
      case MediaKind::kAudio:
        response_.AudioProfile = tokens[2];
        break;
      case MediaKind::kData:
        response_.DataProfile = tokens[2];
        break;
      case MediaKind::kNone:
        break;
    }
  }
  return true;
}

bool CRTSPResponseParser::ParseControlLine(std::string_view line) {
  // "a=control:trackID=1" (RFC 2326 appendix C.1.1).
  TextScan scan(line);
  std::string_view value;
  if (scan.Literal("a=control:")) scan.Token(kMaxToken, value, /*truncate=*/true);
  switch (media_) {
    case MediaKind::kVideo:
      response_.VideoControl = std::string(value);
      break;
    case MediaKind::kAudio:
      response_.AudioControl = std::string(value);
      break;
    case MediaKind::kData:
      response_.DataControl = std::string(value);
      break;
    case MediaKind::kNone:
      break;  // the session-level control ("*") is not needed
  }
  return !value.empty();
}

bool CRTSPResponseParser::ParseFormatLine(std::string_view line) {
  switch (media_) {
    case MediaKind::kVideo:
      return ParseVideoConfig(line);
    case MediaKind::kAudio:
    case MediaKind::kData:
      return true;
    case MediaKind::kNone:
      break;
  }
  return false;  // format parameters belong to a medium
}

bool CRTSPResponseParser::ParseVideoConfig(std::string_view line) {
  // H.264: "sprop-parameter-sets=<base64 SPS>,<base64 PPS>" (RFC 6184 section 8.1).
  const std::string sprop = GetParamValue("sprop-parameter-sets", "=", line, ";\r\n");
  if (!sprop.empty()) {
    const std::vector<std::string> sets = SplitString(sprop, ',');
    if (sets.size() < 2) return false;
    response_.Codec.Sps = DecodeParameter(sets[0]);
    response_.Codec.Pps = DecodeParameter(sets[1]);
    return !response_.Codec.Sps.empty() && !response_.Codec.Pps.empty();
  }
  // MPEG-4: "config=<hex>" (RFC 3016 section 5.2); some cameras send base64 instead, which
  // its '=' padding gives away.
  const std::string config = GetParamValue("config", "=", line, ";\r\n");
  if (config.empty()) return false;
  if (config.find('=') != std::string::npos) {
    response_.Codec.Config = DecodeParameter(config);
  } else {
    HexToBytes(config, response_.Codec.Config);
  }
  return !response_.Codec.Config.empty();
}

}  // namespace korvane
