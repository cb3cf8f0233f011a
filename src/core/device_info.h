#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// What the driver knows about one device: where it is, how to log in, and how long to wait.
// Objects that talk to the camera keep their own copies.
struct DEVICE_INFO {
  static constexpr std::uint32_t kDefaultRequestTimeoutMs = 5000;
  static constexpr std::uint32_t kDefaultDataTimeoutMs = 15000;
  static constexpr std::uint16_t kDefaultHttpPort = 80;

  DEVICE_INFO() = default;
  DEVICE_INFO(const DEVICE_INFO&) = default;
  DEVICE_INFO& operator=(const DEVICE_INFO&) = default;
  DEVICE_INFO(DEVICE_INFO&&) = default;
  DEVICE_INFO& operator=(DEVICE_INFO&&) = default;
  virtual ~DEVICE_INFO() = default;

  // Every HTTP request time-out; a capture thread gets twice this long to stop.
  std::uint32_t requestTimeoutMs = kDefaultRequestTimeoutMs;
  // No data for this long means the camera stopped sending.
  std::uint32_t dataTimeoutMs = kDefaultDataTimeoutMs;
  std::string address;  // host name or IP address
  std::uint16_t port = kDefaultHttpPort;  // HTTP port
  std::string userName;
  std::string password;  // never logged
  std::string model;
};

}  // namespace korvane
