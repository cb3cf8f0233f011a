#pragma once

#include "base/socket_address.h"

#include <cstddef>
#include <cstdint>

#include "rtp/read_pacer.h"

namespace korvane {

class IRTPClient;

// Callbacks of a datagram transport. All three come from the transport's own thread; OnClosed
// also comes from the thread that calls IRTPClient::Close(). A callback must not Close() the
// client that calls it: Close() joins the calling thread.
class IRTPClientUser {
 public:
  virtual ~IRTPClientUser() = default;
  // One datagram of `length` bytes (at least 1) from `from`; the bytes are valid during the call.
  virtual void OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
                      size_t length) = 0;
  // Nothing arrived within the wait set by SetWait().
  virtual void OnWaitTimeout(IRTPClient* client) = 0;
  // The socket was closed, or waiting on it failed for good.
  virtual void OnClosed(IRTPClient* client) = 0;
  // The transport thread has read every datagram waiting (after one or more OnData calls, or
  // none after a timed wake). The answer plans its next read; by default nothing is held.
  virtual ReadVerdict OnReadDone(IRTPClient* /*client*/) { return ReadVerdict{}; }
};

// A bound datagram socket with a reader thread, as the RTP receiver and the RTCP handler see it.
class IRTPClient {
 public:
  virtual ~IRTPClient() = default;
  // Binds `port` (0: any free port) and starts delivering to `user`, which must outlive the
  // open state. Fails (and leaves the client closed) when the client is already open, the port
  // cannot be bound or the thread does not start.
  virtual bool Open(IRTPClientUser* user, uint16_t port) = 0;
  // Stops delivery and closes the socket. True when the reader thread ended within its time-out.
  virtual bool Close() = 0;
  // Read buffer size in bytes, capped at 65535; applies from the next read.
  virtual void SetReceiveSize(uint32_t bytes) = 0;
  // Readiness wait: `seconds` plus `microseconds` (stored modulo 1000).
  virtual void SetWait(uint32_t seconds, uint32_t microseconds) = 0;
  // The bound local port, 0 while closed.
  virtual uint16_t GetPort() const = 0;
};

}  // namespace korvane
