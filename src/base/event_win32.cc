// Events on Win32 event objects, waited for with WaitForMultipleObjects; a socket joins a wait
// through WSAEventSelect and an event of its own.

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdint>

#include "base/event.h"
#include "base/event_wait.h"
#include "base/socket.h"

namespace korvane {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, rounded up so that a wait never ends before its time-out,
// and below INFINITE.
DWORD RemainingMs(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// NtQueryEvent (ntdll, on every Windows NT and on Wine) reads the state of an event without
// consuming it, which a zero wait would do to an auto-reset event.
struct EventBasicInformation {
  int type;
  LONG state;
};
using NtQueryEventFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

NtQueryEventFunction LoadNtQueryEvent() {
  const FARPROC proc = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent");
  return reinterpret_cast<NtQueryEventFunction>(reinterpret_cast<void (*)()>(proc));
}

// The socket's state now, as poll() flags: select() is level-triggered, while the network
// events of WSAEventSelect are recorded once each (MSDN), so they only serve to wake the wait.
short PollSocketNow(SOCKET socket, short poll_events) {
  fd_set readable;
  fd_set writable;
  fd_set failed;  // a failed non-blocking connect
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if ((poll_events & kSocketReadable) != 0) FD_SET(socket, &readable);
  if ((poll_events & kSocketWritable) != 0) FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval now{0, 0};
  if (select(0, &readable, &writable, &failed, &now) == SOCKET_ERROR) {
    return WSAGetLastError() == WSAENOTSOCK ? kSocketInvalid : kSocketError;
  }
  short ready = 0;
  if (FD_ISSET(socket, &readable)) ready |= kSocketReadable;
  if (FD_ISSET(socket, &writable)) ready |= kSocketWritable;
  if (FD_ISSET(socket, &failed)) ready |= kSocketError;
  return ready;
}

// The socket's event for one wait; closed with the wait.
class CSocketEvent {
 public:
  CSocketEvent() = default;
  ~CSocketEvent() {
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
  }
  CSocketEvent(const CSocketEvent&) = delete;
  CSocketEvent& operator=(const CSocketEvent&) = delete;

  // Created on first use: a wait that finds the socket ready needs none.
  WSAEVENT Get() {
    if (event_ == WSA_INVALID_EVENT) event_ = WSACreateEvent();
    return event_;
  }

 private:
  WSAEVENT event_ = WSA_INVALID_EVENT;
};

}  // namespace

uint32_t WaitForEventsOrSocketImpl(uint32_t count, CEvent* const* events, int socket_fd,
                                   short poll_events, uint32_t timeout_ms, short* revents,
                                   bool with_socket) {
  if (count > (with_socket ? kMaxWaitEventsWithSocket : kMaxWaitEvents) ||
      (count > 0 && events == nullptr) || (count == 0 && !with_socket) ||
      (with_socket && socket_fd < 0)) {
    return kWaitTimeout;
  }
  // Events without a handle never fire: they are left out, and `index` maps back.
  HANDLE handles[kMaxWaitEvents];
  uint32_t index[kMaxWaitEvents];
  DWORD n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) {
      return kWaitTimeout;
    }
    if (events[i]->IsValid()) {
      handles[n] = events[i]->NativeHandle();
      index[n++] = i;
    }
  }
  const SOCKET socket = static_cast<SOCKET>(socket_fd);
  // What wakes the wait on the socket; a close is reported whatever was asked, as poll() does.
  long network_events = FD_CLOSE;
  if ((poll_events & kSocketReadable) != 0) network_events |= FD_READ | FD_ACCEPT;
  if ((poll_events & kSocketWritable) != 0) network_events |= FD_WRITE | FD_CONNECT;
  CSocketEvent socket_event;
  short happened = 0;  // a close or a failed connect seen by the last wake-up

  const bool infinite = timeout_ms == kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Each round looks first, in priority order: the events (WaitForMultipleObjects returns the
    // lowest signalled index and consumes only that event), then the socket.
    if (n > 0) {
      const DWORD rc = WaitForMultipleObjects(n, handles, FALSE, 0);
      if (rc < WAIT_OBJECT_0 + n) {
        return index[rc - WAIT_OBJECT_0];
      }
      if (rc != WAIT_TIMEOUT) {
        return kWaitTimeout;
      }
    }
    if (with_socket) {
      const short ready = PollSocketNow(socket, poll_events) | happened;
      if (ready != 0) {
        if (revents != nullptr) {
          *revents = ready;
        }
        return kWaitSocket;
      }
    }
    const DWORD wait_ms = infinite ? INFINITE : RemainingMs(deadline);
    if (wait_ms == 0) {
      return kWaitTimeout;
    }
    DWORD handle_count = n;
    if (with_socket) {
      // Selecting clears the socket's record and records again what already holds (data
      // waiting, a connection that can send), so nothing between the look above and here is
      // missed.
      const WSAEVENT event = socket_event.Get();
      if (event == WSA_INVALID_EVENT || WSAEventSelect(socket, event, network_events) != 0) {
        return kWaitTimeout;
      }
      handles[handle_count++] = event;
    }
    if (handle_count == 0) {
      Sleep(wait_ms);  // only events without a handle: they never fire, as on POSIX
      continue;
    }
    const DWORD rc = WaitForMultipleObjects(handle_count, handles, FALSE, wait_ms);
    if (with_socket) {
      WSANETWORKEVENTS network{};
      if (rc == WAIT_OBJECT_0 + n &&
          WSAEnumNetworkEvents(socket, handles[n], &network) == 0) {
        if ((network.lNetworkEvents & FD_CLOSE) != 0) happened |= kSocketHangUp;
        if ((network.lNetworkEvents & FD_CONNECT) != 0 && network.iErrorCode[FD_CONNECT_BIT] != 0) {
          happened |= kSocketError;
        }
      }
      WSAEventSelect(socket, nullptr, 0);  // the socket leaves the wait (it stays non-blocking)
    }
    if (rc < WAIT_OBJECT_0 + n) {
      return index[rc - WAIT_OBJECT_0];  // the lowest signalled event, consumed by the wait
    }
    if (rc == WAIT_FAILED) {
      return kWaitTimeout;
    }
    // The socket woke the wait, or the time ran out (possibly a little early on the kernel's
    // tick): the next round decides.
  }
}


