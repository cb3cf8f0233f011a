// Depacketizer throughput for 1080p-sized frames (256 RTP packets of 1400 payload bytes, about
// 350 KB per frame), beside memcpy bandwidth of the same frame size measured in this binary.
// Each frame is copied twice on its way (payload into the frame buffer, buffer into the host
// frame), so the depacketizers' ceiling is about half of the memcpy figure.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/idriver.h"
#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/testing/media_test_support.h"
#include "media/mpeg4_rtp_media_parser.h"

namespace korvane {
namespace {

constexpr size_t kPayload = 1400;
constexpr size_t kPacketsPerFrame = 256;
constexpr size_t kFrames = 16;  // 4096 packets: the sequence numbers wrap without a gap
constexpr size_t kFrameBytes = kPayload * kPacketsPerFrame;

// A host that reuses one frame, as a recording server with a frame pool would.
class PooledFrame : public ipcapture::IMediaFrame {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  PooledFrame() : data_(4 * kFrameBytes) {}
  uint8_t* GetData() override { return data_.data(); }
  void SetDataSize(uint32_t size) override { size_ = size; }
  void SetTime(const ipcapture::SYSTEMTIME*) override {}
  void SetFourCC(uint32_t) override {}
  void SetHeight(uint32_t) override {}
  void SetWidth(uint32_t) override {}
  void SetSizeClass(uint32_t) override {}
  uint32_t size_ = 0;

 private:
  std::vector<uint8_t> data_;
};

class PooledFactory : public ipcapture::IFrameFactory {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  ipcapture::IMediaFrame* CreateFrame(uint32_t, uint32_t capacity, const char*) override {
    return capacity <= 4 * kFrameBytes ? &frame_ : nullptr;
  }
  void ReleaseFrame(ipcapture::IMediaFrame*) override {}

 private:
  PooledFrame frame_;
};

class CountingClient : public IMediaParserClient {
 public:
  bool OnFrame(ipcapture::IMediaFrame* frame) override {
    ++frames;
    bytes += static_cast<PooledFrame*>(frame)->size_;
    return true;
  }
  std::pair<uint32_t, uint32_t> GetVideoSize() override { return {1920, 1080}; }
  size_t frames = 0;
  size_t bytes = 0;
};

using Payloads = std::vector<std::vector<uint8_t>>;  // one frame, marker on the last

std::vector<uint8_t> Filler(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((seed + i * 13) % 0xFE + 1);
  return out;
}

// x264's SPS of a 1920x1080 stream and its PPS (GStreamer fixture's sprop-parameter-sets).
const std::vector<uint8_t> kSps = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0, 0x08, 0x9f, 0x97,
                                   0x01, 0x6a, 0x02, 0x02, 0x02, 0x80, 0x00, 0x00, 0x03, 0x00,
                                   0x80, 0x00, 0x00, 0x19, 0x47, 0x8c, 0x19, 0x50};
const std::vector<uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};

Payloads H264Frame(bool key) {
  Payloads p;
  const uint8_t type = key ? 5 : 1;
  if (key) {
    p.push_back(kSps);
    p.push_back(kPps);
  }
  while (p.size() < kPacketsPerFrame) {
    const bool start = p.size() == (key ? 2u : 0u);
    const bool end = p.size() + 1 == kPacketsPerFrame;
    auto payload = Filler(kPayload, static_cast<uint8_t>(p.size()));
    payload[0] = 0x7C;  // FU indicator: NRI=3, type=28
    payload[1] = static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | type);
    p.push_back(std::move(payload));
  }
  return p;
}

Payloads JpegFrame(bool) {
  Payloads p;
  // The first packet carries the quantization table header (4 bytes and two 64-byte tables)
  // before its scan data; the fragment offset counts scan data only (RFC 2435 3.1.4).
  constexpr uint32_t kTables = 4 + 128;
  uint32_t offset = 0;
  for (size_t i = 0; i < kPacketsPerFrame; ++i) {
    auto payload = Filler(kPayload, static_cast<uint8_t>(i));
    const uint8_t header[8] = {0, static_cast<uint8_t>(offset >> 16),
                               static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                               1, 255, 1920 / 8, 1080 / 8};
    std::memcpy(payload.data(), header, sizeof header);
    if (i == 0) {
      const uint8_t quant[4] = {0, 0, 0, 128};  // two 8-bit tables follow
      std::memcpy(payload.data() + 8, quant, sizeof quant);
    }
    offset += static_cast<uint32_t>(kPayload - 8 - (i == 0 ? kTables : 0));
    p.push_back(std::move(payload));
  }
  return p;
}

Payloads Mpeg4Frame(bool key) {
  // avenc_mpeg4's configuration of a 704x576 stream: the reader needs a real VOL.
  static const std::vector<uint8_t> config = {
      0x00, 0x00, 0x01, 0xb0, 0x01, 0x00, 0x00, 0x01, 0xb5, 0x89, 0x13, 0x00, 0x00, 0x01,
      0x00, 0x00, 0x00, 0x01, 0x20, 0x00, 0xc4, 0x8d, 0x8f, 0xff, 0xfd, 0x16, 0x04, 0x48,
      0x14, 0x63};
  Payloads p;
  for (size_t i = 0; i < kPacketsPerFrame; ++i) {
    auto payload = Filler(kPayload, static_cast<uint8_t>(i));
    if (i == 0) {
      size_t at = 0;
      if (key) {
        std::memcpy(payload.data(), config.data(), config.size());
        at = config.size();
      }
      const uint8_t vop[5] = {0x00, 0x00, 0x01, 0xB6, static_cast<uint8_t>(key ? 0x10 : 0x50)};
      std::memcpy(payload.data() + at, vop, sizeof vop);
    }
    p.push_back(std::move(payload));
  }
  return p;
}

