#include "ptz/testing/ptz_test_util.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <tlhelp32.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace korvane::testing {

#ifdef _WIN32
int CountThreadsNamed(const std::string& prefix) {
  // GetThreadDescription is looked up as the platform layer looks up SetThreadDescription.
  using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const auto get_description = reinterpret_cast<GetThreadDescriptionFunction>(
      reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (get_description == nullptr) return 0;
  const std::wstring wide_prefix(prefix.begin(), prefix.end());  // ASCII names
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    PWSTR description = nullptr;
    if (SUCCEEDED(get_description(thread, &description)) && description != nullptr) {
      if (std::wstring(description).rfind(wide_prefix, 0) == 0) ++count;
      LocalFree(description);
    }
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return count;
}
#else
int CountThreadsNamed(const std::string& prefix) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}
#endif

void RecordingPrepositionComm::DebugMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[2048];
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  lines.emplace_back(level, text);
}

}  // namespace korvane::testing
