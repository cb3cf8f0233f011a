#include "camera/result_def.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace korvane {

void CResultDef::SetResultEx(int32_t new_severity, uint32_t new_code, const char* format, ...) {
  severity = new_severity;
  code = new_code;
  text.clear();
  if (format == nullptr) return;

  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) {
    va_end(args);
    text = "korvane::CResultDef::SetResultEx: Unexpected exception during string formatting.";
    return;
  }
  try {
    std::string formatted(static_cast<size_t>(needed), '\0');
    std::vsnprintf(formatted.data(), formatted.size() + 1, format, args);
    text = std::move(formatted);
  } catch (const std::bad_alloc&) {
    // The text stays empty; code and severity still tell what happened.
  }
  va_end(args);
}

}  // namespace korvane
