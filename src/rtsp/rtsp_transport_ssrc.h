#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane {

// The synchronization source a SETUP reply announces in its Transport header
// ("Transport: RTP/AVP;unicast;...;ssrc=1A2B3C4D", RFC 2326 section 12.39): 1 to 8 hex digits.
// Nothing when the response has no Transport header, no ssrc parameter, or an unreadable value.
std::optional<uint32_t> ParseTransportSsrc(std::string_view response);

}  // namespace korvane
