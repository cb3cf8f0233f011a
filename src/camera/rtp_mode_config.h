#pragma once

#include <cstdint>
#include <string>

#include "core/device_info.h"
#include "core/transport_mode.h"

namespace korvane {

class CXMLParser;

// The transport mode for one channel of a device from the optional file `baseName` + ".xml"
// in the host executable's folder (for the driver: "Tollivar.xml"). The file is read anew on
// every call, so an edit takes effect at the next connection attempt. A missing or malformed
// file, no matching entry, or an unknown mode text all give kRtpOverUdp.
//
// The file:
//   <Configuration>
//     <Device address="192.0.2.10" port="80">
//       <VideoChannel id="0"><RTPMode>RTPoverRTSP</RTPMode></VideoChannel>
//     </Device>
//   </Configuration>
TransportMode GetRTPMode(const std::string& baseName, const DEVICE_INFO& device, uint32_t channel);
// The same lookup in a file already loaded (GetRTPMode loads the file and asks this); nothing
// loaded gives kRtpOverUdp.
TransportMode GetRTPMode(const CXMLParser& parser, const DEVICE_INFO& device, uint32_t channel);

// The XPath of the VideoChannel entry that applies to this device and channel in a loaded
// file: this device (address and port exactly as in DEVICE_INFO) and this channel id, then this
// device, then this channel id under any device, then the first channel of the file.
std::string SelectChannelPath(const CXMLParser& parser, const DEVICE_INFO& device,
                              uint32_t channel);

// The mode for an RTPMode text; exact and case-sensitive, anything else is kRtpOverUdp.
TransportMode RtpModeFromText(const std::string& text);

}  // namespace korvane
