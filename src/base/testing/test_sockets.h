#pragma once

// Sockets in tests on Linux and Windows: the system's socket headers, the few calls that differ
// between them, and on Windows Winsock started for the whole test program. Sockets are ints, as
// in base/socket.h.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>
#include <cstdint>

#include "base/socket.h"

namespace korvane::testing {

#ifdef _WIN32
// Started during static initialisation of the test program, before the first test; never
// stopped (the process's end releases it).
inline const bool kSocketLayerStarted = StartSocketLayer();

inline constexpr int kNoSigPipe = 0;    // Windows raises no SIGPIPE
inline constexpr int kCloseOnExec = 0;  // the test programs start no child processes there
inline constexpr int kDontWait = 0;     // no per-call flag: poll for the socket first

inline int CloseSocket(int fd) { return closesocket(static_cast<SOCKET>(fd)); }

// The next connection waiting on `listener`, non-blocking; -1 when none.
inline int AcceptNonBlocking(int listener) {
  const SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  SetNonBlocking(static_cast<int>(s), true);
  return static_cast<int>(s);
}

// True when the last socket call failed only because it would have blocked.
inline bool LastCallWouldBlock() {
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

inline int PollSockets(pollfd* fds, size_t count, int timeout_ms) {
  // Wine's WSAPoll fails at once on a set with no socket in it, where poll() waits.
  bool any = false;
  for (size_t i = 0; i < count; ++i) any = any || fds[i].fd != INVALID_SOCKET;
  if (!any) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  return WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
}

inline bool SetReceiveTimeout(int fd, uint32_t timeout_ms) {
  const DWORD ms = timeout_ms;
  return setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&ms), sizeof(ms)) == 0;
}
#else
inline constexpr int kNoSigPipe = MSG_NOSIGNAL;
inline constexpr int kCloseOnExec = SOCK_CLOEXEC;
inline constexpr int kDontWait = MSG_DONTWAIT;

inline int CloseSocket(int fd) { return ::close(fd); }

inline int AcceptNonBlocking(int listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

inline bool LastCallWouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

inline int PollSockets(pollfd* fds, size_t count, int timeout_ms) {
  return ::poll(fds, count, timeout_ms);
}

inline bool SetReceiveTimeout(int fd, uint32_t timeout_ms) {
  const timeval bound{static_cast<time_t>(timeout_ms / 1000),
                      static_cast<suseconds_t>(timeout_ms % 1000 * 1000)};
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) == 0;
}
#endif

// A poll entry for socket `fd` (-1: an entry that poll skips).
inline pollfd PollEntry(int fd, short events) {
  pollfd entry{};
  entry.fd = fd;  // SOCKET on Windows, where -1 is INVALID_SOCKET
  entry.events = events;
  return entry;
}

}  // namespace korvane::testing
