#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

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

// Switches O_NONBLOCK on or off; false (errno set) on failure.
bool SetNonBlocking(int fd, bool non_blocking);

// Connects a stream socket, waiting at most timeout_ms and returning early when `stop_event`
// (may be null) is set. The socket is left non-blocking. Returns 0 when connected, otherwise an
// errno value: ETIMEDOUT on time-out, ECANCELED when the stop event was set, or the connect error.
int ConnectWithTimeout(int fd, const sockaddr* address, socklen_t address_length,
                       uint32_t timeout_ms, CEvent* stop_event);

// Text of an errno value ("Connection refused"), thread-safe.
std::string ErrnoText(int error);

}  // namespace korvane
