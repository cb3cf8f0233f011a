#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/device_info.h"

namespace korvane::testing {

// A device record for a camera on 127.0.0.1 at `port`.
inline DEVICE_INFO LoopbackDevice(uint16_t port, std::string user = "admin",
                                  std::string password = "secret",
                                  uint32_t requestTimeoutMs = 5000) {
  DEVICE_INFO device;
  device.address = "127.0.0.1";
  device.port = port;
  device.userName = std::move(user);
  device.password = std::move(password);
  device.requestTimeoutMs = requestTimeoutMs;
  return device;
}

// Milliseconds that `action` took.
template <typename Action>
int64_t MeasureMs(Action&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace korvane::testing
