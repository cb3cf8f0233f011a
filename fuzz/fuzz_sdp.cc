// SDP reader on its own: the whole input is the body of a DESCRIBE answer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtsp/rtsp_response_parser.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A control value is one blank-free token cut from a line of the body.
void CheckControl(const std::string& value, std::string_view body) {
  Check(value.size() <= 255);
  Check(value.find_first_of(" \t\r\n") == std::string::npos);
  Check(value.empty() || body.find(value) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  korvane::CRTSPResponseParser parser;
  const bool ok = parser.ParseSdp(body);
  const korvane::RTSPResponse& r = parser.Response();
  CheckControl(r.VideoControl, body);
  CheckControl(r.AudioControl, body);
  CheckControl(r.DataControl, body);
  for (const std::string* profile : {&r.VideoProfile, &r.AudioProfile, &r.DataProfile}) {
    Check(profile->find(' ') == std::string::npos);
    Check(profile->empty() || body.find(*profile) != std::string_view::npos);
  }
  Check(r.Codec.Sps.size() <= 256 && r.Codec.Pps.size() <= 256);
  // Base64 gives three bytes per four characters, hex one per two (one for a last odd one).
  Check(r.Codec.Config.size() <= size * 3 / 4 + 2);
  // Only SDP was read: the response part of the record is untouched.
  Check(r.StatusCode == 0 && r.CSeq == 0 && r.SessionId.empty());
  if (ok) Check(parser.ParseSdp(body));  // reading again gives the same answer
  return 0;
}
