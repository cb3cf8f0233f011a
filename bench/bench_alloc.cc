// Heap allocations per packet on the two receive paths in steady state, counted exactly:
//  - UDP: datagrams on a loopback socket -> CUDPClient (batched reads) -> CRTPReceiver (parse,
//    queue, source lock, reorder window) -> its queue thread -> the user;
//  - interleaved: 64 KiB chunks of an RTSP connection's bytes -> CRTSPStreamParser ->
//    CRTPReceiver -> its queue thread -> the user.
// Every allocation of the process counts, on every thread. Exits non-zero when a path allocates
// in steady state, so it also runs as a test. Sends are paced (each burst is delivered before the
// next goes out), so the count does not depend on timing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <span>
#include <thread>
#include <vector>

#include "counting_new.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"
#include "rtsp/rtsp_stream_parser.h"

namespace korvane {
namespace {

constexpr size_t kPayloadSize = 1400;  // a typical video packet under a 1500-byte MTU
constexpr size_t kPacketSize = 12 + kPayloadSize;
constexpr int kBurst = 16;             // datagrams sent before waiting for their delivery
constexpr int kWarmUpBursts = 64;
constexpr int kCountedBursts = 256;    // 4096 packets counted per path
constexpr size_t kChunkBytes = 64 * 1024;

void StampRtp(uint8_t* p, uint16_t sequence) {
  p[0] = 0x80;  // V=2
  p[1] = 96;    // PT
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
  p[8] = 0x11;  // SSRC 0x11223344
  p[9] = 0x22;
  p[10] = 0x33;
  p[11] = 0x44;
}

class CountingUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket& packet) override { Count(packet); }
  void OnPacketFrom(const SocketAddress&, const CRTPPacket& packet) override { Count(packet); }
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig*) override {}

  uint64_t Delivered() const { return count_.load(std::memory_order_acquire); }
  uint64_t Bytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  void Count(const CRTPPacket& packet) {
    bytes_.fetch_add(packet.Payload().size(), std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_release);
  }
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> bytes_{0};
};

// Waits, bounded, until the user has seen `target` packets; allocates nothing.
bool WaitForCount(const CountingUser& user, uint64_t target) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (user.Delivered() < target) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

struct Result {
  bool ok = false;
  uint64_t packets = 0;
  uint64_t allocations = 0;
};

Result MeasureUdp() {
  Result result;
  CountingUser user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  if (!receiver.Start(0, kRtpOverUdp)) return result;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(receiver.GetPort());
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  std::vector<uint8_t> packet(kPacketSize, 0x5A);

  uint16_t sequence = 0;
  uint64_t sent = 0;
  auto send_bursts = [&](int bursts) {
    for (int b = 0; b < bursts; ++b) {
      for (int i = 0; i < kBurst; ++i) {
        StampRtp(packet.data(), sequence++);
        if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof(to)) != static_cast<ssize_t>(packet.size())) {
          return false;
        }
      }
      sent += kBurst;
      if (!WaitForCount(user, sent)) return false;
    }
    return true;
  };
  // The first packet waits for the second (source probation): the count lags by none once both
  // are in, as each burst is consecutive.
  bool ok = send_bursts(kWarmUpBursts);
  const uint64_t allocations_before = AllocationCount();
  const uint64_t delivered_before = user.Delivered();
  ok = ok && send_bursts(kCountedBursts);
  result.allocations = AllocationCount() - allocations_before;
  result.packets = user.Delivered() - delivered_before;
  ::close(fd);
  receiver.Stop();
  result.ok = ok;
  return result;
}

Result MeasureInterleaved() {
  Result result;
  CountingUser user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  if (!receiver.StartInterleaved()) return result;
  CRTSPStreamParser parser(&receiver);

  // The connection's bytes: RTP frames on channel 0, an RTCP report on channel 1 every tenth
  // frame, cut into 64 KiB reads at arbitrary places (frames straddle reads).
  constexpr size_t kFrameBytes = 4 + kPacketSize;
  std::vector<uint8_t> chunk(kChunkBytes);
  size_t chunk_used = 0;
  std::vector<uint8_t> frame(kFrameBytes, 0x5A);
  const uint8_t rtcp[] = {0x24, 0x01, 0x00, 0x08, 0x80, 0xC9, 0x00, 0x01,
                          0x24, 0x00, 0x7F, 0xFF};  // RR whose SSRC reads "$\0"
  uint16_t sequence = 0;
  uint64_t sent = 0;
  auto append = [&](const uint8_t* data, size_t size) {
    while (size > 0) {
      const size_t take = std::min(size, chunk.size() - chunk_used);
      std::copy(data, data + take, chunk.begin() + static_cast<ptrdiff_t>(chunk_used));
      chunk_used += take;
      data += take;
      size -= take;
      if (chunk_used == chunk.size()) {
        parser.Consume(std::span<const uint8_t>(chunk.data(), chunk_used));
        chunk_used = 0;
      }
    }
  };
  auto send_frames = [&](int bursts) {
    for (int b = 0; b < bursts; ++b) {
      for (int i = 0; i < kBurst; ++i) {
        frame[0] = 0x24;
        frame[1] = 0x00;
        frame[2] = static_cast<uint8_t>(kPacketSize >> 8);
        frame[3] = static_cast<uint8_t>(kPacketSize);
        StampRtp(frame.data() + 4, sequence++);
        append(frame.data(), frame.size());
        if (sequence % 10 == 0) append(rtcp, sizeof(rtcp));
      }
      // What is left of a partial read goes out too, so the burst can be waited for.
      parser.Consume(std::span<const uint8_t>(chunk.data(), chunk_used));
      chunk_used = 0;
      sent += kBurst;
      if (!WaitForCount(user, sent)) return false;
    }
    return true;
  };
  bool ok = send_frames(kWarmUpBursts);
  const uint64_t allocations_before = AllocationCount();
  const uint64_t delivered_before = user.Delivered();
  ok = ok && send_frames(kCountedBursts);
  result.allocations = AllocationCount() - allocations_before;
  result.packets = user.Delivered() - delivered_before;
  receiver.Stop();
  result.ok = ok;
  return result;
}

bool Report(const char* path, const Result& result) {
  const uint64_t expected = uint64_t{kCountedBursts} * kBurst;
  std::printf("%-12s packets %llu/%llu, allocations %llu (%.4f per packet)\n", path,
              static_cast<unsigned long long>(result.packets),
              static_cast<unsigned long long>(expected),
              static_cast<unsigned long long>(result.allocations),
              result.packets > 0 ? static_cast<double>(result.allocations) /
                                       static_cast<double>(result.packets)
                                 : 0.0);
  return result.ok && result.packets == expected && result.allocations == 0;
}

}  // namespace
}  // namespace korvane

int main() {
  const bool udp = korvane::Report("udp", korvane::MeasureUdp());
  const bool interleaved = korvane::Report("interleaved", korvane::MeasureInterleaved());
  if (!udp || !interleaved) {
    std::printf("FAILED: a receive path allocates in steady state or lost packets\n");
    return 1;
  }
  std::printf("PASSED\n");
  return 0;
}
