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

// A waitable event, auto-reset unless built as a CManualEvent.
//
// The event sits on a pollable descriptor (PollFd()), so that it can be waited for together with
// sockets. An auto-reset event is consumed by exactly one waiter: when several threads wait, the
// one that wins takes the signal and the others keep waiting. Setting an event that is already
// set does not queue a second signal. All operations are safe from any thread.
//
// If the descriptor could not be created, Set() fails and waits on the event only time out.
class CEvent {
 public:
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

  bool IsValid() const { return fd_ >= 0; }
  bool IsManualReset() const { return manual_reset_; }
  // Readable while the event is signalled. For polling only: use TryConsume() to take it.
  int PollFd() const { return fd_; }

  // After the descriptor polled readable: true when this caller may treat the event as
  // signalled. Takes the signal of an auto-reset event, so only one caller wins it.
  bool TryConsume();

 protected:
  explicit CEvent(bool manual_reset);

 private:
  int fd_ = -1;
  bool manual_reset_ = false;
  // Manual-reset events mirror their state here, changed together with the descriptor under
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

// Like WaitForEvents, and also watches socket_fd for poll_events (POLLIN, POLLOUT...).
// Returns, in this priority:
//   - the index of a signalled event (events win over the socket, so a stop is never starved by
//     a busy socket);
//   - kWaitSocket when the socket reported poll_events, an error or a hang-up; the returned
//     poll flags are stored in *revents when revents is not null;
//   - kWaitTimeout on time-out and on failure (as WaitForEvents, or a negative socket_fd).
// count may be 0 (events may then be null) to wait on the socket alone.
uint32_t WaitForEventsOrSocket(uint32_t count, CEvent* const* events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents = nullptr);
uint32_t WaitForEventsOrSocket(std::initializer_list<CEvent*> events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents = nullptr);

}  // namespace korvane
