#include "rtsp/rtsp_transport_ssrc.h"

#include <cstddef>

namespace korvane {
namespace {

constexpr std::string_view kTransportHeader = "transport:";
constexpr std::string_view kSsrcParameter = "ssrc=";
constexpr std::string_view kInterleavedParameter = "interleaved=";
constexpr std::string_view kServerPortParameter = "server_port=";
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

// The value of `name` (with its '=') in the Transport header of the response's header block.
std::optional<std::string_view> TransportParameter(std::string_view response,
                                                   std::string_view name) {
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
      if (StartsWithNoCase(parameter, name)) return parameter.substr(name.size());
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<unsigned> ParseNumber(std::string_view digits, unsigned max) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<uint8_t> ParseChannel(std::string_view digits) {
  const std::optional<unsigned> value = ParseNumber(digits, 255);
  if (!value) return std::nullopt;
  return static_cast<uint8_t>(*value);
}

}  // namespace

std::optional<uint32_t> ParseTransportSsrc(std::string_view response) {
  const std::optional<std::string_view> value = TransportParameter(response, kSsrcParameter);
  return value ? ParseHex(*value) : std::nullopt;
}

std::optional<InterleavedChannels> ParseTransportInterleaved(std::string_view response) {
  const std::optional<std::string_view> value =
      TransportParameter(response, kInterleavedParameter);
  if (!value) return std::nullopt;
  const size_t dash = value->find('-');
  const std::optional<uint8_t> rtp = ParseChannel(value->substr(0, dash));
  if (!rtp) return std::nullopt;
  if (dash == std::string_view::npos) {
    // A single channel: RTCP takes the next one (RFC 2326 12.39), when there is one.
    if (*rtp == 255) return std::nullopt;
    return InterleavedChannels{*rtp, static_cast<uint8_t>(*rtp + 1)};
  }
  const std::optional<uint8_t> rtcp = ParseChannel(value->substr(dash + 1));
  if (!rtcp || *rtcp == *rtp) return std::nullopt;
  return InterleavedChannels{*rtp, *rtcp};
}

std::optional<uint16_t> ParseTransportServerRtcpPort(std::string_view response) {
  const std::optional<std::string_view> value = TransportParameter(response, kServerPortParameter);
  if (!value) return std::nullopt;
  const size_t dash = value->find('-');
  const std::optional<unsigned> rtp = ParseNumber(value->substr(0, dash), 65535);
  if (!rtp || *rtp == 0) return std::nullopt;
  if (dash == std::string_view::npos) {
    if (*rtp == 65535) return std::nullopt;
    return static_cast<uint16_t>(*rtp + 1);
  }
  const std::optional<unsigned> rtcp = ParseNumber(value->substr(dash + 1), 65535);
  if (!rtcp || *rtcp == 0) return std::nullopt;
  return static_cast<uint16_t>(*rtcp);
}

}  // namespace korvane
