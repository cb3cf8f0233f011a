#pragma once

#include "base/socket_address.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/base_thread.h"
#include "base/clock.h"
#include "base/event.h"
#include "base/lock.h"
#include "base/thread_role.h"
#include "core/transport_mode.h"
#include "rtp/rtp_client.h"
#include "rtp/rtp_frame_sink.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver_user.h"
#include "rtp/rtp_sequencer.h"
#include "rtp/smart_ptr.h"

namespace korvane {

// Sits between a transport and the channel: parses each datagram (or interleaved frame) into a
// packet on the transport thread, queues it, and hands the packets to the user on a thread of its
// own, so that the socket thread never waits for frame assembly. On the way the packets pass a
// CRtpSequencer: the stream is locked onto one source (SSRC) and put back in sequence order
// within a small window; gaps that remain are the depacketizer's business.
//
// The queue is bounded by the bytes it holds. When the user falls behind (a host whose frame sink
// blocks, say) the oldest packets are dropped; the depacketizer sees the sequence gap and waits
// for the next key frame.
//
// Hand-over: a transport that reports the end of its reads (OnReadDone, or EndOfRead() for the
// interleaved reader) wakes the delivery thread once per picture: when the packets read include
// a picture's last one (the RTP marker bit), or when the oldest packet not yet handed over has
// waited kHandOverBoundMs. Until a transport reports a read end, the thread is woken whenever
// the queue turns non-empty. Either way the thread takes the whole queue under one lock.
//
// Cost per packet: packet records and their buffers are recycled, so the steady state allocates
// nothing and locks twice per packet on the transport side.
class CRTPReceiver : public IRTPClientUser, public IRTPFrameSink, public CBaseThread {
 public:
  static constexpr uint32_t kReceiveSize = 1536;
  static constexpr uint32_t kWaitSeconds = 2;
  static constexpr uint32_t kStopMs = 2000;
  static constexpr uint32_t kIdleWaitMs = 1000;
  static constexpr size_t kDefaultQueueLimitBytes = 32u * 1024 * 1024;
  // Longest a packet waits on the transport side for the rest of its picture.
  static constexpr uint32_t kHandOverBoundMs = 5;

  // logger may be null; not owned; goes to the thread base and to the UDP clients created here.
  // The reorder window's time-out is measured on `clock`, which must outlive the receiver.
  explicit CRTPReceiver(IDebugMessage* logger, IClock& clock = SystemClock());
  ~CRTPReceiver() override;

  // Consumer of the packets; set before Start(), not owned, must outlive the started state.
  void SetUser(IRTPReceiverUser* user) { user_.store(user, std::memory_order_release); }

  // The SSRC the camera named in its SETUP reply (Transport ssrc=, as a number), or nullopt.
  // Any thread; applies while no source is locked (from the next packet on), and after every
  // Start().
  void SetExpectedSsrc(std::optional<uint32_t> ssrc);

  // Opens the transport on `port` (0: any free port) and starts the queue thread. In
  // kRtpOverUdp a new CUDPClient is created; in other modes a client given to SetClient() is
  // used. On failure everything is stopped again and the result is false. The source lock and
  // the reorder window start afresh.
  bool Start(uint16_t port, TransportMode transport_mode);
  // Starts the queue thread alone, for packets that come through OnRtpFrame() (interleaved
  // transport); they reach the user's OnPacket().
  bool StartInterleaved();
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
  // Packets of a source other than the locked one, dropped, since construction.
  uint64_t ForeignPackets() const { return foreign_.load(std::memory_order_relaxed); }

  // IRTPClientUser
  void OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
              size_t length) override;
  void OnWaitTimeout(IRTPClient* client) override;
  void OnClosed(IRTPClient* client) override;
  ReadVerdict OnReadDone(IRTPClient* client) override;

  // The interleaved reader has handed over every frame of its last read (OnRtpFrame); the
  // answer says whether a picture ended and how soon to call again for packets held back.
  ReadVerdict EndOfRead();

  // IRTPFrameSink: one interleaved packet, taken while StartInterleaved() runs.
  void OnRtpFrame(std::span<const uint8_t> frame) override;

 protected:
  void Run() override;

 private:
  // Allocator and container bookkeeping per queued packet, beyond the record itself: counted so
  // that a flood of tiny packets is bounded too.
  static constexpr size_t kPerPacketOverhead = 64;
  // Spare records kept for reuse, so the steady state does not allocate one per packet.
  static constexpr size_t kMaxSpareRecords = 256;
  // Records made at construction, with room for a packet of kReceiveSize: however many packets
  // happen to be in flight at once (up to this), none needs a new record or buffer.
  static constexpr size_t kPreparedRecords = 64;
  // Evicted slots at the front of the queue are compacted away past this many.
  static constexpr size_t kCompactAfter = 1024;

  // Parses `data` into a recycled record and queues it.
  void Enqueue(const SocketAddress& from, bool interleaved, std::span<const uint8_t> data);
  void ClearQueue();
  RtpRecordPtr TakeRecord();
  // Gives records back to the spare pool (those beyond its size are freed); empties `records`.
  void RecycleRecords(std::vector<RtpRecordPtr>* records);
  // Hands `ready` to the user, moving each record to `spare`.
  void DeliverReady(std::vector<RtpRecordPtr>* ready, std::vector<RtpRecordPtr>* spare);
  uint32_t IdleWaitMs() const;
  void CloseClient();
  // Forgets what the transport side held back (before a transport starts).
  void ResetHandOver();

  IClock& clock_;
  std::atomic<IRTPReceiverUser*> user_{nullptr};
  // Owned by the channel's thread (Start/Stop); client_ptr_ mirrors it for the transport
  // thread's "is this the client I hold" test.
  TSmartPtr<IRTPClient> client_;
  std::atomic<IRTPClient*> client_ptr_{nullptr};
  std::atomic<bool> interleaved_open_{false};

  mutable CLock lock_;
  // The queue is queue_[queue_head_] onwards: drop-oldest advances the head, so that the
  // consumer can take the whole vector by swapping it.
  std::vector<RtpRecordPtr> queue_ GUARDED_BY(lock_);
  size_t queue_head_ GUARDED_BY(lock_) = 0;
  size_t queued_bytes_ GUARDED_BY(lock_) = 0;
  std::vector<RtpRecordPtr> spare_ GUARDED_BY(lock_);
  std::optional<uint32_t> expected_ssrc_ GUARDED_BY(lock_);
  bool expected_ssrc_changed_ GUARDED_BY(lock_) = false;
  std::atomic<size_t> queue_limit_{kDefaultQueueLimitBytes};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> foreign_{0};
  CEvent packet_event_;  // auto-reset; set when packets are handed over

  // The transport thread's own (OnData, OnRtpFrame, the read ends), and Start()'s before that
  // thread runs: the packets queued but not yet signalled.
  CThreadRole transport_;
  bool reports_read_ends_ GUARDED_BY(transport_) = false;
  size_t unsignalled_ GUARDED_BY(transport_) = 0;
  bool unsignalled_end_ GUARDED_BY(transport_) = false;
  uint64_t unsignalled_since_ GUARDED_BY(transport_) = 0;

  // The queue thread's own.
  CRtpSequencer sequencer_;
};

}  // namespace korvane
