// The SDP half of CRTSPResponseParser: the body of the answer to DESCRIBE (RFC 4566).
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_text_scan.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

constexpr size_t kMaxToken = 255;
// Parameter sets and MPEG-4 configurations are a few dozen bytes; a larger one is refused.
constexpr size_t kMaxDecodedParameter = 256;
// RTP payload types are 7 bits (RFC 3550 section 5.1).
constexpr uint32_t kMaxPayloadType = 127;
// The static payload type of JPEG (RFC 3551 section 6), used without an rtpmap line.
constexpr int kJpegPayloadType = 26;
constexpr int kFirstDynamicPayloadType = 96;

// Encoding names of a=rtpmap, upper-cased, that this driver depacketizes.
constexpr std::string_view kH264 = "H264";
constexpr std::string_view kMpeg4 = "MP4V-ES";
constexpr std::string_view kJpeg = "JPEG";

// Where the first occurrence of `word` in `line` starts, matched without regard to case; npos
// when there is none. Every word looked for here is "<letter>=...", lower case, so only the
// places of '=' in the line (found with memchr) are tried, not every character.
size_t FindWord(std::string_view word, std::string_view line) {
  size_t from = 1;  // the '=' of a match has its letter before it
  while (from < line.size()) {
    const void* hit = std::memchr(line.data() + from, '=', line.size() - from);
    if (hit == nullptr) break;
    const size_t equals = static_cast<size_t>(static_cast<const char*>(hit) - line.data());
    const size_t at = equals - 1;
    if (line.size() - at >= word.size()) {
      size_t same = 0;
      while (same < word.size() && LowerAscii(line[at + same]) == word[same]) ++same;
      if (same == word.size()) return at;
    }
    from = equals + 1;
  }
  return std::string_view::npos;
}

// True when the first occurrence of `word` in `line` (without regard to case) stands at the
// start of the line or right after a blank, tab, CR or LF.
bool StartsWithWord(std::string_view word, std::string_view line) {
  const size_t found = FindWord(word, line);
  if (found == std::string_view::npos) return false;
  if (found == 0) return true;
  const char before = line[found - 1];
  return before == ' ' || before == '\t' || before == '\r' || before == '\n';
}

// The text after the attribute name `prefix` ("a=fmtp:"), matched without regard to case.
std::optional<std::string_view> AttributeValue(std::string_view prefix, std::string_view line) {
  const size_t found = FindWord(prefix, line);
  if (found == std::string::npos) return std::nullopt;
  return line.substr(found + prefix.size());
}

// "<payload type> <rest>" of a=rtpmap and a=fmtp (RFC 4566 section 6).
struct FormatAttribute {
  int payload_type = -1;
  std::string_view rest;
};

std::optional<FormatAttribute> ReadFormatAttribute(std::string_view value) {
  TextScan scan(value);
  uint32_t payload_type = 0;
  if (!scan.Unsigned(payload_type) || payload_type > kMaxPayloadType) return std::nullopt;
  const size_t digits = value.find_first_of("0123456789");
  const size_t after = value.find_first_not_of("0123456789", digits);
  FormatAttribute attribute;
  attribute.payload_type = static_cast<int>(payload_type);
  if (after != std::string_view::npos) {
    const size_t rest = value.find_first_not_of(" \t", after);
    if (rest != std::string_view::npos) attribute.rest = value.substr(rest);
  }
  return attribute;
}

// The value of the format parameter `name` in "a=b; c=d" (RFC 4566 section 6, a=fmtp): names
// are matched without regard to case, blanks around names and values are dropped. Nothing when
// the parameter is missing; an empty string when it has no value.
std::optional<std::string> FormatParameter(std::string_view parameters, std::string_view name) {
  PieceReader items(parameters, ';');
  for (std::string_view item; items.Next(item);) {
    const size_t equals = item.find('=');
    const std::string key = ToLowerCopy(TrimBlanks(item.substr(0, equals)));
    if (key != name) continue;
    if (equals == std::string_view::npos) return std::string();
    return TrimBlanks(item.substr(equals + 1));
  }
  return std::nullopt;
}

