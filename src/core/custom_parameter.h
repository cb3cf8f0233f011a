#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// The text the host uses for a custom parameter that has no value.
inline constexpr std::string_view kNoneText = "(none)";

// A stored custom parameter as the driver's users see it: "(none)" exactly counts as empty.
std::string CustomParameterText(std::string_view stored);

// A custom parameter read as an integer: an optional '+' or '-' followed by one or more decimal
// digits and nothing else, within the signed 32-bit range. Anything else gives
// kCustomParameterAbsent (idriver.h).
std::int32_t ParseCustomParameterInt(std::string_view stored);

}  // namespace korvane
