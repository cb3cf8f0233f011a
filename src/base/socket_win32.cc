#include "base/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/event.h"

namespace korvane {

namespace {

// A Winsock code, the errno value it stands for, and its text (glibc's words, so that logs read
// the same on both platforms; the C runtime of Windows has no text for these values).
struct SocketError {
  int wsa;
  int error;
  const char* text;
};

constexpr SocketError kSocketErrors[] = {
    {WSAEINTR, EINTR, nullptr},
    {WSAEBADF, EBADF, nullptr},
    {WSAEACCES, EACCES, nullptr},
    {WSAEFAULT, EFAULT, nullptr},
    {WSAEINVAL, EINVAL, nullptr},
    {WSAEMFILE, EMFILE, nullptr},
    {WSAEWOULDBLOCK, EWOULDBLOCK, "Resource temporarily unavailable"},
    {WSAEINPROGRESS, EINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, EALREADY, "Operation already in progress"},
    {WSAENOTSOCK, ENOTSOCK, "Socket operation on non-socket"},
    {WSAEMSGSIZE, EMSGSIZE, "Message too long"},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT, "Address family not supported by protocol"},
    {WSAEADDRINUSE, EADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETDOWN, ENETDOWN, "Network is down"},
    {WSAENETUNREACH, ENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, ENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, ECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, ECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, ENOBUFS, "No buffer space available"},
    {WSAEISCONN, EISCONN, "Transport endpoint is already connected"},
    {WSAENOTCONN, ENOTCONN, "Transport endpoint is not connected"},
    {WSAETIMEDOUT, ETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, ECONNREFUSED, "Connection refused"},
    {WSAEHOSTUNREACH, EHOSTUNREACH, "No route to host"},
    {WSA_OPERATION_ABORTED, ECANCELED, "Operation canceled"},
};

// The errno value of a Winsock code; EIO for one without a match.
int ErrnoOf(int wsa) {
  for (const SocketError& e : kSocketErrors) {
    if (e.wsa == wsa) return e.error;
  }
  return EIO;
}

int LastError() { return ErrnoOf(WSAGetLastError()); }

SOCKET ToSocket(int fd) { return static_cast<SOCKET>(fd); }

// A socket that child processes of the host do not inherit, or -1.
int NewSocket(int type, int protocol) {
  const SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

sockaddr_in ToSockaddr(const SocketAddress& address) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_addr.s_addr = address.ip;
  out.sin_port = htons(address.port);
  return out;
}

bool SetTimeoutOption(int fd, int option, uint32_t timeout_ms) {
  const DWORD ms = timeout_ms;  // Winsock takes milliseconds, not a timeval
  return setsockopt(ToSocket(fd), SOL_SOCKET, option, reinterpret_cast<const char*>(&ms),
                    sizeof(ms)) == 0;
}

bool ApplyOptions(int fd, const SocketOptions& options) {
  if (options.receiveBufferBytes != 0) {
    const int bytes = static_cast<int>(std::min<uint32_t>(options.receiveBufferBytes, INT32_MAX));
    if (setsockopt(ToSocket(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof(bytes)) != 0) {
      return false;
    }
  }
  if (options.receiveTimeoutMs != 0 &&
      !SetTimeoutOption(fd, SO_RCVTIMEO, options.receiveTimeoutMs)) {
    return false;
  }
  return options.sendTimeoutMs == 0 || SetTimeoutOption(fd, SO_SNDTIMEO, options.sendTimeoutMs);
}

// Results of the non-blocking calls: a would-block (or interrupted) call is no error.
long NonBlockingResult(int n) {
  if (n != SOCKET_ERROR) return n;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR ? kSocketWouldBlock : -1;
}

// One datagram without blocking (the socket is non-blocking): its length, slot_size + 1 when it
// was cut (Winsock reports WSAEMSGSIZE and not the real length), or the call's failure.
long ReceiveOne(int fd, uint8_t* buffer, size_t size, SocketAddress* from) {
  sockaddr_in source{};
  int source_length = sizeof(source);
  const int capacity = static_cast<int>(std::min<size_t>(size, INT_MAX - 1));
  int n = recvfrom(ToSocket(fd), reinterpret_cast<char*>(buffer), capacity, 0,
                   reinterpret_cast<sockaddr*>(&source), &source_length);
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = capacity + 1;
  if (n == SOCKET_ERROR) return NonBlockingResult(n);
  if (from != nullptr) {
    from->ip = source.sin_addr.s_addr;
    from->port = ntohs(source.sin_port);
  }
  return n;
}

}  // namespace

// Winsock counts its start-ups itself: every successful WSAStartup is matched by one WSACleanup,
// and the last one releases the library.
bool StartSocketLayer() {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  if (data.wVersion != MAKEWORD(2, 2)) {
    WSACleanup();
    return false;
  }
  return true;
}

void StopSocketLayer() { WSACleanup(); }

void CloseSocketDescriptor(int fd) { closesocket(ToSocket(fd)); }

bool SetNonBlocking(int fd, bool non_blocking) {
  u_long mode = non_blocking ? 1 : 0;
  if (fd < 0 || ioctlsocket(ToSocket(fd), FIONBIO, &mode) != 0) {
    errno = fd < 0 ? EBADF : LastError();
    return false;
  }
  return true;
}

int ConnectWithTimeout(int fd, const SocketAddress& peer, uint32_t timeout_ms,
                       CEvent* stop_event) {
  if (fd < 0) {
    return EBADF;
  }
  if (!SetNonBlocking(fd, true)) {
    return errno;
  }
  const sockaddr_in address = ToSockaddr(peer);
  if (connect(ToSocket(fd), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    return 0;
  }
  // A non-blocking connect under way answers WSAEWOULDBLOCK (not WSAEINPROGRESS as POSIX does).
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    return LastError();
  }
  short revents = 0;
  const uint32_t result =
      stop_event != nullptr
          ? WaitForEventsOrSocket({stop_event}, fd, kSocketWritable, timeout_ms, &revents)
          : WaitForEventsOrSocket(0, nullptr, fd, kSocketWritable, timeout_ms, &revents);
  if (result == 0) {
    return ECANCELED;
  }
  if (result != kWaitSocket) {
    return ETIMEDOUT;
  }
  int error = 0;
  int length = sizeof(error);
  if (getsockopt(ToSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                 &length) != 0) {
    return LastError();
  }
  if (error != 0) {
    return ErrnoOf(error);
  }
  // The failed-connect set of select() without an error left on the socket: still no connection.
  return (revents & kSocketError) != 0 ? ECONNREFUSED : 0;
}

std::string ErrnoText(int error) {
  for (const SocketError& e : kSocketErrors) {
    if (e.error == error && e.text != nullptr) return e.text;
  }
  char buffer[256] = {};
  if (strerror_s(buffer, sizeof(buffer), error) != 0 || buffer[0] == '\0') {
    return "Unknown error";
  }
  return buffer;
}

uint32_t LookUpIPv4(const std::string& host) {
  if (host.empty()) return 0;
  // The resolver needs the socket layer, also when no channel holds it.
  if (!StartSocketLayer()) return 0;
  uint32_t address = 0;
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    address = parsed.s_addr;
  } else {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
      for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
          address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
          break;
        }
      }
      freeaddrinfo(found);
    }
  }
  StopSocketLayer();
  return address;
}

