#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>

namespace korvane {

// Time-out value that means "wait without a limit".
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// Result of the wait functions on time-out or failure (all bits set, -1 as a signed value).
inline constexpr uint32_t kWaitTimeout = 0xFFFFFFFFu;
// Result of a wait whose first event, by the convention of this code base the owner's stop
// event, was signalled.
inline constexpr uint32_t kWaitStopped = 0;
// Result of WaitForEventsOrSocket when the socket, not an event, is ready.
inline constexpr uint32_t kWaitSocket = 0xFFFFFFFEu;
// Largest number of events one wait accepts (as many as the Windows kernel allows).
inline constexpr uint32_t kMaxWaitEvents = 64;

// Whether a wait of a millisecond or two ends about when asked. On Windows a timed wait ends at
// a tick of the system timer, 15.6 ms apart unless some process asked for a finer one.
#ifdef _WIN32
inline constexpr bool kPreciseShortWaits = false;
#else
inline constexpr bool kPreciseShortWaits = true;
#endif
// Largest number of events WaitForEventsOrSocket accepts: on Windows the socket takes one of the
// kernel's 64 wait slots (its WSAEventSelect event). The same limit holds on every platform.
inline constexpr uint32_t kMaxWaitEventsWithSocket = kMaxWaitEvents - 1;

// A waitable event, auto-reset unless built as a CManualEvent.
//
// The event sits on a native handle (NativeHandle()) that can be waited for together with
// sockets: a pollable eventfd descriptor on Linux, a Win32 event object on Windows. An auto-reset
// event is consumed by exactly one waiter: when several threads wait, the one that wins takes the
// signal and the others keep waiting. Setting an event that is already set does not queue a
// second signal. All operations are safe from any thread.
//
// If the handle could not be created, Set() fails and waits on the event only time out.
class CEvent {
 public:
#ifdef _WIN32
  using Handle = void*;  // HANDLE
  static constexpr Handle kNoHandle = nullptr;
#else
  using Handle = int;  // eventfd descriptor
  static constexpr Handle kNoHandle = -1;
#endif

  // An auto-reset, initially non-signalled event.
  CEvent();
  virtual ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  // True when the event exists and was signalled.
  bool Set();
  // Makes the event non-signalled.
  void Reset();
  // True when the event is signalled; does not consume an auto-reset event.
  bool IsSet() const;
  // Waits up to timeout_ms (kInfinite: no limit) on a monotonic clock; true when the event was
  // signalled (an auto-reset event is then consumed by this call).
  bool Wait(uint32_t timeout_ms);

  bool IsValid() const { return handle_ != kNoHandle; }
  bool IsManualReset() const { return manual_reset_; }
  // Readable (Linux) or signalled (Windows) while the event is signalled. For the platform's
  // waits only: on Linux use TryConsume() to take the signal.
  Handle NativeHandle() const { return handle_; }

  // After the handle was seen signalled: true when this caller may treat the event as
  // signalled. Takes the signal of an auto-reset event, so only one caller wins it.
  bool TryConsume();

 protected:
  explicit CEvent(bool manual_reset);

 private:
  Handle handle_ = kNoHandle;
  bool manual_reset_ = false;
  // Manual-reset events mirror their state here, changed together with the handle under
  // manual_lock_: IsSet() is then a load, and setting a set event (or resetting a reset one)
  // costs no system call. Hot paths test the stop event and set the packet event per packet.
  std::mutex manual_lock_;
  std::atomic<bool> manual_state_{false};
};

// A manual-reset, initially non-signalled event: once set it stays set until Reset().
class CManualEvent : public CEvent {
 public:
  CManualEvent();
};

// Waits until one of `count` events is signalled or timeout_ms passed (kInfinite: no limit).
// Returns the lowest index of a signalled event, consuming it if it is auto-reset, or kWaitTimeout
// on time-out and on failure (null array or entry, count 0 or above kMaxWaitEvents).
uint32_t WaitForEvents(uint32_t count, CEvent* const* events, uint32_t timeout_ms);
uint32_t WaitForEvents(std::initializer_list<CEvent*> events, uint32_t timeout_ms);

// Like WaitForEvents, and also watches socket_fd for poll_events (kSocketReadable,
// kSocketWritable of base/socket.h: the values of POLLIN and POLLOUT).
// Returns, in this priority:
//   - the index of a signalled event (events win over the socket, so a stop is never starved by
//     a busy socket);
//   - kWaitSocket when the socket reported poll_events, an error or a hang-up; the returned
//     poll flags are stored in *revents when revents is not null;
//   - kWaitTimeout on time-out and on failure (as WaitForEvents, but at most
//     kMaxWaitEventsWithSocket events, or a negative socket_fd).
// count may be 0 (events may then be null) to wait on the socket alone. On Windows the wait
// makes the socket non-blocking (WSAEventSelect does), and only one thread at a time may wait on
// a given socket (a socket has one event selection).
uint32_t WaitForEventsOrSocket(uint32_t count, CEvent* const* events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents = nullptr);
uint32_t WaitForEventsOrSocket(std::initializer_list<CEvent*> events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents = nullptr);

}  // namespace korvane
