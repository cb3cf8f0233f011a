#include "base/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "base/event.h"

namespace korvane {

static_assert(kSocketReadable == POLLIN && kSocketWritable == POLLOUT && kSocketError == POLLERR &&
              kSocketHangUp == POLLHUP && kSocketInvalid == POLLNVAL);

namespace {

sockaddr_in ToSockaddr(const SocketAddress& address) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_addr.s_addr = address.ip;
  out.sin_port = htons(address.port);
  return out;
}

bool SetTimeoutOption(int fd, int option, uint32_t timeout_ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

bool ApplyOptions(int fd, const SocketOptions& options) {
  if (options.receiveBufferBytes != 0) {
    const int bytes = static_cast<int>(std::min<uint32_t>(options.receiveBufferBytes, INT32_MAX));
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0) return false;
  }
  if (options.receiveTimeoutMs != 0 &&
      !SetTimeoutOption(fd, SO_RCVTIMEO, options.receiveTimeoutMs)) {
    return false;
  }
  return options.sendTimeoutMs == 0 || SetTimeoutOption(fd, SO_SNDTIMEO, options.sendTimeoutMs);
}

}  // namespace

// POSIX sockets need no start-up.
bool StartSocketLayer() { return true; }
void StopSocketLayer() {}

void CloseSocketDescriptor(int fd) { close(fd); }

bool SetNonBlocking(int fd, bool non_blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    return false;
  }
  const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
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
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    return errno;
  }
  short revents = 0;
  const uint32_t result =
      stop_event != nullptr
          ? WaitForEventsOrSocket({stop_event}, fd, POLLOUT, timeout_ms, &revents)
          : WaitForEventsOrSocket(0, nullptr, fd, POLLOUT, timeout_ms, &revents);
  if (result == 0) {
    return ECANCELED;
  }
  if (result != kWaitSocket) {
    return ETIMEDOUT;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return errno;
  }
  return error;
}

std::string ErrnoText(int error) {
  char buffer[256] = {};
  // GNU strerror_r returns the text, which may or may not be in buffer.
  const char* text = strerror_r(error, buffer, sizeof(buffer));
  return text != nullptr ? std::string(text) : std::string("Unknown error");
}

}  // namespace korvane

namespace korvane {

uint32_t LookUpIPv4(const std::string& host) {
  if (host.empty()) return 0;
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) return parsed.s_addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  uint32_t address = 0;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(found);
  return address;
}

bool OpenUdpSocket(uint16_t port, const SocketOptions& options, CSocketHandle* socket,
                   uint16_t* bound_port) {
  CSocketHandle fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!fd.IsValid() || !ApplyOptions(fd.Get(), options)) return false;
  const sockaddr_in local = ToSockaddr(SocketAddress{htonl(INADDR_ANY), port});
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    return false;
  }
  // With port 0 the system picks one; report the port actually bound.
  sockaddr_in bound{};
  socklen_t bound_length = sizeof(bound);
  if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
    return false;
  }
  *bound_port = ntohs(bound.sin_port);
  *socket = std::move(fd);
  return true;
}

long ReceiveDatagram(int fd, uint8_t* buffer, size_t size, SocketAddress* from) {
  sockaddr_in source{};
  socklen_t source_length = sizeof(source);
  // MSG_TRUNC makes recvfrom() report the datagram's real length, so a datagram larger than the
  // buffer is recognised (what WinSock reports as WSAEMSGSIZE).
  const ssize_t n = ::recvfrom(fd, buffer, size, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&source), &source_length);
  if (n < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
  }
  if (from != nullptr) {
    from->ip = source.sin_addr.s_addr;
    from->port = ntohs(source.sin_port);
  }
  return static_cast<long>(n);
}

bool EnableReceiveTimes(int fd) {
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0;
}

bool SetSocketReceiveBuffer(int fd, uint32_t bytes) {
  const int size = static_cast<int>(std::min<uint32_t>(bytes, INT32_MAX));
  return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0;
}

uint64_t SocketClockNowUs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

namespace {

// Room for the receive time the kernel adds to a message (SCM_TIMESTAMPNS).
constexpr size_t kTimeControlBytes = CMSG_SPACE(sizeof(timespec));

// The receive time in a message's control data, or 0.
uint64_t ReceiveTimeOf(const msghdr& message) {
  if ((message.msg_flags & MSG_CTRUNC) != 0) return 0;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
        c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
      return static_cast<uint64_t>(stamp.tv_sec) * 1000000u +
             static_cast<uint64_t>(stamp.tv_nsec) / 1000u;
    }
  }
  return 0;
}

}  // namespace

