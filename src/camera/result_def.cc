#include "camera/result_def.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "base/format.h"

namespace korvane {

void CResultDef::SetResultEx(int32_t new_severity, uint32_t new_code, const char* format, ...) {
  severity = new_severity;
  code = new_code;
  text.clear();
  if (format == nullptr) return;

  va_list args;
  va_start(args, format);
  try {
    std::optional<std::string> formatted = FormatV(format, args);
    if (formatted) {
      text = std::move(*formatted);
    } else {
      text = "korvane::CResultDef::SetResultEx: Unexpected exception during string formatting.";
    }
  } catch (const std::bad_alloc&) {
    // The text stays empty; code and severity still tell what happened.
  }
  va_end(args);
}

}  // namespace korvane
