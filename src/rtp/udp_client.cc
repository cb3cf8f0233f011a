#include "rtp/udp_client.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/event.h"
#include "base/socket.h"

namespace korvane {

CUDPClient::CUDPClient(IDebugMessage* logger) : CBaseThread(logger) {}

CUDPClient::~CUDPClient() { Close(); }

void CUDPClient::SetReceiveSize(uint32_t bytes) {
  receive_size_.store(bytes, std::memory_order_relaxed);
  receive_size_changed_.store(true, std::memory_order_release);
}

void CUDPClient::SetWait(uint32_t seconds, uint32_t microseconds) {
  wait_seconds_.store(seconds, std::memory_order_relaxed);
  wait_microseconds_.store(microseconds % 1000, std::memory_order_relaxed);
}

uint32_t CUDPClient::WaitMs() const {
  const uint64_t seconds = wait_seconds_.load(std::memory_order_relaxed);
  const uint64_t micros = wait_microseconds_.load(std::memory_order_relaxed);
  // The sub-second part is rounded up to whole milliseconds: a wait of a few microseconds
  // must not turn into a zero-time poll that spins.
  const uint64_t ms = seconds * 1000 + (micros + 999) / 1000;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, kInfinite - 1));
}

bool CUDPClient::Open(IRTPClientUser* user, uint16_t port) {
  bool started = false;
  {
    CAutoLock guard(lock_);
    // An open client keeps its user: its thread reads it.
    if (SocketLocked() < 0) user_ = user;
    if (BindLocked(port)) {
      thread_socket_ = SocketLocked();
      started = StartThread("UDP client thread, port " + std::to_string(GetPort()));
    }
  }
  if (!started) Close();
  return started;
}

// socket_ changes only under both locks, so lock_ alone suffices to read it; the analysis knows
// one guarding lock per member.
int CUDPClient::SocketLocked() const NO_THREAD_SAFETY_ANALYSIS { return socket_; }

bool CUDPClient::BindLocked(uint16_t port) {
  if (SocketLocked() >= 0) return false;  // already open

  SocketOptions options;
  options.receiveBufferBytes = kSocketReceiveBuffer;
  options.receiveTimeoutMs = kSocketReceiveTimeoutMs;
  options.sendTimeoutMs = kSocketSendTimeoutMs;
  CSocketHandle socket;
  uint16_t bound_port = 0;
  if (!OpenUdpSocket(port, options, &socket, &bound_port)) return false;
  // The read pacer times pictures by the kernel's receive times where the system keeps them.
  EnableReceiveTimes(socket.Get());
  const int fd = socket.Release();
  {
    CAutoLock socket_guard(socket_lock_);
    socket_ = fd;
  }
  join_base_ms_ = std::max(kSocketSendTimeoutMs, kSocketReceiveTimeoutMs);
  port_.store(bound_port, std::memory_order_release);
  return true;
}

bool CUDPClient::Close() {
  SignalStop();
  int closed_fd = -1;
  bool joined = false;
  IRTPClientUser* user = nullptr;
  {
    CAutoLock guard(lock_);
    user = user_;
    {
      CAutoLock socket_guard(socket_lock_);
      if (socket_ >= 0) {
        // Wakes a reader that is inside a receive.
        ShutdownSocket(socket_);
        closed_fd = std::exchange(socket_, -1);
        port_.store(0, std::memory_order_release);
      }
    }
    const uint64_t wait_ms = uint64_t{wait_seconds_.load(std::memory_order_relaxed)} * 1000;
    const uint64_t join_ms =
        std::max<uint64_t>(std::max<uint64_t>(join_base_ms_, wait_ms) + 1000, kMinJoinMs);
    joined = JoinThread(static_cast<uint32_t>(std::min<uint64_t>(join_ms, kInfinite - 1)));
    thread_socket_ = -1;
  }
  if (closed_fd >= 0) {
    // Read away what is still queued on the socket, bounded, before it goes.
    DrainSocket(closed_fd, kDrainCount);
    CSocketHandle closing(closed_fd);
    if (user != nullptr) {
      try {
        user->OnClosed(this);
      } catch (...) {
        // A user's failure must not escape into the owner that closes us.
      }
    }
  }
  return joined;
}