bool OpenUdpSocket(uint16_t port, const SocketOptions& options, CSocketHandle* socket,
                   uint16_t* bound_port) {
  CSocketHandle fd(NewSocket(SOCK_DGRAM, IPPROTO_UDP));
  if (!fd.IsValid() || !ApplyOptions(fd.Get(), options) || !SetNonBlocking(fd.Get(), true)) {
    return false;
  }
  // Without this, an ICMP "port unreachable" answering one of our datagrams fails the next
  // receive with WSAECONNRESET (KB263823); POSIX ignores it on an unconnected socket.
  BOOL report_resets = FALSE;
  DWORD unused = 0;
  WSAIoctl(ToSocket(fd.Get()), SIO_UDP_CONNRESET, &report_resets, sizeof(report_resets), nullptr,
           0, &unused, nullptr, nullptr);
  const sockaddr_in local = ToSockaddr(SocketAddress{htonl(INADDR_ANY), port});
  if (::bind(ToSocket(fd.Get()), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    return false;
  }
  // With port 0 the system picks one; report the port actually bound.
  sockaddr_in bound{};
  int bound_length = sizeof(bound);
  if (::getsockname(ToSocket(fd.Get()), reinterpret_cast<sockaddr*>(&bound), &bound_length) !=
      0) {
    return false;
  }
  *bound_port = ntohs(bound.sin_port);
  *socket = std::move(fd);
  return true;
}

long ReceiveDatagram(int fd, uint8_t* buffer, size_t size, SocketAddress* from) {
  return ReceiveOne(fd, buffer, size, from);
}

// Winsock keeps no per-datagram receive times for ordinary sockets.
bool EnableReceiveTimes(int) { return false; }

bool SetSocketReceiveBuffer(int fd, uint32_t bytes) {
  const int size = static_cast<int>(std::min<uint32_t>(bytes, INT_MAX));
  return setsockopt(ToSocket(fd), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                    sizeof(size)) == 0;
}

uint64_t SocketClockNowUs() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart / frequency.QuadPart) * 1000000u +
         static_cast<uint64_t>(counter.QuadPart % frequency.QuadPart) * 1000000u /
             static_cast<uint64_t>(frequency.QuadPart);
}

