#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvane {

// A bounds-checked replacement for the sscanf patterns the RTSP/SDP reader needs
// ("cseq: %lu", "content-type: %s", "%s %u"): literal prefixes, blank-separated tokens and
// unsigned decimal numbers that must fit 32 bits. Reads from the start of the text.
class TextScan {
 public:
  explicit TextScan(std::string_view text) : text_(text) {}

  // The text at the current position starts with `literal` (exact, no blanks skipped).
  bool Literal(std::string_view literal) {
    if (text_.substr(pos_, literal.size()) != literal) return false;
    pos_ += literal.size();
    return true;
  }

  // Skips white space, then takes the run of non-white characters (at least one). A longer run
  // than `max` is cut to `max` characters when `truncate`, else refused.
  bool Token(size_t max, std::string_view& token, bool truncate = false) {
    SkipSpace();
    size_t end = pos_;
    while (end < text_.size() && !IsSpace(text_[end])) ++end;
    if (end == pos_) return false;
    size_t length = end - pos_;
    if (length > max) {
      if (!truncate) return false;
      length = max;
    }
    token = text_.substr(pos_, length);
    pos_ = end;
    return true;
  }

  // Skips white space, then reads decimal digits (at least one) that fit 32 bits. Signs are
  // refused: a negative sequence number or length is a fault, not a large number.
  bool Unsigned(uint32_t& value) {
    SkipSpace();
    uint64_t result = 0;
    size_t end = pos_;
    while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9') {
      result = result * 10 + static_cast<uint64_t>(text_[end] - '0');
      if (result > UINT32_MAX) return false;
      ++end;
    }
    if (end == pos_) return false;
    value = static_cast<uint32_t>(result);
    pos_ = end;
    return true;
  }

 private:
  static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
  }
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace korvane
