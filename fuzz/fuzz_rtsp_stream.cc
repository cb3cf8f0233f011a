// Interleaved stream parser: the same bytes fed whole and in pseudo-random chunk sizes (seeded
// by the first two input bytes) must yield the same packets.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "rtp/rtp_packet.h"
#include "rtsp/rtsp_stream_parser.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class Collector : public korvane::IRTPReceiverUser {
 public:
  void OnPacket(const korvane::CRTPPacket& packet) override {
    Check(packet.PayloadLength() > 0);
    Check(static_cast<size_t>(packet.PayloadLength()) == packet.Payload().size());
    Check(packet.Payload().size() <= 65535 - 12);
    packets.emplace_back(packet.Payload().begin(), packet.Payload().end());
    sequences.push_back(packet.Sequence());
    total += packet.Payload().size();
  }
  void OnPacketFrom(const korvane::SocketAddress&, const korvane::CRTPPacket&) override { Check(false); }
  void OnTransportWait() override { Check(false); }
  void OnTransportClosed() override { Check(false); }
  void OnCodecConfig(const korvane::DecoderConfig*) override { Check(false); }

  std::vector<std::vector<uint8_t>> packets;
  std::vector<uint16_t> sequences;
  size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t state = (static_cast<uint32_t>(data[0]) << 8) | data[1];
  const std::span<const uint8_t> stream(data + 2, size - 2);

  Collector whole;
  korvane::CRTSPStreamParser(&whole).Consume(stream);
  Check(whole.total <= stream.size());

  Collector pieces;
  korvane::CRTSPStreamParser parser(&pieces);
  size_t pos = 0;
  while (pos < stream.size()) {
    state = state * 1103515245u + 12345u;  // LCG: chunk sizes 0 to 63
    const size_t chunk = std::min<size_t>((state >> 16) % 64, stream.size() - pos);
    parser.Consume(stream.subspan(pos, chunk));
    pos += chunk;
  }
  Check(pieces.packets == whole.packets);
  Check(pieces.sequences == whole.sequences);
  return 0;
}
