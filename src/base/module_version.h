#pragma once

#include <cstdint>
#include <optional>

namespace korvane {

// The product version of a library's version resource: major, minor, build, revision.
struct ModuleVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;
};

// Reads the product version from the version resource of the library file `module` (a name
// the system's library search finds, or a path); nothing when the file or its resource cannot
// be read. Shared objects carry no such resource, so on POSIX systems this is always nothing.
std::optional<ModuleVersion> ReadModuleProductVersion(const char* module);

}  // namespace korvane
