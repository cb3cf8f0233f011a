// The driver's configuration file (Tollivar.xml) as an administrator's editor, a crash or a disk
// fault can leave it: the input is the file's content, read by the XPath parser and the
// transport mode lookup.
//
// Beyond memory safety: the lookup always gives one of the three modes, and an entry it chose
// by device or channel is one the loaded file has.
#include <cstdint>
#include <string>

#include "camera/rtp_mode_config.h"
#include "camera/testing/temp_folder.h"
#include "camera/xml_parser.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  static testing::TempHostFolder folder;
  folder.Write("Tollivar.xml", std::string(reinterpret_cast<const char*>(data), size));
  DEVICE_INFO device;
  device.address = "192.0.2.10";
  device.port = 80;
  for (std::uint32_t channel : {0u, 1u, 7u}) {
    const TransportMode mode = GetRTPMode("Tollivar", device, channel);
    Require(mode == kRtpOverUdp || mode == kRtpOverTcp || mode == kRtpOverRtsp);
  }
  CXMLParser parser;
  if (parser.Open("Tollivar.xml")) {
    const std::string path = SelectChannelPath(parser, device, 0);
    // A chosen entry is there; the last resort (the file's first channel) may be missing.
    if (path != "Configuration/Device/VideoChannel") Require(parser.NodeExists(path));
    (void)parser.GetNodeText(path + "/RTPMode");
  }
  return 0;
}
