// Throughput of the RTSP-side parsers: the interleaved stream parser on a 1 MiB stream of
// 1400-byte frames, and RTP packet parsing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "rtp/rtp_packet.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_stream_parser.h"

namespace {

constexpr size_t kFrameSize = 1400;  // interleaved frame: 4-byte prefix + RTP packet
constexpr size_t kStreamSize = 1 << 20;

std::vector<uint8_t> RtpPacket(uint16_t sequence, size_t size) {
  std::vector<uint8_t> packet(size, 0x5A);
  packet[0] = 0x80;  // V=2
  packet[1] = 0x60;  // PT=96
  packet[2] = static_cast<uint8_t>(sequence >> 8);
  packet[3] = static_cast<uint8_t>(sequence);
  return packet;
}

std::vector<uint8_t> InterleavedStream() {
  std::vector<uint8_t> stream;
  stream.reserve(kStreamSize + kFrameSize);
  for (uint16_t sequence = 0; stream.size() + kFrameSize <= kStreamSize; ++sequence) {
    const size_t length = kFrameSize - 4;
    stream.insert(stream.end(), {0x24, 0x00, static_cast<uint8_t>(length >> 8),
                                 static_cast<uint8_t>(length)});
    const std::vector<uint8_t> packet = RtpPacket(sequence, length);
    stream.insert(stream.end(), packet.begin(), packet.end());
  }
  return stream;
}

class CountingUser : public korvane::IRTPReceiverUser {
 public:
  void OnPacket(const korvane::CRTPPacket& packet) override {
    ++packets;
    bytes += packet.Payload().size();
  }
  void OnPacketFrom(const korvane::SocketAddress&, const korvane::CRTPPacket&) override {}
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const korvane::DecoderConfig*) override {}
  size_t packets = 0;
  size_t bytes = 0;
};

// Arg: read size of the RTSP connection (bytes per Consume call).
void BM_StreamParserConsume(benchmark::State& state) {
  const std::vector<uint8_t> stream = InterleavedStream();
  const size_t chunk = static_cast<size_t>(state.range(0));
  CountingUser user;
  korvane::CRTSPStreamParser parser(&user);
  for (auto _ : state) {
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      parser.Consume(std::span<const uint8_t>(stream.data() + pos,
                                              std::min(chunk, stream.size() - pos)));
    }
  }
  if (user.packets != (stream.size() / kFrameSize) * state.iterations()) {
    state.SkipWithError("packets lost");
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size()) * state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(user.packets));
}
BENCHMARK(BM_StreamParserConsume)->Arg(1400)->Arg(4096)->Arg(65536);

// Arg: datagram size.
void BM_RtpPacketParse(benchmark::State& state) {
  const std::vector<uint8_t> datagram = RtpPacket(1, static_cast<size_t>(state.range(0)));
  korvane::CRTPPacket packet;
  for (auto _ : state) {
    const bool ok = packet.Parse(datagram);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(datagram.size()) * state.iterations());
}
BENCHMARK(BM_RtpPacketParse)->Arg(200)->Arg(1400);

// A fresh packet per datagram, as the receiver does.
void BM_RtpPacketParseFresh(benchmark::State& state) {
  const std::vector<uint8_t> datagram = RtpPacket(1, 1400);
  for (auto _ : state) {
    korvane::CRTPPacket packet;
    const bool ok = packet.Parse(datagram);
    benchmark::DoNotOptimize(ok);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RtpPacketParseFresh);

}  // namespace
