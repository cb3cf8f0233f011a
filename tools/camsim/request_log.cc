#include "request_log.h"

#include <chrono>

namespace camsim {

std::string JsonEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;  // bytes >= 0x80 pass through; request lines are ASCII in practice
        }
    }
  }
  return out;
}

void JsonLine::Key(std::string_view key) {
  if (!body_.empty()) body_ += ',';
  body_ += '"';
  body_ += JsonEscape(key);
  body_ += "\":";
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view value) {
  Key(key);
  body_ += '"';
  body_ += JsonEscape(value);
  body_ += '"';
  return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

RequestLog::~RequestLog() {
  if (file_) std::fclose(file_);
}

bool RequestLog::Open(const std::string& path) {
  std::lock_guard guard(lock_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void RequestLog::Add(const JsonLine& fields) {
  static const auto start = std::chrono::steady_clock::now();
  const std::string own = fields.Text();
  std::lock_guard guard(lock_);
  // Taken under the lock so that "t_ms" never goes backwards along "seq".
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  std::string line = "{\"seq\":" + std::to_string(next_seq_++) + ",\"t_ms\":" + std::to_string(ms);
  line += own.size() > 2 ? "," + own.substr(1) : "}";
  line += '\n';
  if (file_) {
    std::fputs(line.c_str(), file_);
    std::fflush(file_);  // tests read the file while the simulator runs
  }
  lines_.push_back(std::move(line));
  if (lines_.size() > kMaxLinesInMemory) lines_.pop_front();
}

std::string RequestLog::Snapshot() const {
  std::lock_guard guard(lock_);
  std::string all;
  for (const auto& line : lines_) all += line;
  return all;
}

}  // namespace camsim
