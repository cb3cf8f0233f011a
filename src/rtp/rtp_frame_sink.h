#pragma once

#include <cstdint>
#include <span>

namespace korvane {

// Takes RTP packets that arrive as frames of a byte stream rather than as datagrams (RTP
// interleaved on the RTSP connection, RFC 2326 section 10.12).
class IRTPFrameSink {
 public:
  virtual ~IRTPFrameSink() = default;
  // One RTP packet; the bytes are valid during the call only.
  virtual void OnRtpFrame(std::span<const uint8_t> frame) = 0;
};

}  // namespace korvane