template <typename Parser>
void BM_Depacketize(benchmark::State& state, Payloads (*make_frame)(bool)) {
  testing::FakeDriver driver;
  PooledFactory factory;
  driver.frame_factory = &factory;
  CountingClient client;
  Parser parser(&driver);
  parser.SetClient(&client);

  std::vector<CRTPPacket> packets;
  uint16_t sequence = 0;
  size_t payload_bytes = 0;
  for (size_t f = 0; f < kFrames; ++f) {
    const Payloads frame = make_frame(f % 8 == 0);
    for (size_t i = 0; i < frame.size(); ++i) {
      packets.push_back(testing::MakePacket(sequence++, static_cast<uint32_t>(f * 3600),
                                            i + 1 == frame.size(), frame[i]));
      payload_bytes += frame[i].size();
    }
  }
  for (auto _ : state) {
    for (const auto& packet : packets) parser.ParsePacket(&packet);
  }
  if (client.frames != kFrames * static_cast<size_t>(state.iterations())) {
    state.SkipWithError("not every frame was delivered");
  }
  state.SetBytesProcessed(static_cast<int64_t>(payload_bytes) * state.iterations());
  state.counters["frames/s"] = benchmark::Counter(
      static_cast<double>(kFrames) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_H264_1080p(benchmark::State& state) {
  BM_Depacketize<CH264RTPMediaParser>(state, &H264Frame);
}
void BM_Jpeg_1080p(benchmark::State& state) {
  BM_Depacketize<CJpegRTPMediaParser>(state, &JpegFrame);
}
void BM_Mpeg4_1080p(benchmark::State& state) {
  BM_Depacketize<CMpeg4RTPMediaParser>(state, &Mpeg4Frame);
}
BENCHMARK(BM_H264_1080p);
BENCHMARK(BM_Jpeg_1080p);
BENCHMARK(BM_Mpeg4_1080p);

// The two copies alone, on the same packets and host frame as BM_H264_1080p: each payload
// (after a two-byte header) into a buffer kept between frames, then the buffer into the host's
// frame. No parsing: this is the floor of any depacketizer with that design on this data. The
// 4096 packets (about 5.7 MB) do not fit a core's private cache the way BM_Memcpy's two
// buffers do, so the first copy reads at the shared cache's speed.
void BM_TwoCopies_1080p(benchmark::State& state) {
  PooledFactory factory;
  std::vector<CRTPPacket> packets;
  uint16_t sequence = 0;
  size_t payload_bytes = 0;
  for (size_t f = 0; f < kFrames; ++f) {
    const Payloads frame = H264Frame(f % 8 == 0);
    for (size_t i = 0; i < frame.size(); ++i) {
      packets.push_back(testing::MakePacket(sequence++, static_cast<uint32_t>(f * 3600),
                                            i + 1 == frame.size(), frame[i]));
      payload_bytes += frame[i].size();
    }
  }
  std::vector<uint8_t> buffer;
  buffer.reserve(2 * kFrameBytes);
  for (auto _ : state) {
    for (const auto& packet : packets) {
      const auto payload = packet.Payload();
      buffer.insert(buffer.end(), payload.begin() + 2, payload.end());
      if (!packet.Marker()) continue;
      ipcapture::IMediaFrame* const frame = factory.CreateFrame(0, 4 * kFrameBytes, "");
      std::memcpy(frame->GetData(), buffer.data(), buffer.size());
      frame->SetDataSize(static_cast<uint32_t>(buffer.size()));
      benchmark::DoNotOptimize(frame->GetData());
      benchmark::ClobberMemory();
      buffer.clear();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(payload_bytes) * state.iterations());
  state.counters["frames/s"] = benchmark::Counter(
      static_cast<double>(kFrames) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TwoCopies_1080p);

// memcpy of one frame's bytes between two buffers of the same size.
void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from = Filler(kFrameBytes, 3);
  std::vector<uint8_t> to(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(kFrameBytes) * state.iterations());
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Memcpy);

// One datagram of a 1400-byte payload parsed into a reused packet, as the receiver's records
// are: the header checks and the payload copy of every RTP packet.
void BM_RtpPacketParse(benchmark::State& state) {
  const std::vector<uint8_t> payload = Filler(kPayload, 5);
  std::vector<uint8_t> datagram(12 + kPayload);
  datagram[0] = 0x80;  // version 2
  datagram[1] = 96;
  std::memcpy(datagram.data() + 12, payload.data(), kPayload);
  CRTPPacket packet;
  for (auto _ : state) {
    benchmark::DoNotOptimize(packet.Parse(datagram));
    benchmark::DoNotOptimize(packet.Payload().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RtpPacketParse);

}  // namespace
}  // namespace korvane
