// What sockets do alike on every platform; the system calls are in socket_posix.cc and
// socket_win32.cc.

#include "base/socket.h"

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
    CloseSocketDescriptor(fd_);
  }
  fd_ = fd;
}

}  // namespace korvane