CEvent::CEvent() : CEvent(false) {}

CEvent::CEvent(bool manual_reset)
    : handle_(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr)),
      manual_reset_(manual_reset) {}

CEvent::~CEvent() {
  if (handle_ != kNoHandle) {
    CloseHandle(handle_);
    handle_ = kNoHandle;
  }
}

bool CEvent::Set() {
  if (handle_ == kNoHandle) {
    return false;
  }
  std::unique_lock<std::mutex> guard(manual_lock_, std::defer_lock);
  if (manual_reset_) {
    guard.lock();
    if (manual_state_.load(std::memory_order_relaxed)) {
      return true;
    }
  }
  const bool set = SetEvent(handle_) != 0;
  if (manual_reset_ && set) {
    manual_state_.store(true, std::memory_order_release);
  }
  return set;
}

void CEvent::Reset() {
  if (handle_ == kNoHandle) {
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
  ResetEvent(handle_);
}

bool CEvent::IsSet() const {
  if (manual_reset_) {
    return handle_ != kNoHandle && manual_state_.load(std::memory_order_acquire);
  }
  static const NtQueryEventFunction query = LoadNtQueryEvent();
  EventBasicInformation info{};
  return handle_ != kNoHandle && query != nullptr &&
         query(handle_, 0 /* EventBasicInformation */, &info, sizeof(info), nullptr) >= 0 &&
         info.state != 0;
}

bool CEvent::TryConsume() {
  if (handle_ == kNoHandle) {
    return false;
  }
  if (manual_reset_) {
    return manual_state_.load(std::memory_order_acquire);
  }
  return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

}  // namespace korvane
