#include "camera/rtp_mode_config.h"

#include "camera/xml_parser.h"
#include "text/text_helpers.h"

namespace korvane {

TransportMode RtpModeFromText(const std::string& text) {
  if (text == "RTPoverUDP") return kRtpOverUdp;
  if (text == "RTPoverTCP") return kRtpOverTcp;
  if (text == "RTPoverRTSP") return kRtpOverRtsp;
  return kRtpOverUdp;
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

TransportMode GetRTPMode(const std::string& baseName, const DEVICE_INFO& device, uint32_t channel) {
  CXMLParser parser;
  if (!parser.Open(baseName + ".xml")) return kRtpOverUdp;
  const TransportMode mode = GetRTPMode(parser, device, channel);
  parser.Close();
  return mode;
}

TransportMode GetRTPMode(const CXMLParser& parser, const DEVICE_INFO& device, uint32_t channel) {
  if (!parser.IsLoaded()) return kRtpOverUdp;
  const std::string path = SelectChannelPath(parser, device, channel);
  return RtpModeFromText(parser.GetNodeText(path + "/RTPMode"));
}

}  // namespace korvane
