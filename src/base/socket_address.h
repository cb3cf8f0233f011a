#pragma once

#include <cstdint>

namespace korvane {

// An IPv4 transport address, free of any platform's socket headers.
struct SocketAddress {
  uint32_t ip = 0;    // IPv4 address in network byte order; 0 is "any"
  uint16_t port = 0;  // port in host byte order
  bool operator==(const SocketAddress&) const = default;
};

}  // namespace korvane
