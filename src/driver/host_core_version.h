#pragma once

#include <cstdint>
#include <optional>

namespace korvane {

// Product version of the host recorder's core library. Hosts older than 5.12 do not know the
// information level of log lines.
struct HostCoreVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;

  // What the driver assumes when the version cannot be read.
  static constexpr HostCoreVersion Assumed() { return {5, 12, 0, 0}; }
  // True for 5.11 and older: such hosts are sent level 3 lines as level 2.
  bool LacksInfoLevel() const { return major < 5 || (major == 5 && minor < 12); }
  bool operator==(const HostCoreVersion&) const = default;
};

// Name of the host's core library whose version resource is read.
inline constexpr char kHostCoreLibrary[] = "vantisk.dll";

// The version of the host's core library: the test override if one is set, otherwise the
// version resource, otherwise HostCoreVersion::Assumed().
HostCoreVersion ReadHostCoreVersion();

// Internal API for tests: makes ReadHostCoreVersion() answer `version` (nothing: read again).
void SetHostCoreVersionForTesting(std::optional<HostCoreVersion> version);

}  // namespace korvane
