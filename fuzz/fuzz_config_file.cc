// The driver's configuration file (Tollivar.xml) as an administrator's editor, a crash or a disk
// fault can leave it: the input is the file's content, read by the XPath parser and the
// transport mode lookup.
//
// Beyond memory safety: the lookup always gives one of the three modes, and an entry it chose
// by device or channel is one the loaded file has.
//
// The content is parsed from memory (CXMLParser::OpenContent, the parse that Open does after
// reading the file), so an execution costs the parsing and the lookups, not a file write and
// four file reads. The driver's own path (the content written to Tollivar.xml in the stand-in
// host folder, GetRTPMode by file name) runs for the first input of a process and every 64th
// after it, and must give what the lookup from memory gave: a finding on that path reproduces
// when its input is run alone.
#include <cstdint>
#include <string>
#include <string_view>

#include "camera/rtp_mode_config.h"
#include "camera/testing/temp_folder.h"
#include "camera/xml_parser.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr unsigned kFileEvery = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  static testing::TempHostFolder folder;
  static unsigned executions = 0;
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  DEVICE_INFO device;
  device.address = "192.0.2.10";
  device.port = 80;
  CXMLParser parser;
  const bool loaded = parser.OpenContent(content);
  Require(loaded == parser.IsLoaded());
  TransportMode first = kRtpOverUdp;
  for (std::uint32_t channel : {0u, 1u, 7u}) {
    const TransportMode mode = GetRTPMode(parser, device, channel);
    Require(mode == kRtpOverUdp || mode == kRtpOverTcp || mode == kRtpOverRtsp);
    if (channel == 0) first = mode;
  }
  if (loaded) {
    const std::string path = SelectChannelPath(parser, device, 0);
    // A chosen entry is there; the last resort (the file's first channel) may be missing.
    if (path != "Configuration/Device/VideoChannel") Require(parser.NodeExists(path));
    (void)parser.GetNodeText(path + "/RTPMode");
  }
  if (executions++ % kFileEvery == 0) {
    folder.Write("Tollivar.xml", std::string(content));
    Require(GetRTPMode("Tollivar", device, 0) == first);
  }
  return 0;
}