long ReceiveDatagrams(int fd, uint8_t* buffer, size_t slot_size, size_t count,
                      ReceivedDatagram* datagrams) {
  count = std::min(count, kMaxDatagramBatch);
  if (buffer == nullptr || datagrams == nullptr || count == 0) return -1;
  // Winsock has no recvmmsg: one recvfrom per datagram, until none is waiting.
  long n = 0;
  while (static_cast<size_t>(n) < count) {
    ReceivedDatagram& datagram = datagrams[n];
    const long got = ReceiveOne(fd, buffer + static_cast<size_t>(n) * slot_size, slot_size,
                                &datagram.from);
    if (got < 0) {
      if (n == 0) return got;
      break;  // what arrived is delivered; the next call reports the error again
    }
    datagram.length = static_cast<size_t>(got);
    ++n;
  }
  return n;
}

bool SendDatagram(int fd, const uint8_t* data, size_t length, const SocketAddress& to) {
  if (length > INT_MAX) return false;
  const sockaddr_in peer = ToSockaddr(to);
  const int sent = ::sendto(ToSocket(fd), reinterpret_cast<const char*>(data),
                            static_cast<int>(length), 0, reinterpret_cast<const sockaddr*>(&peer),
                            sizeof(peer));
  return sent != SOCKET_ERROR && static_cast<size_t>(sent) == length;
}

void ShutdownSocket(int fd) { ::shutdown(ToSocket(fd), SD_BOTH); }

void DrainSocket(int fd, int count) {
  char drain[2048];
  for (int i = 0; i < count; ++i) {
    // The sockets are non-blocking; WSAEMSGSIZE (a datagram cut) still drained one.
    const int n = ::recv(ToSocket(fd), drain, sizeof(drain), 0);
    if (n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE)) break;
  }
}

bool OpenTcpConnection(const SocketAddress& peer, const SocketOptions& options,
                       uint32_t timeout_ms, CSocketHandle* socket, int* error) {
  CSocketHandle fd(NewSocket(SOCK_STREAM, IPPROTO_TCP));
  if (!fd.IsValid() || !ApplyOptions(fd.Get(), options)) {
    if (error != nullptr) *error = errno;
    return false;
  }
  // Left non-blocking (see the header).
  const int connect_error = ConnectWithTimeout(fd.Get(), peer, timeout_ms, nullptr);
  if (connect_error != 0) {
    if (error != nullptr) *error = connect_error;
    return false;
  }
  *socket = std::move(fd);
  return true;
}

long ReceiveSome(int fd, void* buffer, size_t size, uint64_t* received_us) {
  if (received_us != nullptr) *received_us = 0;  // Winsock keeps no receive times
  const int capacity = static_cast<int>(std::min<size_t>(size, INT_MAX));
  return NonBlockingResult(::recv(ToSocket(fd), static_cast<char*>(buffer), capacity, 0));
}

long SendSome(int fd, const void* data, size_t length) {
  // Windows has no SIGPIPE: a peer that has gone away fails the call.
  const int capacity = static_cast<int>(std::min<size_t>(length, INT_MAX));
  return NonBlockingResult(::send(ToSocket(fd), static_cast<const char*>(data), capacity, 0));
}

}  // namespace korvane
