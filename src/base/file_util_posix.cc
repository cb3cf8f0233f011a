#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "base/file_util.h"

namespace korvane {

namespace {

std::mutex g_folder_mutex;
std::string g_folder_override;  // guarded by g_folder_mutex

std::string ReadExecutableFolder() {
  std::vector<char> buffer(4096);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      return std::string();
    }
    if (static_cast<size_t>(n) < buffer.size()) {
      const std::string path(buffer.data(), static_cast<size_t>(n));
      const size_t slash = path.rfind('/');
      return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }
    buffer.resize(buffer.size() * 4);  // possibly truncated: try a larger buffer
  }
  return std::string();
}

}  // namespace

bool FileExists(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    std::fclose(file);
    return true;
  }
  return errno != ENOENT;
}

std::string GetHostExecutableFolder() {
  {
    std::lock_guard<std::mutex> guard(g_folder_mutex);
    if (!g_folder_override.empty()) {
      return g_folder_override;
    }
  }
  return ReadExecutableFolder();
}

void SetHostExecutableFolderForTesting(std::string folder) {
  if (!folder.empty() && folder.back() != '/') {
    folder.push_back('/');
  }
  std::lock_guard<std::mutex> guard(g_folder_mutex);
  g_folder_override = std::move(folder);
}

}  // namespace korvane
