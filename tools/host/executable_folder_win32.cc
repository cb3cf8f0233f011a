#include <windows.h>

#include <string>
#include <vector>

#include "platform.h"

namespace tollivar_host {

std::string ExecutableFolder() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "./";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return "./";  // the longest path Windows has
    path.resize(path.size() * 2);
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return "./";
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), utf8.data(), size,
                      nullptr, nullptr);
  // Windows takes '/' as well as '\': one separator for the rest of the program.
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  const auto slash = utf8.rfind('/');
  return slash == std::string::npos ? "./" : utf8.substr(0, slash + 1);
}

}  // namespace tollivar_host
