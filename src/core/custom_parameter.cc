#include "core/custom_parameter.h"

#include <charconv>

#include "core/idriver.h"

namespace korvane {

std::string CustomParameterText(std::string_view stored) {
  if (stored == kNoneText) return {};
  return std::string(stored);
}

std::int32_t ParseCustomParameterInt(std::string_view stored) {
  std::string_view digits = stored;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return kCustomParameterAbsent;
  for (char c : digits) {
    if (c < '0' || c > '9') return kCustomParameterAbsent;
  }
  // Parse the magnitude wide so that "-2147483648" fits; a value outside the 32-bit range is
  // refused rather than wrapped.
  std::int64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return kCustomParameterAbsent;
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return kCustomParameterAbsent;
  return static_cast<std::int32_t>(value);
}

}  // namespace korvane
