#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane {

// The synchronization source a SETUP reply announces in its Transport header
// ("Transport: RTP/AVP;unicast;...;ssrc=1A2B3C4D", RFC 2326 section 12.39): 1 to 8 hex digits.
// Nothing when the response has no Transport header, no ssrc parameter, or an unreadable value.
std::optional<uint32_t> ParseTransportSsrc(std::string_view response);

// The interleaved channels of RTP and RTCP (RFC 2326 10.12).
struct InterleavedChannels {
  uint8_t rtp = 0;
  uint8_t rtcp = 1;
  bool operator==(const InterleavedChannels&) const = default;
};

// The channels a SETUP reply names ("interleaved=4-5", or "interleaved=4" for 4 and 5, RFC 2326
// 12.39). The server may choose others than the client asked for. Nothing when the reply names
// none or the value is not two different numbers 0 to 255.
std::optional<InterleavedChannels> ParseTransportInterleaved(std::string_view response);

// The camera's RTCP port from a UDP SETUP reply ("server_port=6000-6001": the second, or the
// first + 1 when only one is named; RFC 2326 12.39), where receiver reports go before the
// camera has sent any RTCP. Nothing when the reply names none or the value is not a port.
std::optional<uint16_t> ParseTransportServerRtcpPort(std::string_view response);

}  // namespace korvane
