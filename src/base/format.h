#pragma once

#include <cstdarg>
#include <optional>
#include <string>

namespace korvane {

// The printf-style text of `format` with `args`, of any length; nullopt when the format cannot be
// expanded (or is null). `args` is copied, so the caller still owns and ends it. May throw
// std::bad_alloc.
std::optional<std::string> FormatV(const char* format, va_list args);

}  // namespace korvane
