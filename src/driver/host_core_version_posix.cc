#include "driver/host_core_version.h"

namespace korvane {

// Shared objects carry no version resource, so there is nothing to read on POSIX systems and the
// caller falls back to the assumed version.
std::optional<HostCoreVersion> ReadModuleProductVersion(const char* /*module*/) {
  return std::nullopt;
}

}  // namespace korvane
