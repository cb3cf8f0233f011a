#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// The outcome of one camera request: a code (0 success), a severity in the log levels'
// numbering and a ready-made error text that the caller may log or drop.
class CResultDef {
 public:
  static constexpr int32_t kDefaultSeverity = 3;

  virtual ~CResultDef() = default;

  // Stores severity and code and replaces the text with the printf-style formatting of
  // `format` (an empty text when `format` is null). `format` is always a literal of this code
  // base; untrusted text goes in only as an argument.
  void SetResultEx(int32_t severity, uint32_t code, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  int32_t severity = kDefaultSeverity;
  uint32_t code = 0;
  std::string text;
};

}  // namespace korvane