long ReceiveDatagrams(int fd, uint8_t* buffer, size_t slot_size, size_t count,
                      ReceivedDatagram* datagrams) {
  count = std::min(count, kMaxDatagramBatch);
  if (buffer == nullptr || datagrams == nullptr || count == 0) return -1;
  // On the stack: the call is made for every wake of a receiving thread and allocates nothing.
  mmsghdr messages[kMaxDatagramBatch];
  iovec vectors[kMaxDatagramBatch];
  sockaddr_in sources[kMaxDatagramBatch];
  alignas(cmsghdr) uint8_t controls[kMaxDatagramBatch][kTimeControlBytes];
  std::memset(messages, 0, sizeof(messages[0]) * count);
  for (size_t i = 0; i < count; ++i) {
    vectors[i].iov_base = buffer + i * slot_size;
    vectors[i].iov_len = slot_size;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_namelen = sizeof(sources[i]);
    messages[i].msg_hdr.msg_control = controls[i];
    messages[i].msg_hdr.msg_controllen = sizeof(controls[i]);
  }
  // MSG_TRUNC: each msg_len is the datagram's real length, as with ReceiveDatagram().
  const int n = ::recvmmsg(fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC,
                           nullptr);
  if (n < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
  }
  for (int i = 0; i < n; ++i) {
    datagrams[i].length = messages[i].msg_len;
    if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
      datagrams[i].length = std::max<size_t>(datagrams[i].length, slot_size + 1);
    }
    datagrams[i].from.ip = sources[i].sin_addr.s_addr;
    datagrams[i].from.port = ntohs(sources[i].sin_port);
    datagrams[i].received_us = ReceiveTimeOf(messages[i].msg_hdr);
  }
  return n == 0 ? kSocketWouldBlock : n;
}

bool SendDatagram(int fd, const uint8_t* data, size_t length, const SocketAddress& to) {
  const sockaddr_in peer = ToSockaddr(to);
  const ssize_t sent = ::sendto(fd, data, length, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
  return sent >= 0 && static_cast<size_t>(sent) == length;
}

void ShutdownSocket(int fd) {
  // Linux answers ENOTCONN for an unconnected datagram socket but still marks it shut down,
  // which wakes a reader.
  ::shutdown(fd, SHUT_RDWR);
}

void DrainSocket(int fd, int count) {
  uint8_t drain[2048];
  for (int i = 0; i < count; ++i) {
    if (::recv(fd, drain, sizeof(drain), MSG_DONTWAIT) <= 0) break;
  }
}

bool OpenTcpConnection(const SocketAddress& peer, const SocketOptions& options,
                       uint32_t timeout_ms, CSocketHandle* socket, int* error) {
  CSocketHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsValid() || !ApplyOptions(fd.Get(), options)) {
    if (error != nullptr) *error = errno;
    return false;
  }
  const int connect_error = ConnectWithTimeout(fd.Get(), peer, timeout_ms, nullptr);
  if (connect_error != 0 || !SetNonBlocking(fd.Get(), false)) {
    if (error != nullptr) *error = connect_error != 0 ? connect_error : errno;
    return false;
  }
  *socket = std::move(fd);
  return true;
}

long ReceiveSome(int fd, void* buffer, size_t size, uint64_t* received_us) {
  ssize_t got = 0;
  if (received_us == nullptr) {
    got = ::recv(fd, buffer, size, MSG_DONTWAIT);
  } else {
    // On TCP the kernel gives the arrival time of the last segment the read took.
    iovec vector{buffer, size};
    alignas(cmsghdr) uint8_t control[kTimeControlBytes];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    got = ::recvmsg(fd, &message, MSG_DONTWAIT);
    *received_us = got > 0 ? ReceiveTimeOf(message) : 0;
  }
  if (got < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
  }
  return static_cast<long>(got);
}

long SendSome(int fd, const void* data, size_t length) {
  // MSG_NOSIGNAL: a peer that has gone away must fail the call, not raise SIGPIPE.
  const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kSocketWouldBlock : -1;
  }
  return static_cast<long>(sent);
}

}  // namespace korvane