bool CUDPClient::SendTo(const uint8_t* data, size_t length, const SocketAddress& to) {
  if (data == nullptr || length == 0) return false;
  CAutoLock socket_guard(socket_lock_);
  if (socket_ < 0) return false;
  return SendDatagram(socket_, data, length, to);
}

CUDPClient::WaitResult CUDPClient::WaitForReadable(int fd) {
  for (;;) {
    if (StopEvent().IsSet()) return WaitResult::kRead;  // Run() ends at its next check
    short revents = 0;
    const uint32_t result =
        WaitForEventsOrSocket({&StopEvent()}, fd, kSocketReadable, WaitMs(), &revents);
    if (StopEvent().IsSet()) return WaitResult::kEnd;
    if (result == kWaitSocket) {
      if (revents & kSocketInvalid) {
        // The descriptor is no longer a socket: nothing more will ever arrive.
        if (user_ != nullptr) user_->OnClosed(this);
        return WaitResult::kEnd;
      }
      return WaitResult::kRead;
    }
    if (result == kWaitTimeout) {
      if (user_ != nullptr) user_->OnWaitTimeout(this);
      continue;
    }
    // Index 0 is the stop event, seen above; anything else waits again.
  }
}

bool CUDPClient::ReadWaiting(int fd, uint8_t* buffer, uint32_t* size, bool* got_any,
                             uint64_t* received_us) {
  constexpr size_t kSlotSize = kMaxReceiveSize;
  ReceivedDatagram datagrams[kMaxDatagramBatch];
  for (;;) {
    const long n = ReceiveDatagrams(fd, buffer, kSlotSize, kMaxDatagramBatch, datagrams);
    if (StopEvent().IsSet()) return false;
    if (n <= 0) return true;  // none left (errors are ignored: the wait sees a dead socket)
    *got_any = true;
    *received_us = datagrams[n - 1].received_us;
    for (long i = 0; i < n; ++i) {
      const ReceivedDatagram& datagram = datagrams[i];
      if (datagram.length > *size) {
        // The datagram is lost; make room for larger ones from now on.
        *size = std::min(*size + kReceiveSizeStep, kMaxReceiveSize);
      } else if (datagram.length > 0 && user_ != nullptr) {
        user_->OnData(this, datagram.from, buffer + static_cast<size_t>(i) * kSlotSize,
                      datagram.length);
      }
    }
    if (n < static_cast<long>(kMaxDatagramBatch)) return true;
  }
}

void CUDPClient::Run() {
  // Wakes once per picture and hands it on at once: no preemption at either wake.
  DeferWakePreemption();
  const int fd = thread_socket_;
  // Flag first, then the size: a SetReceiveSize() in between is read again at the first read.
  receive_size_changed_.store(false, std::memory_order_relaxed);
  uint32_t size = receive_size_.load(std::memory_order_acquire);
  // One slot of the largest size per datagram of a batch, allocated once and left uninitialised:
  // only the pages that datagrams land in are ever touched. The read size is applied per
  // datagram, so a batch behaves as reads one by one would (a larger datagram right after a lost
  // one is judged against the grown size).
  const auto buffer =
      std::make_unique_for_overwrite<uint8_t[]>(size_t{kMaxReceiveSize} * kMaxDatagramBatch);
  CReadPacer pacer;
  CReadPacer::Plan plan;

  for (;;) {
    if (StopEvent().IsSet()) return;
    if (plan.next == CReadPacer::Next::kPause) {
      if (WaitForEvents({&StopEvent()}, plan.ms) == kWaitStopped) return;
    } else if (plan.ms > 0) {
      // Bounded: the user holds packets and must hear from us within plan.ms.
      if (WaitForEventsOrSocket({&StopEvent()}, fd, kSocketReadable, plan.ms) == kWaitStopped) {
        return;
      }
    } else if (WaitForReadable(fd) == WaitResult::kEnd) {
      return;
    }

    if (receive_size_changed_.exchange(false, std::memory_order_acquire)) {
      size = receive_size_.load(std::memory_order_relaxed);
    }
    size = std::clamp<uint32_t>(size, 1, kMaxReceiveSize);
    CReadPacer::Round round;
    if (!ReadWaiting(fd, buffer.get(), &size, &round.got_data, &round.received_us)) return;
    if (user_ != nullptr) round.verdict = user_->OnReadDone(this);
    round.now_us = SocketClockNowUs();
    plan = pacer.After(round);
  }
}

}  // namespace korvane
