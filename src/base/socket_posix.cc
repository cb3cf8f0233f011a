#include "base/socket_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/event.h"

namespace korvane {

CSocketHandle& CSocketHandle::operator=(CSocketHandle&& other) noexcept {
  if (this != &other) {
    Reset(other.Release());
  }
  return *this;
}

int CSocketHandle::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void CSocketHandle::Reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    close(fd_);
  }
  fd_ = fd;
}

bool SetNonBlocking(int fd, bool non_blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    return false;
  }
  const int wanted = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

int ConnectWithTimeout(int fd, const sockaddr* address, socklen_t address_length,
                       uint32_t timeout_ms, CEvent* stop_event) {
  if (fd < 0 || address == nullptr) {
    return EBADF;
  }
  if (!SetNonBlocking(fd, true)) {
    return errno;
  }
  if (connect(fd, address, address_length) == 0) {
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
