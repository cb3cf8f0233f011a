// The waits of event.h over the platform's one wait (event_wait.h).

#include "base/event.h"

#include "base/event_wait.h"

namespace korvane {

bool CEvent::Wait(uint32_t timeout_ms) {
  CEvent* self = this;
  return WaitForEventsOrSocketImpl(1, &self, -1, 0, timeout_ms, nullptr, false) == 0;
}

CManualEvent::CManualEvent() : CEvent(true) {}

uint32_t WaitForEvents(uint32_t count, CEvent* const* events, uint32_t timeout_ms) {
  return WaitForEventsOrSocketImpl(count, events, -1, 0, timeout_ms, nullptr, false);
}

uint32_t WaitForEvents(std::initializer_list<CEvent*> events, uint32_t timeout_ms) {
  return WaitForEventsOrSocketImpl(static_cast<uint32_t>(events.size()), events.begin(), -1, 0,
                                   timeout_ms, nullptr, false);
}

uint32_t WaitForEventsOrSocket(uint32_t count, CEvent* const* events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents) {
  return WaitForEventsOrSocketImpl(count, events, socket_fd, poll_events, timeout_ms, revents,
                                   true);
}

uint32_t WaitForEventsOrSocket(std::initializer_list<CEvent*> events, int socket_fd,
                               short poll_events, uint32_t timeout_ms, short* revents) {
  return WaitForEventsOrSocketImpl(static_cast<uint32_t>(events.size()), events.begin(),
                                   socket_fd, poll_events, timeout_ms, revents, true);
}

}  // namespace korvane
