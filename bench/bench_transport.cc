// Throughput of the UDP transport: datagrams on loopback -> CUDPClient -> CRTPReceiver (parse,
// queue) -> its queue thread -> the user, and heap allocations per packet in steady state.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "rtp/rtp_client.h"
#include "counting_new.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"

namespace korvane {
namespace {

constexpr size_t kPayloadSize = 1400;  // a typical video packet under a 1500-byte MTU

std::vector<uint8_t> MakePacket(uint16_t sequence) {
  std::vector<uint8_t> p(12 + kPayloadSize, 0x5A);
  p[0] = 0x80;
  p[1] = 96;
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
  return p;
}

// The receiver puts packets in sequence order and drops repeats: every send carries the next
// number.
void SetSequence(std::vector<uint8_t>& p, uint16_t sequence) {
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
}

class CountingUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket&) override {}
  void OnPacketFrom(const SocketAddress&, const CRTPPacket& packet) override {
    benchmark::DoNotOptimize(packet.Payload().data());
    count_.fetch_add(1, std::memory_order_release);
  }
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig*) override {}

  uint64_t Count() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<uint64_t> count_{0};
};

// Waits (bounded) until the user has seen `target` packets.
bool WaitForCount(const CountingUser& user, uint64_t target) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (user.Count() < target) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Sends batches small enough for the receiver's 64 KiB socket buffer and waits for each to be
// delivered, so no datagram is lost and the figure is the pipeline's, not the kernel's drops.
void BM_UdpLoopbackToUser(benchmark::State& state) {
  const int batch = static_cast<int>(state.range(0));
  CountingUser user;
  CRTPReceiver receiver(nullptr);
  receiver.SetUser(&user);
  if (!receiver.Start(0, kRtpOverUdp)) {
    state.SkipWithError("cannot bind a UDP port");
    return;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(receiver.GetPort());
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);

  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < batch; ++i) packets.push_back(MakePacket(static_cast<uint16_t>(i)));

  uint16_t sequence = 0;
  uint64_t expected = 0;
  uint64_t lost_batches = 0;
  // Warm-up: spare records and thread-local buffers settle before counting.
  for (int round = 0; round < 8; ++round) {
    for (auto& p : packets) {
      SetSequence(p, sequence++);
      ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    expected += packets.size();
    if (!WaitForCount(user, expected)) expected = user.Count();
  }

  const uint64_t allocations_before = AllocationCount();
  const uint64_t delivered_before = user.Count();
  for (auto _ : state) {
    for (auto& p : packets) {
      SetSequence(p, sequence++);
      ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    expected += packets.size();
    if (!WaitForCount(user, expected)) {
      ++lost_batches;
      expected = user.Count();
    }
  }
  const uint64_t delivered = user.Count() - delivered_before;
  const uint64_t allocations = AllocationCount() - allocations_before;
  ::close(fd);
  receiver.Stop();

  state.SetItemsProcessed(static_cast<int64_t>(delivered));
  state.SetBytesProcessed(static_cast<int64_t>(delivered * kPayloadSize));
  state.counters["allocs_per_packet"] =
      delivered > 0 ? static_cast<double>(allocations) / static_cast<double>(delivered) : 0;
  state.counters["lost_batches"] = static_cast<double>(lost_batches);
}
BENCHMARK(BM_UdpLoopbackToUser)->Arg(1)->Arg(16)->UseRealTime();

// A transport without a socket, so the receiver alone (parse, queue, hand-off, delivery) is
// measured.
class NullClient : public IRTPClient {
 public:
  bool Open(IRTPClientUser*, uint16_t) override { return true; }
  bool Close() override { return true; }
  void SetReceiveSize(uint32_t) override {}
  void SetWait(uint32_t, uint32_t) override {}
  uint16_t GetPort() const override { return 1; }
};

void BM_ReceiverParseQueueDeliver(benchmark::State& state) {
  CountingUser user;
  CRTPReceiver receiver(nullptr);
  auto* client = new NullClient;
  receiver.SetUser(&user);
  receiver.SetClient(client);
  if (!receiver.Start(0, kRtpOverTcp)) {
    state.SkipWithError("receiver did not start");
    return;
  }
  auto packet = MakePacket(1);
  const SocketAddress from{};
  constexpr int kBatch = 64;
  uint64_t sent = 0;
  uint16_t sequence = 0;
  for (int i = 0; i < 256; ++i) {
    SetSequence(packet, sequence++);
    receiver.OnData(client, from, packet.data(), packet.size());
  }
  sent += 256;
  WaitForCount(user, sent);

  const uint64_t allocations_before = AllocationCount();
  const uint64_t delivered_before = user.Count();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      SetSequence(packet, sequence++);
      receiver.OnData(client, from, packet.data(), packet.size());
    }
    sent += kBatch;
    // Keep the queue short, as a consumer that keeps up would.
    WaitForCount(user, sent);
  }
  const uint64_t delivered = user.Count() - delivered_before;
  const uint64_t allocations = AllocationCount() - allocations_before;
  receiver.Stop();
  state.SetItemsProcessed(static_cast<int64_t>(delivered));
  state.counters["allocs_per_packet"] =
      delivered > 0 ? static_cast<double>(allocations) / static_cast<double>(delivered) : 0;
}
BENCHMARK(BM_ReceiverParseQueueDeliver)->UseRealTime();

}  // namespace
}  // namespace korvane
