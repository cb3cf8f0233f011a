// The record of every RTSP and HTTP request the simulator received, for tests to read: one JSON
// object per line, in arrival order, appended to a file (when one is given) and kept in memory for
// the /camsim/requests inspection path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace camsim {

std::string JsonEscape(std::string_view text);

// Builds one flat JSON object; keys are literals of this program, values are escaped.
class JsonLine {
 public:
  JsonLine& Str(std::string_view key, std::string_view value);
  JsonLine& Int(std::string_view key, int64_t value);
  JsonLine& Bool(std::string_view key, bool value);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string body_;
};

class RequestLog {
 public:
  RequestLog() = default;
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Opens (truncates) the file; false when it cannot be written.
  bool Open(const std::string& path);
  // Adds the common fields "seq" and "t_ms" in front of the line's own fields.
  void Add(const JsonLine& fields);
  // All lines kept in memory (the newest kMaxLinesInMemory), each ending in '\n'.
  std::string Snapshot() const;

  static constexpr size_t kMaxLinesInMemory = 20000;

 private:
  mutable std::mutex lock_;
  FILE* file_ = nullptr;
  uint64_t next_seq_ = 1;
  std::deque<std::string> lines_;
};

}  // namespace camsim
