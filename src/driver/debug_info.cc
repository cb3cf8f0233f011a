#include "driver/debug_info.h"

#include <cstring>

namespace korvane {

CDebugInfo::CDebugInfo(std::uint8_t level, std::string_view text) : level_(level) {
  if (!text.empty()) {
    text_ = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(text_.get(), text.data(), text.size());
    text_[text.size()] = '\0';
  }
}

}  // namespace korvane