// Base64 text to bytes through a bounded work buffer: nothing when it decodes to more than fits.
std::optional<std::vector<uint8_t>> DecodeParameter(std::string_view text) {
  std::array<uint8_t, kMaxDecodedParameter> work;
  size_t length = work.size();
  if (!Base64Decode(text.data(), text.size(), work.data(), length)) return std::nullopt;
  return std::vector<uint8_t>(work.begin(), work.begin() + static_cast<ptrdiff_t>(length));
}

// Some cameras put Annex B start codes (00 00 01 or 00 00 00 01, H.264 Annex B.1) around the
// parameter sets of sprop-parameter-sets, or join several NAL units with them in one base64
// piece. The NAL units are cut out without their start codes; empty pieces are dropped. A NAL
// unit never holds 00 00 01 nor ends in 00 (emulation prevention and rbsp_trailing_bits), so
// a plain parameter set passes unchanged.
void AppendNalUnits(const std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& out) {
  size_t start = 0;
  const auto flush = [&](size_t end) {
    while (end > start && bytes[end - 1] == 0x00) --end;  // zero byte of a 4-byte start code
    if (end > start) out.emplace_back(bytes.begin() + start, bytes.begin() + end);
  };
  size_t i = 0;
  bool split = false;
  while (i + 2 < bytes.size()) {
    if (bytes[i] == 0x00 && bytes[i + 1] == 0x00 && bytes[i + 2] == 0x01) {
      flush(i);
      i += 3;
      start = i;
      split = true;
    } else {
      ++i;
    }
  }
  if (!split) {
    if (!bytes.empty()) out.push_back(bytes);
    return;
  }
  flush(bytes.size());
}

// One m= section while it is read: what its lines said, decided on at its end.
struct Medium {
  struct Format {
    int payload_type = -1;
    std::string encoding;  // upper-cased; empty without an rtpmap line
    uint32_t clock_rate = 0;
    std::optional<std::string> parameters;  // a=fmtp text after the payload type
  };

  MediaKind kind = MediaKind::kNone;
  std::string profile;
  std::optional<std::string> control;
  std::vector<Format> formats;  // in the order of the m= line
  // a=fmtp of a medium whose m= line names no payload type.
  std::optional<std::string> loose_parameters;

  Format* FindFormat(int payload_type) {
    for (Format& format : formats) {
      if (format.payload_type == payload_type) return &format;
    }
    return nullptr;
  }

  // The first format of a codec this driver handles. Without rtpmap the static JPEG type
  // counts as JPEG, and a dynamic type counts as a codec we may handle (cameras that omit
  // rtpmap are read as before); any other encoding name is one we do not handle.
  const Format* UsableFormat() const {
    for (const Format& format : formats) {
      if (format.encoding == kH264 || format.encoding == kMpeg4 || format.encoding == kJpeg) {
        return &format;
      }
      if (format.encoding.empty() && (format.payload_type == kJpegPayloadType ||
                                      format.payload_type >= kFirstDynamicPayloadType)) {
        return &format;
      }
    }
    return nullptr;
  }
};

// The H.264 parameter sets of sprop-parameter-sets (RFC 6184 section 8.1): the first two NAL
// units become SPS and PPS. False when the value is broken; the record is then untouched.
bool ReadParameterSets(std::string_view sprop, DecoderConfig& codec) {
  std::vector<std::vector<uint8_t>> units;
  PieceReader pieces(sprop, ',');
  for (std::string_view piece; pieces.Next(piece);) {
    const std::optional<std::vector<uint8_t>> bytes = DecodeParameter(piece);
    if (!bytes) return false;
    AppendNalUnits(*bytes, units);
  }
  if (units.size() < 2) return false;
  codec.Sps = std::move(units[0]);
  codec.Pps = std::move(units[1]);
  return true;
}

// MPEG-4: "config=<hex>" (RFC 3016 section 5.2); some cameras send base64 instead, which its
// '=' padding gives away.
bool ReadMpeg4Config(std::string_view config, DecoderConfig& codec) {
  std::vector<uint8_t> bytes;
  if (config.find('=') != std::string_view::npos) {
    std::optional<std::vector<uint8_t>> decoded = DecodeParameter(config);
    if (decoded) bytes = std::move(*decoded);
  } else {
    HexToBytes(config, bytes);
  }
  if (bytes.empty()) {
    codec.Config.clear();
    return false;
  }
  codec.Config = std::move(bytes);
  return true;
}

