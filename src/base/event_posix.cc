// Events on Linux eventfd descriptors, so that one poll() can wait on events and sockets.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

#include "base/event.h"
#include "base/event_wait.h"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

bool PollReadable(int fd) {
  if (fd < 0) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0 && (p.revents & POLLIN) != 0;
}

// Milliseconds left until deadline, rounded up so that a wait never ends before its time-out.
int RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

uint32_t WaitForEventsOrSocketImpl(uint32_t count, CEvent* const* events, int socket_fd,
                                   short poll_events, uint32_t timeout_ms, short* revents,
                                   bool with_socket) {
  if (count > (with_socket ? kMaxWaitEventsWithSocket : kMaxWaitEvents) ||
      (count > 0 && events == nullptr) ||
      (count == 0 && !with_socket) || (with_socket && socket_fd < 0)) {
    return kWaitTimeout;
  }
  std::array<pollfd, kMaxWaitEvents + 1> fds{};
  for (uint32_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) {
      return kWaitTimeout;
    }
    // An event without a descriptor has a negative fd, which poll() skips: it never fires.
    fds[i] = pollfd{events[i]->NativeHandle(), POLLIN, 0};
  }
  nfds_t nfds = count;
  if (with_socket) {
    fds[nfds++] = pollfd{socket_fd, poll_events, 0};
  }

  const bool infinite = timeout_ms == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int wait_ms = infinite ? -1 : RemainingMs(deadline);
    for (nfds_t i = 0; i < nfds; ++i) {
      fds[i].revents = 0;
    }
    const int rc = poll(fds.data(), nfds, wait_ms);
    if (rc < 0) {
      if (errno == EINTR) {
        continue;
      }
      return kWaitTimeout;
    }
    if (rc == 0) {
      if (infinite || wait_ms == INT_MAX) {
        continue;  // a very long wait is done in several polls
      }
      return kWaitTimeout;
    }
    for (uint32_t i = 0; i < count; ++i) {
      // Another waiter may take an auto-reset event between poll() and here: then it is not ours.
      if ((fds[i].revents & POLLIN) != 0 && events[i]->TryConsume()) {
        return i;
      }
    }
    if (with_socket) {
      const short ready = fds[count].revents & (poll_events | POLLERR | POLLHUP | POLLNVAL);
      if (ready != 0) {
        if (revents != nullptr) {
          *revents = fds[count].revents;
        }
        return kWaitSocket;
      }
    }
    if (!infinite && RemainingMs(deadline) == 0) {
      return kWaitTimeout;
    }
  }
}


CEvent::CEvent() : CEvent(false) {}

CEvent::CEvent(bool manual_reset)
    : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_reset_(manual_reset) {}

CEvent::~CEvent() {
  if (handle_ >= 0) {
    close(handle_);
    handle_ = -1;
  }
}

bool CEvent::Set() {
  if (handle_ < 0) {
    return false;
  }
  std::unique_lock<std::mutex> guard(manual_lock_, std::defer_lock);
  if (manual_reset_) {
    guard.lock();
    if (manual_state_.load(std::memory_order_relaxed)) {
      return true;
    }
  }
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(handle_, &one, sizeof(one));
  } while (n < 0 && errno == EINTR);
  const bool written = n == static_cast<ssize_t>(sizeof(one));
  if (manual_reset_ && written) {
    manual_state_.store(true, std::memory_order_release);
  }
  return written;
}

void CEvent::Reset() {
  if (handle_ < 0) {
    return;
  }
  std::unique_lock<std::mutex> guard(manual_lock_, std::defer_lock);
  if (manual_reset_) {
    guard.lock();
    if (!manual_state_.load(std::memory_order_relaxed)) {
      return;
    }
    manual_state_.store(false, std::memory_order_release);
  }
  uint64_t value = 0;
  ssize_t n;
  do {
    n = read(handle_, &value, sizeof(value));  // non-blocking: EAGAIN when already reset
  } while (n < 0 && errno == EINTR);
}

bool CEvent::IsSet() const {
  if (manual_reset_) {
    return handle_ >= 0 && manual_state_.load(std::memory_order_acquire);
  }
  return PollReadable(handle_);
}

bool CEvent::TryConsume() {
  if (handle_ < 0) {
    return false;
  }
  if (manual_reset_) {
    return manual_state_.load(std::memory_order_acquire);
  }
  // The read takes the whole counter atomically: exactly one consumer sees it non-zero.
  uint64_t value = 0;
  ssize_t n;
  do {
    n = read(handle_, &value, sizeof(value));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof(value)) && value != 0;
}

}  // namespace korvane
