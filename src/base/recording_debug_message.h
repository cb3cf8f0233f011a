#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/debug_message.h"

namespace korvane {

// An IDebugMessage that keeps every formatted line, for tests that check log output.
class CRecordingDebugMessage : public IDebugMessage {
 public:
  struct Line {
    int level;
    std::string text;
    bool operator==(const Line&) const = default;
  };

  void DebugMessage(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) {
      std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(Line{level, std::move(text)});
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace korvane
