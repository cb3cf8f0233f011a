#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/mutex.h"

namespace korvane {

namespace {

CMutex g_folder_mutex;
std::string g_folder_override GUARDED_BY(g_folder_mutex);

// UTF-8 to UTF-16 for the wide-character calls; empty for an empty or malformed text.
std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string ReadExecutableFolder() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      return std::string();
    }
    if (n < buffer.size()) {
      const std::string path = Narrow(buffer.substr(0, n));
      const size_t slash = path.find_last_of("\\/");
      return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }
    buffer.resize(buffer.size() * 8);  // truncated: try a larger buffer (paths reach 32767)
  }
  return std::string();
}

bool WriteAll(HANDLE file, const std::string& content) {
  size_t written = 0;
  while (written < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - written, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(file, content.data() + written, chunk, &n, nullptr) || n == 0) {
      return false;
    }
    written += n;
  }
  return true;
}

// The temporary file of a target is the target's name followed by this, the writer's process
// id, '-' and a counter, both in decimal.
constexpr wchar_t kTemporarySuffix[] = L".tmp-";

bool IsDecimal(const std::wstring& text, size_t begin, size_t end) {
  if (begin >= end) return false;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

// True when `entry` is exactly "<base>.tmp-<digits>-<digits>".
bool IsTemporaryNameOf(const std::wstring& entry, const std::wstring& base) {
  const std::wstring prefix = base + kTemporarySuffix;
  if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const size_t dash = entry.find(L'-', prefix.size());
  return dash != std::wstring::npos && IsDecimal(entry, prefix.size(), dash) &&
         IsDecimal(entry, dash + 1, entry.size());
}

// A new file next to `target`, opened for writing, its name in `temp`.
HANDLE CreateTemporaryFile(const std::wstring& target, std::wstring* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = target + kTemporarySuffix + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter.fetch_add(1));
    // CREATE_NEW: never a file that exists already (another writer's, or a crash's leftover).
    const HANDLE file = CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

bool FileExists(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  const std::wstring wide = Widen(path);
  if (wide.empty()) {
    return false;  // not UTF-8: no such name can exist
  }
  // Shares everything, so that the look never stands in the way of a writer.
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return true;
  }
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
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
  if (!folder.empty() && !IsSeparator(folder.back())) {
    folder.push_back('/');
  }
  CMutexLock guard(g_folder_mutex);
  g_folder_override = std::move(folder);
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  if (path.empty() || IsSeparator(path.back())) return false;
  const std::wstring target = Widen(path);
  if (target.empty()) return false;
  std::wstring temp;
  const HANDLE file = CreateTemporaryFile(target, &temp);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = WriteAll(file, content) && FlushFileBuffers(file);
  // MOVEFILE_WRITE_THROUGH: the call returns once the rename is on the disk too.
  if (!CloseHandle(file) || !ok ||
      !MoveFileExW(temp.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temp.c_str());
    return false;
  }
  return true;
}

int RemoveLeftoverTemporaryFiles(const std::string& path) {
  if (path.empty() || IsSeparator(path.back())) return 0;
  const std::wstring target = Widen(path);
  if (target.empty()) return 0;
  const size_t separator = target.find_last_of(L"\\/");
  const std::wstring folder =
      separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
  const std::wstring base =
      separator == std::wstring::npos ? target : target.substr(separator + 1);
  // The wildcard also matches short (8.3) names and longer tails: every name found is checked
  // again against the exact pattern before anything is removed.
  const std::wstring pattern = target + kTemporarySuffix + L"*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::vector<std::wstring> leftovers;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        IsTemporaryNameOf(found.cFileName, base)) {
      leftovers.push_back(folder + found.cFileName);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  int removed = 0;
  for (const std::wstring& leftover : leftovers) {
    // A save in flight holds its temporary file open without sharing: that one stays.
    if (DeleteFileW(leftover.c_str())) ++removed;
  }
  return removed;
}

bool RenameFile(const std::string& from, const std::string& to) {
  const std::wstring wide_from = Widen(from);
  const std::wstring wide_to = Widen(to);
  if (wide_from.empty() || wide_to.empty()) return false;
  return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace korvane
