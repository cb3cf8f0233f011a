#pragma once

#include "base/socket_address.h"

#include <atomic>
#include <cstdint>

#include "base/base_thread.h"
#include "base/lock.h"
#include "rtp/rtp_client.h"

namespace korvane {

// One bound IPv4 UDP socket and a thread that waits for datagrams and hands each one, with its
// sender's address, to the user. Used for the RTP port (by CRTPReceiver) and the RTCP port (by
// CRTCPHandler).
//
// The thread waits on the socket and on its stop event together, so Close() takes effect at once
// rather than at the end of the current readiness wait; OnWaitTimeout() keeps its cadence. Once
// woken it reads every datagram waiting, up to kMaxDatagramBatch per system call, and then asks
// the user (OnReadDone) whether a picture ended or is still arriving; a CReadPacer turns that into
// the next wait (a short pause while a burst arrives, a timer to just after the next picture, or
// the socket), so that a video stream wakes the thread about once per picture.
class CUDPClient : public CBaseThread, public IRTPClient {
 public:
  static constexpr uint32_t kDefaultReceiveSize = 8192;
  static constexpr uint32_t kMaxReceiveSize = 65535;
  // Growth of the read buffer after a datagram did not fit.
  static constexpr uint32_t kReceiveSizeStep = 1024;
  // Room in the kernel for a key frame's burst while this thread is not running (a 1080p key
  // frame at 10 Mbit/s is a few hundred kilobytes); the kernel caps it at net.core.rmem_max.
  static constexpr int kSocketReceiveBuffer = 2 * 1024 * 1024;
  static constexpr uint32_t kSocketReceiveTimeoutMs = 5000;
  static constexpr uint32_t kSocketSendTimeoutMs = 1000;
  static constexpr uint32_t kMinJoinMs = 5000;
  static constexpr int kDrainCount = 100;

  // logger may be null; not owned; must outlive this object.
  explicit CUDPClient(IDebugMessage* logger);
  ~CUDPClient() override;

  // IRTPClient
  bool Open(IRTPClientUser* user, uint16_t port) override;
  bool Close() override;
  void SetReceiveSize(uint32_t bytes) override;
  void SetWait(uint32_t seconds, uint32_t microseconds) override;
  uint16_t GetPort() const override { return port_.load(std::memory_order_acquire); }

  // Sends one datagram to `to`; true when all `length` bytes went out. Fails while closed.
  bool SendTo(const uint8_t* data, size_t length, const SocketAddress& to);

  bool IsOpen() const { return GetPort() != 0; }

 protected:
  void Run() override;

 private:
  enum class WaitResult { kRead, kEnd };

  // Creates and binds the socket; requires lock_.
  bool BindLocked(uint16_t port) REQUIRES(lock_);
  // socket_, read under lock_ alone: Open() and Close() change it under both locks.
  int SocketLocked() const REQUIRES(lock_);
  WaitResult WaitForReadable(int fd);
  // Reads every datagram waiting and hands each to the user; false when the stop event was set.
  // *got_any: something arrived; *received_us: the kernel's receive time of the last, 0 unknown.
  bool ReadWaiting(int fd, uint8_t* buffer, uint32_t* size, bool* got_any, uint64_t* received_us);
  uint32_t WaitMs() const;

  CLock lock_;  // serialises Open() and Close()
  // Guards socket_ against SendTo() racing with Close().
  CLock socket_lock_;
  int socket_ GUARDED_BY(socket_lock_) = -1;
  // Set by Open() before the thread starts and read only by it; Close() joins before reuse.
  IRTPClientUser* user_ = nullptr;
  int thread_socket_ = -1;
  std::atomic<uint16_t> port_{0};
  std::atomic<uint32_t> receive_size_{kDefaultReceiveSize};
  // Set by SetReceiveSize() so that the running thread picks the new size up at its next read.
  std::atomic<bool> receive_size_changed_{false};
  std::atomic<uint32_t> wait_seconds_{2};
  std::atomic<uint32_t> wait_microseconds_{0};
  uint32_t join_base_ms_ GUARDED_BY(lock_) = 0;
};

}  // namespace korvane