// The decoder configuration in the format parameters of one video format. An encoding name
// decides which parameter is read; without one, sprop-parameter-sets and then config are
// tried. A format without either parameter keeps the configuration empty: the decoder then
// takes the parameter sets from the stream. A parameter that is present but unreadable fails.
bool ReadVideoConfig(const std::string& encoding, std::string_view parameters,
                     DecoderConfig& codec) {
  const bool any = encoding.empty();
  if (encoding == kH264 || any) {
    if (const auto sprop = FormatParameter(parameters, "sprop-parameter-sets")) {
      return ReadParameterSets(*sprop, codec);
    }
  }
  if (encoding == kMpeg4 || any) {
    if (const auto config = FormatParameter(parameters, "config")) {
      return ReadMpeg4Config(*config, codec);
    }
  }
  return true;
}

class SdpReader {
 public:
  explicit SdpReader(RTSPResponse& response) : response_(response) {}

  bool Line(std::string_view line) {
    if (StartsWithWord("a=control", line)) return ControlLine(line);
    if (StartsWithWord("a=rtpmap", line)) return MapLine(line);
    if (StartsWithWord("a=fmtp", line)) return FormatLine(line);
    if (StartsWithWord("m=", line)) return EndMedium() && MediaLine(line);
    return true;
  }

  // Decides on the last medium, and on the video medium when none was usable.
  bool End() {
    if (!EndMedium()) return false;
    if (!video_taken_ && video_fallback_) Store(*video_fallback_, nullptr);
    return true;
  }

 private:
  bool MediaLine(std::string_view line) {
    // "m=<media> <port> <proto> <fmt> ..." (RFC 4566 section 5.14).
    medium_ = Medium{};
    const std::string value = GetParamValue("m", "=", line, "\r\n");
    if (value.empty()) return false;
    PieceReader tokens(value, ' ');
    std::string_view token;
    if (!tokens.Next(token) || token.empty()) return false;
    const std::string type = ToLowerCopy(token);
    if (type == "video") {
      medium_.kind = MediaKind::kVideo;
    } else if (type == "audio") {
      medium_.kind = MediaKind::kAudio;
    } else if (type == "metadata" || type == "data" || type == "application") {
      medium_.kind = MediaKind::kData;
    } else {
      return true;  // a medium we do not record
    }
    // <port>, then <proto>, then the formats.
    if (!tokens.Next(token) || !tokens.Next(token)) return true;
    medium_.profile = std::string(token);
    while (tokens.Next(token)) {
      const std::optional<FormatAttribute> format = ReadFormatAttribute(token);
      if (format && format->rest.empty()) {
        Medium::Format entry;
        entry.payload_type = format->payload_type;
        medium_.formats.push_back(std::move(entry));
      }
    }
    return true;
  }

  bool ControlLine(std::string_view line) {
    // "a=control:trackID=1" (RFC 2326 appendix C.1.1).
    TextScan scan(line);
    std::string_view value;
    if (scan.Literal("a=control:")) scan.Token(kMaxToken, value, /*truncate=*/true);
    // The session-level control ("*") is not needed.
    if (medium_.kind != MediaKind::kNone) medium_.control = std::string(value);
    return !value.empty();
  }

  bool MapLine(std::string_view line) {
    // "a=rtpmap:<payload type> <encoding name>/<clock rate>[/<parameters>]" (RFC 4566 6).
    // A line we cannot read is ignored, as before rtpmap was read at all.
    const std::optional<std::string_view> value = AttributeValue("a=rtpmap:", line);
    if (!value) return true;
    const std::optional<FormatAttribute> map = ReadFormatAttribute(*value);
    if (!map) return true;
    Medium::Format* format = medium_.FindFormat(map->payload_type);
    if (format == nullptr) return true;
    PieceReader parts(map->rest, '/');
    std::string_view part;
    if (!parts.Next(part)) return true;
    format->encoding = ToUpperCopy(TrimBlanks(part));
    uint32_t clock_rate = 0;
    if (parts.Next(part)) {
      const std::string rate = TrimBlanks(part);
      TextScan rate_scan(rate);
      if (rate_scan.Unsigned(clock_rate)) format->clock_rate = clock_rate;
    }
    return true;
  }

