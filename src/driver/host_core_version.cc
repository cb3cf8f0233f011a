#include "driver/host_core_version.h"

#include <mutex>

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
  return ReadModuleProductVersion(kHostCoreLibrary).value_or(HostCoreVersion::Assumed());
}

void SetHostCoreVersionForTesting(std::optional<HostCoreVersion> version) {
  std::lock_guard<std::mutex> guard(OverrideMutex());
  Override() = version;
}

}  // namespace korvane
