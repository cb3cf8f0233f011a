#pragma once

// Test helpers: a loopback UDP socket that plays the camera, and a bounded poll-until.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "base/socket_address.h"
#include "base/testing/test_sockets.h"

namespace korvane::testing {

inline sockaddr_in LoopbackAddress(uint16_t port, const char* ip = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

inline SocketAddress LoopbackSocketAddress(uint16_t port, const char* ip = "127.0.0.1") {
  return SocketAddress{LoopbackAddress(port, ip).sin_addr.s_addr, port};
}

inline uint32_t LoopbackIp(const char* ip = "127.0.0.1") {
  return LoopbackAddress(0, ip).sin_addr.s_addr;
}

// A UDP socket bound to a loopback address and a free port.
class UdpPeer {
 public:
  explicit UdpPeer(const char* ip = "127.0.0.1") {
    fd_ = static_cast<int>(::socket(AF_INET, SOCK_DGRAM | kCloseOnExec, 0));
    const int buffer = 4 * 1024 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer),
                 sizeof(buffer));
    sockaddr_in local = LoopbackAddress(0, ip);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
    socklen_t length = sizeof(address_);
    ok_ = ok_ && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) == 0;
  }
  ~UdpPeer() {
    if (fd_ >= 0) CloseSocket(fd_);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool ok() const { return ok_; }
  uint16_t port() const { return ntohs(address_.sin_port); }
  const sockaddr_in& address() const { return address_; }
  SocketAddress socket_address() const { return SocketAddress{address_.sin_addr.s_addr, port()}; }

  // Sends to 127.0.0.1:port.
  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes) const {
    const sockaddr_in to = LoopbackAddress(port);
    return ::sendto(fd_, reinterpret_cast<const char*>(bytes.data()), bytes.size(), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<long>(bytes.size());
  }

  // One datagram within timeout_ms, or nothing.
  std::optional<std::vector<uint8_t>> Receive(int timeout_ms, sockaddr_in* from = nullptr) const {
    pollfd p = PollEntry(fd_, POLLIN);
    if (PollSockets(&p, 1, timeout_ms) != 1) return std::nullopt;
    std::vector<uint8_t> buffer(65536);
    sockaddr_in sender{};
    socklen_t length = sizeof(sender);
    const long n = ::recvfrom(fd_, reinterpret_cast<char*>(buffer.data()), buffer.size(),
                              kDontWait, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    if (from != nullptr) *from = sender;
    return buffer;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  sockaddr_in address_{};
};

// Polls `done` every 2 ms until it holds or timeout_ms passed; returns its last value.
inline bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// An RTP packet: V=2, no CSRC, no extension, the given sequence and payload.
inline std::vector<uint8_t> MakeRtp(uint16_t sequence, size_t payload_size, uint8_t fill = 0xAB,
                                    uint32_t timestamp = 90000, bool marker = false) {
  std::vector<uint8_t> p(12 + payload_size, fill);
  p[0] = 0x80;                                            // V=2 P=0 X=0 CC=0
  p[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | 96);  // M, PT=96
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
  p[4] = static_cast<uint8_t>(timestamp >> 24);
  p[5] = static_cast<uint8_t>(timestamp >> 16);
  p[6] = static_cast<uint8_t>(timestamp >> 8);
  p[7] = static_cast<uint8_t>(timestamp);
  p[8] = 0x11;  // SSRC 0x11223344
  p[9] = 0x22;
  p[10] = 0x33;
  p[11] = 0x44;
  return p;
}

}  // namespace korvane::testing
