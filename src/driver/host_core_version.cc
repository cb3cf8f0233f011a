#include "driver/host_core_version.h"

#include <mutex>

#include "base/module_version.h"

namespace korvane {
namespace {

std::mutex& OverrideMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<HostCoreVersion>& Override() {
  static std::optional<HostCoreVersion> version;
  return version;
}

}  // namespace

HostCoreVersion ReadHostCoreVersion() {
  {
    std::lock_guard<std::mutex> guard(OverrideMutex());
    if (Override()) return *Override();
  }
  const std::optional<ModuleVersion> read = ReadModuleProductVersion(kHostCoreLibrary);
  if (!read) return HostCoreVersion::Assumed();
  return HostCoreVersion{read->major, read->minor, read->build, read->revision};
}

void SetHostCoreVersionForTesting(std::optional<HostCoreVersion> version) {
  std::lock_guard<std::mutex> guard(OverrideMutex());
  Override() = version;
}

}  // namespace korvane
