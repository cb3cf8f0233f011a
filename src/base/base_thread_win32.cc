#include <process.h>
#include <windows.h>

#include <string>

#include "base/base_thread.h"

namespace korvane {

namespace {

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on (and in recent Wine); older systems keep
// their threads unnamed.
SetThreadDescriptionFunction LoadSetThreadDescription() {
  const FARPROC proc =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription");
  return reinterpret_cast<SetThreadDescriptionFunction>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

bool CBaseThread::StartOsThreadLocked() {
  // _beginthreadex rather than CreateThread: the thread uses the C runtime.
  auto entry = [](void* arg) __attribute__((stdcall)) -> unsigned {
    static_cast<CBaseThread*>(arg)->ThreadMain();
    return 0;
  };
  const std::uintptr_t handle = _beginthreadex(nullptr, 0, entry, this, 0, nullptr);
  if (handle == 0) {
    return false;
  }
  handle_ = handle;
  return true;
}

void CBaseThread::ReleaseHandleLocked() {
  // The thread has set its exit event, the last thing it does: the wait returns promptly.
  const HANDLE thread = reinterpret_cast<HANDLE>(handle_);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  has_handle_ = false;
}

void CBaseThread::DetachHandleLocked() {
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  has_handle_ = false;
}

void CBaseThread::SetOsThreadName(const std::string& name) {
  static const SetThreadDescriptionFunction set_description = LoadSetThreadDescription();
  if (set_description == nullptr) {
    return;
  }
  std::wstring wide(name.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  set_description(GetCurrentThread(), wide.c_str());
}

void CBaseThread::DeferWakePreemption() {
  // Windows has no scheduling policy without wake-up preemption; lowering the thread's priority
  // would delay it behind every normal thread, not only for a time slice.
}

}  // namespace korvane
