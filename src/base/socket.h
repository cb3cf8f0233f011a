#pragma once

// Sockets through the platform layer: descriptors are plain ints here, -1 for none; the calls
// live in socket_posix.cc and socket_win32.cc. On Windows the int holds the SOCKET (a handle,
// which fits in 32 bits on the 32-bit build; INVALID_SOCKET is -1), and errno values stand for
// the WSAGetLastError() codes; every socket is non-blocking there (see OpenTcpConnection).

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/socket_address.h"

namespace korvane {

class CEvent;

// Owns one socket descriptor and closes it when destroyed. Move-only.
class CSocketHandle {
 public:
  CSocketHandle() = default;
  explicit CSocketHandle(int fd) : fd_(fd) {}
  ~CSocketHandle() { Close(); }
  CSocketHandle(CSocketHandle&& other) noexcept : fd_(other.Release()) {}
  CSocketHandle& operator=(CSocketHandle&& other) noexcept;
  CSocketHandle(const CSocketHandle&) = delete;
  CSocketHandle& operator=(const CSocketHandle&) = delete;

  int Get() const { return fd_; }
  bool IsValid() const { return fd_ >= 0; }
  // Gives up ownership and returns the descriptor.
  int Release();
  // Closes the current descriptor and takes `fd`.
  void Reset(int fd = -1);
  void Close() { Reset(-1); }

 private:
  int fd_ = -1;
};

// Takes the socket layer for the caller (WSAStartup 2.2 on Windows, nothing on POSIX); false when
// it cannot be had. Counted: every successful call needs one StopSocketLayer(). Never from
// DllMain or a static destructor.
bool StartSocketLayer();
void StopSocketLayer();

// Closes a socket descriptor that no CSocketHandle owns.
void CloseSocketDescriptor(int fd);

// Switches O_NONBLOCK (Windows: FIONBIO) on or off; false (errno set) on failure.
bool SetNonBlocking(int fd, bool non_blocking);

// Connects a stream socket to `peer`, waiting at most timeout_ms and returning early when
// `stop_event` (may be null) is set. The socket is left non-blocking. Returns 0 when connected,
// otherwise an errno value: ETIMEDOUT on time-out, ECANCELED when the stop event was set, or the
// connect error.
int ConnectWithTimeout(int fd, const SocketAddress& peer, uint32_t timeout_ms,
                       CEvent* stop_event);

// Text of an errno value ("Connection refused"), thread-safe; on Windows also for the errno
// values the socket calls map Winsock's codes to.
std::string ErrnoText(int error);

// What a socket wait looks for; the values of the poll flags, so they pass straight through to
// WaitForEventsOrSocket.
inline constexpr short kSocketReadable = 0x001;
inline constexpr short kSocketWritable = 0x004;
// Reported whatever was asked for:
inline constexpr short kSocketError = 0x008;    // a failed connect, a reset connection
inline constexpr short kSocketHangUp = 0x010;   // the peer closed
inline constexpr short kSocketInvalid = 0x020;  // the descriptor is not (or no longer) a socket

// Result of a non-blocking receive or send when nothing could be moved right now.
inline constexpr long kSocketWouldBlock = -2;

// Socket options applied when a socket is opened.
struct SocketOptions {
  uint32_t receiveBufferBytes = 0;  // 0 keeps the system's size
  uint32_t receiveTimeoutMs = 0;    // 0: none
  uint32_t sendTimeoutMs = 0;       // 0: none
};

// The IPv4 address of a host name or dotted address (network byte order), or 0 when it does not
// resolve. Blocks for as long as the system's resolver takes.
uint32_t LookUpIPv4(const std::string& host);

// A UDP socket bound to `port` on every local address (0: the system picks one). On success the
// socket is in `socket` and the bound port in `bound_port`.
bool OpenUdpSocket(uint16_t port, const SocketOptions& options, CSocketHandle* socket,
                   uint16_t* bound_port);

// One datagram into `buffer` without blocking. Returns its full length (larger than `size` when
// it was cut to fit; size + 1 on Windows), kSocketWouldBlock when none is waiting, or -1 on
// another error.
long ReceiveDatagram(int fd, uint8_t* buffer, size_t size, SocketAddress* from);

// Most datagrams one ReceiveDatagrams() call takes.
inline constexpr size_t kMaxDatagramBatch = 32;

// What ReceiveDatagrams() learnt about one datagram.
struct ReceivedDatagram {
  // Its full length: larger than the slot when it was cut to fit (on Windows, which does not
  // tell the rest, the slot size + 1).
  size_t length = 0;
  SocketAddress from{};
  // When the kernel took it in, in microseconds of SocketClockNowUs(); 0 when the socket keeps
  // no receive times (see EnableReceiveTimes()).
  uint64_t received_us = 0;
};

// Asks the kernel to note when each datagram (or, on TCP, each segment) arrives, so that
// ReceiveDatagrams() and ReceiveSome() can tell it. False where the system has no such times
// (Windows); the receive calls then report 0.
bool EnableReceiveTimes(int fd);

// Sets the socket's receive buffer (the kernel may cap it); false when refused.
bool SetSocketReceiveBuffer(int fd, uint32_t bytes);

// The clock of the receive times, in microseconds (the wall clock on Linux, as the kernel
// stamps it; on Windows, where there are no receive times, a monotonic clock).
uint64_t SocketClockNowUs();

// Every datagram waiting, up to `count` (at most kMaxDatagramBatch), in one call and without
// blocking (recvmmsg on Linux, recvfrom in a loop on Windows). Datagram i goes to
// buffer + i * slot_size, cut to slot_size. Returns how many arrived (their records in
// `datagrams`), kSocketWouldBlock when none is waiting, or -1 on another error.
long ReceiveDatagrams(int fd, uint8_t* buffer, size_t slot_size, size_t count,
                      ReceivedDatagram* datagrams);

// Sends one datagram; true when all of it went out.
bool SendDatagram(int fd, const uint8_t* data, size_t length, const SocketAddress& to);

// Wakes a thread blocked on the socket (shutdown in both directions).
void ShutdownSocket(int fd);

// Reads away at most `count` queued datagrams or chunks, without blocking.
void DrainSocket(int fd, int count);

// A TCP connection to `peer`, waiting at most `timeout_ms` for it; the socket is left blocking
// (non-blocking on Windows, where every wait on a socket makes it so: every call here that moves
// data is non-blocking anyway). A refused or reset connect fails here rather than passing for a
// connection.
// When it fails and `error` is not null, *error is the errno value of ConnectWithTimeout (or of
// the socket set-up).
bool OpenTcpConnection(const SocketAddress& peer, const SocketOptions& options,
                       uint32_t timeout_ms, CSocketHandle* socket, int* error = nullptr);

// Up to `size` bytes without blocking: the count read, 0 when the peer closed, kSocketWouldBlock
// when nothing is waiting (or the call was interrupted), or -1 on error. With `received_us`, a
// read that got bytes also tells when the last of them arrived (0 when unknown; see
// EnableReceiveTimes()).
long ReceiveSome(int fd, void* buffer, size_t size, uint64_t* received_us = nullptr);

// Sends without blocking and without SIGPIPE: the count sent, kSocketWouldBlock, or -1.
long SendSome(int fd, const void* data, size_t length);

}  // namespace korvane
