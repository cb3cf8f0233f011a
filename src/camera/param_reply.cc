#include "camera/param_reply.h"

#include <array>

#include "text/text_helpers.h"

namespace korvane {
namespace {

constexpr std::string_view kReplySeparator = " = ";
constexpr std::string_view kReplyLineEnds = "\r\n";

// Widths whose heights follow the video standard (NTSC 240/480, PAL 288/576).
constexpr unsigned kCifWidth = 352;
constexpr uint16_t kCifIndex = 1;
constexpr unsigned kD1Width = 720;
constexpr uint16_t kD1Index = 3;

struct ResolutionEntry {
  unsigned width;
  unsigned height;
  uint16_t index;
};

constexpr std::array<ResolutionEntry, 7> kResolutions = {{
    {320, 240, 1},
    {640, 480, 2},
    {1024, 768, 4},
    {1280, 720, 6},
    {1280, 960, 5},
    {1280, 1024, 9},
    {1920, 1080, 7},
}};

}  // namespace

std::string GetReplyParam(std::string_view reply, std::string_view key) {
  return GetParamValue(key, kReplySeparator, reply, kReplyLineEnds);
}

std::string MakeParamUpdatePath(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string path = kParamUpdatePath;
  for (const auto& [key, value] : pairs) {
    path += '&';
    path += key;
    path += '=';
    path += value;
  }
  return path;
}

bool IsUpdateSuccessReply(std::string_view body) {
  return body.find(kParamUpdateSuccess) != std::string_view::npos;
}

uint16_t ResolutionIndex(unsigned width, unsigned height) {
  if (width == kCifWidth) return kCifIndex;
  if (width == kD1Width) return kD1Index;
  for (const ResolutionEntry& entry : kResolutions) {
    if (entry.width == width && entry.height == height) return entry.index;
  }
  return 0;
}

}  // namespace korvane
