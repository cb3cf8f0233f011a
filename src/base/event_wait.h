#pragma once

#include <cstdint>

namespace korvane {

class CEvent;

// The one wait of the platform layer (event_posix.cc, event_win32.cc) behind CEvent::Wait,
// WaitForEvents and WaitForEventsOrSocket (event.cc): `count` events, and with `with_socket`
// also `socket_fd` for `poll_events`; results as WaitForEventsOrSocket documents them.
uint32_t WaitForEventsOrSocketImpl(uint32_t count, CEvent* const* events, int socket_fd,
                                   short poll_events, uint32_t timeout_ms, short* revents,
                                   bool with_socket);

}  // namespace korvane
