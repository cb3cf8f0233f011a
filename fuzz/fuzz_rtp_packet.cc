// RTP packet parser: on success the parts (padding included) must account for every byte of the
// datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rtp/rtp_packet.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::CRTPPacket packet;
  if (!packet.Parse(size, data)) {
    Check(packet.Payload().empty() && packet.PayloadLength() == 0);
    Check(packet.CsrcList().empty() && packet.ExtensionData().empty());
    Check(packet.Sequence() == 0 && packet.Timestamp() == 0 && packet.Ssrc() == 0);
    return 0;
  }
  Check(size > 12 && (data[0] >> 6) == 2);
  Check(packet.CsrcCount() == (data[0] & 0x0F));
  Check(packet.CsrcList().size() == packet.CsrcCount() * 4u);
  size_t header = 12 + packet.CsrcList().size();
  if (data[0] & 0x10) {
    Check(packet.ExtensionData().size() == packet.ExtensionLength() * 4u);
    header += 4 + packet.ExtensionData().size();
  } else {
    Check(packet.ExtensionData().empty() && packet.ExtensionLength() == 0);
  }
  Check(packet.PayloadLength() > 0);
  Check(static_cast<size_t>(packet.PayloadLength()) == packet.Payload().size());
  // With the P bit, the last octet counts the padding taken off (RFC 3550 section 5.1).
  const size_t padding = (data[0] & 0x20) ? data[size - 1] : 0;
  Check((data[0] & 0x20) == 0 || padding > 0);
  Check(header + packet.Payload().size() + padding == size);
  Check(std::memcmp(packet.Payload().data(), data + header, packet.Payload().size()) == 0);
  Check(packet.Sequence() == ((data[2] << 8) | data[3]));
  Check(packet.Marker() == (data[1] >> 7) && packet.PayloadType() == (data[1] & 0x7F));

  // A copy re-parsed from its own bytes is the same packet.
  korvane::CRTPPacket again;
  Check(again.Parse(size, data) && again.Payload().size() == packet.Payload().size());
  return 0;
}
