#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rtsp/rtsp_response.h"

namespace korvane {

// Reads the text of one RTSP response (RFC 2326 section 7) into the session's RTSPResponse.
// Tolerant in what it ignores, strict in what it reads: a header it reads and cannot understand
// fails the whole response. One parser lives as long as its RTSP client; the record carries
// the sequence number, base URL, session and challenge from one response to the next.
class CRTSPResponseParser {
 public:
  CRTSPResponseParser() = default;
  virtual ~CRTSPResponseParser() = default;

  // Empties every string and vector and zeroes every number; once per session.
  void Reset();

  // True when the status line reads, the status is 200 or 401, every header read was
  // understood and, for DESCRIBE, the SDP body was read without fault. On failure the record
  // keeps what was stored before it (a 404 stays in StatusCode).
  // `request_url` is the URL the request went to: a Content-Base without a scheme is resolved
  // against it (RFC 3986 section 5.2); without it such a base is not stored.
  bool ParseResponse(std::string_view text, RequestKind kind, std::string_view request_url = {});

  // Reads an SDP description (RFC 4566): per-medium control URL and transport profile, and
  // the video decoder configuration.
  bool ParseSdp(std::string_view body);

  // The CSeq of a message, without touching any record; nothing when it carries no CSeq
  // header or its value is not a number.
  static std::optional<uint32_t> PeekCSeq(std::string_view text);
  // True when the text starts with a request line ("ANNOUNCE rtsp://... RTSP/1.0") rather
  // than a status line: a request of the server to the client (RFC 2326 section 10).
  static bool IsRequest(std::string_view text);
  // `reference` resolved against `url` (RFC 3986 section 5.2, for the forms a camera sends):
  // an absolute path keeps scheme, host and port; a relative path replaces the last segment.
  // Empty when `url` has no "scheme://host" part.
  static std::string ResolveUrl(std::string_view url, std::string_view reference);

  const RTSPResponse& Response() const { return response_; }
  // For tests that start from a given record.
  RTSPResponse& Response() { return response_; }

 private:
  bool ParseStatusLine(std::string_view line);
  // Each handler gets the header's value: the text after the colon, blanks trimmed.
  bool ParseCSeq(std::string_view value);
  void ParseContentBase(std::string_view value, std::string_view request_url);
  bool ParseContentType(std::string_view value);
  bool ParseContentLength(std::string_view value);
  bool ParseSession(std::string_view value);
  bool ParseAuthenticate(std::string_view value);

  RTSPResponse response_;
};

}  // namespace korvane
