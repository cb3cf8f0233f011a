#pragma once

#include "base/socket_address.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/base_thread.h"
#include "base/event.h"
#include "base/lock.h"
#include "core/transport_mode.h"
#include "rtp/rtp_client.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver_user.h"
#include "rtp/smart_ptr.h"

namespace korvane {

// Sits between a datagram transport and the channel: parses each datagram into a packet on the
// transport thread, queues it, and hands the packets one by one, in arrival order, to the user on
// a thread of its own, so that the socket thread never waits for frame assembly. It does not
// reorder, wait for late packets or detect gaps: that is the depacketizer's business.
//
// The queue is bounded by the bytes it holds. When the user falls behind (a host whose frame sink
// blocks, say) the oldest packets are dropped; the depacketizer sees the sequence gap and waits
// for the next key frame.
class CRTPReceiver : public IRTPClientUser, public CBaseThread {
 public:
  static constexpr uint32_t kReceiveSize = 1536;
  static constexpr uint32_t kWaitSeconds = 2;
  static constexpr uint32_t kStopMs = 2000;
  static constexpr uint32_t kIdleWaitMs = 1000;
  static constexpr size_t kDefaultQueueLimitBytes = 32u * 1024 * 1024;

  // logger may be null; not owned; goes to the thread base and to the UDP clients created here.
  explicit CRTPReceiver(IDebugMessage* logger);
  ~CRTPReceiver() override;

  // Consumer of the packets; set before Start(), not owned, must outlive the started state.
  void SetUser(IRTPReceiverUser* user) { user_.store(user, std::memory_order_release); }

  // Opens the transport on `port` (0: any free port) and starts the queue thread. In
  // kRtpOverUdp a new CUDPClient is created; in other modes a client given to SetClient() is
  // used. On failure everything is stopped again and the result is false.
  bool Start(uint16_t port, TransportMode transport_mode);
  // Stops the transport and the queue thread and drops what is still queued.
  void Stop();
  // Takes ownership of a transport client for the next Start() (any mode).
  void SetClient(IRTPClient* client);

  // Local port of the held client, 0 without one.
  uint16_t GetPort() const;

  // Limit on the queued bytes (payload and per-packet bookkeeping). Applies to later packets.
  void SetQueueLimit(size_t bytes) { queue_limit_.store(bytes, std::memory_order_relaxed); }
  size_t QueuedBytes() const;
  size_t QueuedPackets() const;
  // Packets dropped because the queue was full, since construction.
  uint64_t DroppedPackets() const { return dropped_.load(std::memory_order_relaxed); }

  // IRTPClientUser
  void OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
              size_t length) override;
  void OnWaitTimeout(IRTPClient* client) override;
  void OnClosed(IRTPClient* client) override;

 protected:
  void Run() override;

 private:
  // The sender's address and the packet: one heap block per queued packet.
  struct QueuedPacket {
    SocketAddress from{};
    CRTPPacket packet;
    size_t charge = 0;  // what this entry counts against the queue limit
  };
  // Spare records kept for reuse, so the steady state does not allocate one per packet.
  static constexpr size_t kMaxSpareRecords = 64;

  void ClearQueue();
  std::unique_ptr<QueuedPacket> TakeRecord();
  void RecycleRecord(std::unique_ptr<QueuedPacket> record);
  void CloseClient();

  std::atomic<IRTPReceiverUser*> user_{nullptr};
  // Owned by the channel's thread (Start/Stop); client_ptr_ mirrors it for the transport
  // thread's "is this the client I hold" test.
  TSmartPtr<IRTPClient> client_;
  std::atomic<IRTPClient*> client_ptr_{nullptr};

  mutable CLock lock_;  // guards queue_, queued_bytes_, spare_
  std::deque<std::unique_ptr<QueuedPacket>> queue_ GUARDED_BY(lock_);
  size_t queued_bytes_ GUARDED_BY(lock_) = 0;
  std::vector<std::unique_ptr<QueuedPacket>> spare_ GUARDED_BY(lock_);
  std::atomic<size_t> queue_limit_{kDefaultQueueLimitBytes};
  std::atomic<uint64_t> dropped_{0};
  CEvent packet_event_;  // auto-reset; set when a packet was queued
};

}  // namespace korvane