  bool FormatLine(std::string_view line) {
    // "a=fmtp:<payload type> <name>=<value>;..." (RFC 4566 section 6).
    if (medium_.kind == MediaKind::kNone) return false;  // format parameters belong to a medium
    if (medium_.kind != MediaKind::kVideo) return true;
    const std::optional<std::string_view> value = AttributeValue("a=fmtp:", line);
    const std::optional<FormatAttribute> fmtp =
        value ? ReadFormatAttribute(*value) : std::nullopt;
    if (!fmtp) return true;  // no payload type: nothing it could belong to
    if (medium_.formats.empty()) {
      medium_.loose_parameters = std::string(fmtp->rest);
    } else if (Medium::Format* format = medium_.FindFormat(fmtp->payload_type)) {
      format->parameters = std::string(fmtp->rest);
    }
    return true;
  }

  // Stores the medium that just ended when it is the first of its kind that we can use.
  bool EndMedium() {
    switch (medium_.kind) {
      case MediaKind::kVideo: {
        if (video_taken_) break;
        const Medium::Format* format = medium_.UsableFormat();
        if (format == nullptr && !medium_.formats.empty()) {
          // A codec we do not handle: used only when no other video medium is usable.
          if (!video_fallback_) video_fallback_ = medium_;
          break;
        }
        video_taken_ = true;
        Store(medium_, format);
        const std::optional<std::string>& parameters =
            format != nullptr ? format->parameters : medium_.loose_parameters;
        if (parameters && !ReadVideoConfig(format != nullptr ? format->encoding : std::string(),
                                           *parameters, response_.Codec)) {
          return false;
        }
        break;
      }
      case MediaKind::kAudio:
        if (!audio_taken_) Store(medium_, nullptr);
        audio_taken_ = true;
        break;
      case MediaKind::kData:
        if (!data_taken_) Store(medium_, nullptr);
        data_taken_ = true;
        break;
      case MediaKind::kNone:
        break;
    }
    medium_ = Medium{};
    return true;
  }

  // A medium's values overwrite only what its own lines carried.
  void Store(const Medium& medium, const Medium::Format* format) {
    std::string* control = nullptr;
    std::string* profile = nullptr;
    switch (medium.kind) {
      case MediaKind::kVideo:
        control = &response_.VideoControl;
        profile = &response_.VideoProfile;
        if (format != nullptr) {
          response_.VideoPayloadType = format->payload_type;
          response_.VideoEncoding = format->encoding;
          response_.VideoClockRate = format->clock_rate;
        }
        break;
      case MediaKind::kAudio:
        control = &response_.AudioControl;
        profile = &response_.AudioProfile;
        break;
      case MediaKind::kData:
        control = &response_.DataControl;
        profile = &response_.DataProfile;
        break;
      case MediaKind::kNone:
        return;
    }
    if (medium.control) *control = *medium.control;
    if (!medium.profile.empty()) *profile = medium.profile;
  }

  RTSPResponse& response_;
  Medium medium_;  // the m= section being read
  bool video_taken_ = false;
  bool audio_taken_ = false;
  bool data_taken_ = false;
  std::optional<Medium> video_fallback_;  // first video medium of a codec we do not handle
};

}  // namespace

bool CRTSPResponseParser::ParseSdp(std::string_view body) {
  SdpReader reader(response_);
  // Lines end at CR, LF or both; empty lines are skipped.
  size_t pos = 0;
  while (pos < body.size()) {
    if (body[pos] == '\r' || body[pos] == '\n') {
      ++pos;
      continue;
    }
    size_t end = FindAnyOf(body, "\r\n", pos);
    if (end == std::string_view::npos) end = body.size();  // a last line without CR LF
    if (!reader.Line(body.substr(pos, end - pos))) return false;
    pos = end;
  }
  return reader.End();
}

}  // namespace korvane
