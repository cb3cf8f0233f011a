#include "base/time.h"

#include <windows.h>

namespace korvane {

namespace {

using GetFileTimeFunction = void(WINAPI*)(FILETIME*);

// GetSystemTimePreciseAsFileTime (Windows 8 and later) reads the clock to the 100 ns; the older
// call only advances with the kernel's tick.
GetFileTimeFunction LoadFileTimeReader() {
  const FARPROC precise =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
  return precise != nullptr
             ? reinterpret_cast<GetFileTimeFunction>(reinterpret_cast<void (*)()>(precise))
             : &GetSystemTimeAsFileTime;
}

uint64_t PerformanceFrequency() {
  LARGE_INTEGER frequency{};
  // Fixed at boot; never fails on Windows XP and later.
  return QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0
             ? static_cast<uint64_t>(frequency.QuadPart)
             : 0;
}

}  // namespace

uint64_t GetFileTimeNow() {
  static const GetFileTimeFunction read = LoadFileTimeReader();
  FILETIME now{};
  read(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t GetMonotonicTime() {
  static const uint64_t frequency = PerformanceFrequency();
  LARGE_INTEGER counter{};
  if (frequency == 0 || !QueryPerformanceCounter(&counter) || counter.QuadPart < 0) {
    return 0;
  }
  // Whole seconds and the rest apart: counter * 10^7 would overflow after about two days of
  // uptime at the usual 10 MHz.
  const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
  return ticks / frequency * 10000000ULL + ticks % frequency * 10000000ULL / frequency;
}

}  // namespace korvane
