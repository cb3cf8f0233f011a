#include "base/module_version.h"

namespace korvane {

// Shared objects carry no version resource: there is nothing to read, and callers fall back to
// what they assume.
std::optional<ModuleVersion> ReadModuleProductVersion(const char* /*module*/) {
  return std::nullopt;
}

}  // namespace korvane
