#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "tollivar/host_objects.h"

namespace korvane {

// One log record for the host's message sink. Built on the stack for one OnDebugInfo call.
class CDebugInfo final : public ipcapture::CDebugInfoIf {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  CDebugInfo(std::uint8_t level, std::string_view text);
  CDebugInfo(const CDebugInfo&) = delete;
  CDebugInfo& operator=(const CDebugInfo&) = delete;

  std::uint8_t GetLevel() const override { return level_; }
  // Null for an empty text.
  const char* GetText() const override { return text_.get(); }

 private:
  std::uint8_t level_;
  std::unique_ptr<char[]> text_;  // absent when the text is empty
};

}  // namespace korvane
