#pragma once

#include <cstdint>

namespace korvane {

// How a channel's RTP stream reaches the driver. The values are those of the configuration
// file's RTPMode texts ("RTPoverUDP", "RTPoverTCP", "RTPoverRTSP").
enum TransportMode : std::int32_t {
  kRtpOverUdp = 0,   // RTP and RTCP on the two client ports announced in SETUP; the default
  kRtpOverTcp = 1,   // RTP/AVP/TCP: interleaved on the RTSP connection (RFC 2326 section 10.12)
  kRtpOverRtsp = 2,  // interleaved on the RTSP connection, with the camera's own profile
};

}  // namespace korvane
