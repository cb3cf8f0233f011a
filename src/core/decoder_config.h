#pragma once

#include <cstdint>
#include <vector>

namespace korvane {

// The video decoder configuration that a DESCRIBE answer carries in its SDP: the H.264 parameter
// sets from sprop-parameter-sets (RFC 6184 section 8.1) or the MPEG-4 decoder configuration from
// config= (RFC 3016 section 5.2). The RTSP client hands the address of this group to its user.
struct DecoderConfig {
  std::vector<uint8_t> Sps;     // H.264 sequence parameter set, without start code
  std::vector<uint8_t> Pps;     // H.264 picture parameter set, without start code
  std::vector<uint8_t> Config;  // MPEG-4 VOS/VO/VOL headers

  void Clear() {
    Sps.clear();
    Pps.clear();
    Config.clear();
  }
};

}  // namespace korvane
