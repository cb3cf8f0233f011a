#pragma once

// Plain records and small definitions shared by the host and the driver. A host compiles
// against the headers in this folder alone.

#include <cstddef>
#include <cstdint>

#include "tollivar/abi.h"

// The entry points: exported by the library (TOLLIVAR_BUILDING_LIBRARY), imported by a host that
// links the import library; hosts that load the DLL at run time take them by name and need
// neither. All are extern "C" and TOLLIVAR_CDECL, so their names carry no decoration.
#if defined(_WIN32)
#if defined(TOLLIVAR_BUILDING_LIBRARY)
#define TOLLIVAR_EXPORT __declspec(dllexport)
#else
#define TOLLIVAR_EXPORT __declspec(dllimport)
#endif
#else
#define TOLLIVAR_EXPORT __attribute__((visibility("default")))
#endif

namespace korvane::ipcapture {

// A calendar time in UTC, laid out as the Win32 record of the same name (eight 16-bit words).
struct SYSTEMTIME {
  std::uint16_t wYear;
  std::uint16_t wMonth;
  std::uint16_t wDayOfWeek;  // 0 Sunday .. 6 Saturday
  std::uint16_t wDay;
  std::uint16_t wHour;
  std::uint16_t wMinute;
  std::uint16_t wSecond;
  std::uint16_t wMilliseconds;
};

// The host's PTZ capability record: fourteen 32-bit fields. Flags are 0 or 1. The driver never
// writes `reserved0`; it writes 0 into the fields named `unusedN`.
struct PTZ_CAPABILITIES {
  std::uint32_t reserved0;  // belongs to the host
  std::uint32_t hasPan;
  std::uint32_t hasTilt;
  std::uint32_t hasZoom;
  std::uint32_t hasFocus;
  std::uint32_t hasIris;
  std::uint32_t unused6;
  std::uint32_t maxPresets;
  std::uint32_t presetCount;
  std::uint32_t unused9;
  std::uint32_t unused10;
  std::uint32_t hasAreaZoom;
  std::uint32_t hasCenter;
  std::uint32_t hasUnzoom;
};
// The layouts the host's compiler gives these records (x86 and x64 alike: no padding).
static_assert(sizeof(PTZ_CAPABILITIES) == 14 * 4);
static_assert(offsetof(PTZ_CAPABILITIES, maxPresets) == 7 * 4);
static_assert(offsetof(PTZ_CAPABILITIES, hasUnzoom) == 13 * 4);
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == 14);

// Codec types of a device (IConnectionSettings::GetCodecType).
enum CodecType : std::int32_t {
  kCodecMjpeg = 1,
  kCodecMpeg4 = 2,
  kCodecH264 = 3,
};

// Four-character format codes: the first character is the lowest byte.
constexpr std::uint32_t MakeFourCC(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24);
}
constexpr std::uint32_t kFourCCH264 = MakeFourCC('H', '2', '6', '4');  // H.264 key frame
constexpr std::uint32_t kFourCCI264 = MakeFourCC('I', '2', '6', '4');  // other H.264 frame
constexpr std::uint32_t kFourCCJpeg = MakeFourCC('J', 'P', 'E', 'G');
constexpr std::uint32_t kFourCCDivx = MakeFourCC('D', 'I', 'V', 'X');  // MPEG-4 key frame
constexpr std::uint32_t kFourCCDivi = MakeFourCC('D', 'I', 'V', 'I');  // other MPEG-4 frame
static_assert(kFourCCH264 == 0x34363248);
static_assert(kFourCCJpeg == 0x4745504A);

}  // namespace korvane::ipcapture
