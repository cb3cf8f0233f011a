#include "camera/rtp_mode_config.h"

#include "camera/xml_parser.h"
#include "rtsp/text_helpers.h"

namespace korvane {

int32_t RtpModeFromText(const std::string& text) {
  if (text == "RTPoverUDP") return kRtpModeUdp;
  if (text == "RTPoverTCP") return kRtpModeTcp;
  if (text == "RTPoverRTSP") return kRtpModeRtsp;
  return kRtpModeUdp;
}

std::string SelectChannelPath(const CXMLParser& parser, const DEVICE_INFO& device,
                              uint32_t channel) {
  const unsigned port = device.port;
  const std::string candidates[] = {
      FormatString("Configuration/Device[@address=\"%s\"][@port=\"%u\"]/VideoChannel[@id=\"%u\"]",
                   device.address.c_str(), port, channel),
      FormatString("Configuration/Device[@address=\"%s\"][@port=\"%u\"]/VideoChannel",
                   device.address.c_str(), port),
      FormatString("Configuration/Device/VideoChannel[@id=\"%u\"]", channel),
  };
  for (const std::string& path : candidates) {
    if (parser.NodeExists(path)) return path;
  }
  return "Configuration/Device/VideoChannel";
}

int32_t GetRTPMode(const std::string& baseName, const DEVICE_INFO& device, uint32_t channel) {
  CXMLParser parser;
  if (!parser.Open(baseName + ".xml")) return kRtpModeUdp;
  const std::string path = SelectChannelPath(parser, device, channel);
  const int32_t mode = RtpModeFromText(parser.GetNodeText(path + "/RTPMode"));
  parser.Close();
  return mode;
}

}  // namespace korvane
