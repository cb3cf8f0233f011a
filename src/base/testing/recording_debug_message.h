#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/debug_message.h"
#include "base/format.h"

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
    std::string text = FormatV(format, args).value_or(std::string());
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
