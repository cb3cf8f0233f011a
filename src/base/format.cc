#include "base/format.h"

#include <cstdio>

namespace korvane {

std::optional<std::string> FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::nullopt;
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) return std::nullopt;
  std::string text(static_cast<size_t>(needed), '\0');
  va_list fill;
  va_copy(fill, args);
  std::vsnprintf(text.data(), text.size() + 1, format, fill);
  va_end(fill);
  return text;
}

}  // namespace korvane
