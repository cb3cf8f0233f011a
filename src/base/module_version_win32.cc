// The product version from a module's version resource (VS_FIXEDFILEINFO), through version.dll.

#include <windows.h>

#include <vector>

#include "base/module_version.h"

namespace korvane {

std::optional<ModuleVersion> ReadModuleProductVersion(const char* module) {
  if (module == nullptr || *module == '\0') {
    return std::nullopt;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(module, &ignored);
  if (size == 0) {
    return std::nullopt;
  }
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoA(module, 0, size, block.data())) {
    return std::nullopt;
  }
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof(VS_FIXEDFILEINFO) ||
      info->dwSignature != VS_FFI_SIGNATURE) {
    return std::nullopt;
  }
  return ModuleVersion{static_cast<std::uint16_t>(HIWORD(info->dwProductVersionMS)),
                         static_cast<std::uint16_t>(LOWORD(info->dwProductVersionMS)),
                         static_cast<std::uint16_t>(HIWORD(info->dwProductVersionLS)),
                         static_cast<std::uint16_t>(LOWORD(info->dwProductVersionLS))};
}

}  // namespace korvane
