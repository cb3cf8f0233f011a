// RTCP side of a UDP session: the reader of the camera's RTCP datagrams, and the receiver report
// built after a run of RTP sequence numbers (RFC 3550 appendix A.1 statistics).
//
// Input: byte 0 gives the length n of the RTCP datagram that follows; the bytes after it are
// big-endian 16-bit RTP sequence numbers.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "rtp/rtcp_handler.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

uint32_t ReadBE32(const uint8_t* p, size_t at) {
  return (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) |
         uint32_t{p[at + 3]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvane::CRTCPHandler;
  if (size == 0) return 0;
  const size_t rtcp_size = std::min<size_t>(data[0], size - 1);
  const std::span<const uint8_t> rtcp(data + 1, rtcp_size);

  const auto packet = CRTCPHandler::ReadCameraPacket(rtcp);
  Check(packet.has_value() == (rtcp.size() >= CRTCPHandler::kMinPacketSize));
  if (packet) {
    Check(packet->version_bits == (rtcp[0] & 0xC0));
    Check(packet->is_sender_report == (rtcp[1] == 200));
    Check(std::memcmp(packet->sender_ssrc.data(), rtcp.data() + 4, 4) == 0);
    Check(std::memcmp(packet->lsr.data(), rtcp.data() + 10, 4) == 0);
  }

  // One handler for the process (its events and socket object cost more than the input):
  // each input starts as a new session.
  static CRTCPHandler handler(nullptr);
  handler.ForgetSession();
  std::array<uint8_t, CRTCPHandler::kReceiverReportSize> report;
  const uint8_t* sequences = data + 1 + rtcp_size;
  const size_t count = (size - 1 - rtcp_size) / 2;
  uint32_t previous = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t s = static_cast<uint16_t>((sequences[2 * i] << 8) | sequences[2 * i + 1]);
    handler.OnRtpSequence(s);
    handler.WriteReceiverReportAt(12345, report);
    Check(report[1] == 201 && report[2] == 0 && report[3] == 7);
    Check(ReadBE32(report.data(), 12) == 0 && ReadBE32(report.data(), 20) == 0);
    Check(ReadBE32(report.data(), 28) == 0);  // nothing arrived on the RTCP port
    const uint32_t extended = ReadBE32(report.data(), 16);
    if (i == 0) {
      Check(extended == s);
    } else if (extended != previous) {
      // Only the number just seen can become the highest: in order (possibly wrapping) it
      // moves forward by less than 3000, on a confirmed jump the count starts again at it.
      Check((extended & 0xFFFF) == s);
      Check((extended > previous && extended - previous < 3000) || extended == s);
    }
    previous = extended;
  }
  return 0;
}
