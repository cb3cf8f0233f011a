#pragma once

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
  bool ParseResponse(std::string_view text, RequestKind kind);

  // Reads an SDP description (RFC 4566): per-medium control URL and transport profile, and
  // the video decoder configuration.
  bool ParseSdp(std::string_view body);

  const RTSPResponse& Response() const { return response_; }
  // The RTSP client numbers its requests in CSeq.
  RTSPResponse& Response() { return response_; }

 private:
  bool ParseStatusLine(std::string_view line);
  bool ParseHeader(std::string_view line);
  bool ParseCSeq(std::string_view line);
  bool ParseContentBase(std::string_view line);
  bool ParseContentType(std::string_view line);
  bool ParseContentLength(std::string_view line);
  bool ParseSession(std::string_view line);
  bool ParseAuthenticate(std::string_view line);

  bool ParseMediaLine(std::string_view line);
  bool ParseControlLine(std::string_view line);
  bool ParseFormatLine(std::string_view line);
  bool ParseVideoConfig(std::string_view line);

  RTSPResponse response_;
  MediaKind media_ = MediaKind::kNone;  // medium of the SDP line being read
};

}  // namespace korvane
