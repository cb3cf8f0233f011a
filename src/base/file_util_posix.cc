#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/mutex.h"

namespace korvane {

namespace {

CMutex g_folder_mutex;
std::string g_folder_override GUARDED_BY(g_folder_mutex);

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
    CMutexLock guard(g_folder_mutex);
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
  CMutexLock guard(g_folder_mutex);
  g_folder_override = std::move(folder);
}

namespace {

bool WriteAll(int fd, const std::string& content) {
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

// Makes a finished rename durable: the folder entry is flushed too.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// The temporary file of `path` is `path` followed by this and mkstemp's six letters or digits.
constexpr char kTemporarySuffix[] = ".tmp-";
constexpr size_t kTemporaryRandomLength = 6;

bool IsTemporaryNameOf(const std::string& entry, const std::string& base) {
  const std::string prefix = base + kTemporarySuffix;
  if (entry.size() != prefix.size() + kTemporaryRandomLength ||
      entry.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < entry.size(); ++i) {
    const char c = entry[i];  // ASCII only, whatever the host's locale
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

}  // namespace

int RemoveLeftoverTemporaryFiles(const std::string& path) {
  if (path.empty() || path.back() == '/') return 0;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    if (IsTemporaryNameOf(entry->d_name, base)) leftovers.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : leftovers) {
    const std::string leftover = slash == std::string::npos ? name : folder + name;
    struct stat info {};
    // A folder of that name is not a temporary file of ours.
    if (::lstat(leftover.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::unlink(leftover.c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  if (path.empty() || path.back() == '/') return false;
  std::string temp = path + kTemporarySuffix + std::string(kTemporaryRandomLength, 'X');
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkstemp creates the file readable by the owner only: the new file keeps the mode of the one
  // it replaces, or gets the usual 0644. (The umask is not read: changing it even for a moment
  // would affect files other threads of the host create meanwhile.)
  struct stat old_file {};
  const mode_t mode = ::stat(path.c_str(), &old_file) == 0 ? (old_file.st_mode & 07777) : 0644;
  ::fchmod(fd, mode);
  const bool ok = WriteAll(fd, content) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolderOf(path);
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace korvane
