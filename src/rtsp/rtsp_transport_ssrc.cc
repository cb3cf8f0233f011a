#include "rtsp/rtsp_transport_ssrc.h"

#include <cstddef>

namespace korvane {
namespace {

constexpr std::string_view kTransportHeader = "transport:";
constexpr std::string_view kSsrcParameter = "ssrc=";
constexpr size_t kMaxSsrcDigits = 8;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > kMaxSsrcDigits) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    const char l = Lower(c);
    uint32_t digit = 0;
    if (l >= '0' && l <= '9') {
      digit = static_cast<uint32_t>(l - '0');
    } else if (l >= 'a' && l <= 'f') {
      digit = static_cast<uint32_t>(l - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

}  // namespace

std::optional<uint32_t> ParseTransportSsrc(std::string_view response) {
  while (!response.empty()) {
    const size_t end = response.find('\n');
    const std::string_view line = response.substr(0, end);
    response = end == std::string_view::npos ? std::string_view() : response.substr(end + 1);
    if (Trim(line).empty()) break;  // end of the header block
    if (!StartsWithNoCase(line, kTransportHeader)) continue;
    std::string_view parameters = line.substr(kTransportHeader.size());
    while (!parameters.empty()) {
      const size_t semicolon = parameters.find(';');
      const std::string_view parameter = Trim(parameters.substr(0, semicolon));
      parameters = semicolon == std::string_view::npos ? std::string_view()
                                                       : parameters.substr(semicolon + 1);
      if (StartsWithNoCase(parameter, kSsrcParameter)) {
        return ParseHex(parameter.substr(kSsrcParameter.size()));
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace korvane
