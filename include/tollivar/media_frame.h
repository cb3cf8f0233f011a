#pragma once

// The host's frame objects. The driver asks the factory (the second argument of
// IIPCaptureDriver::OpenDriver) for a frame, fills it, hands it to IFrameSink::PutFrame and
// gives it back to the factory right after that call.
//
// Slot order is part of the binary contract with the host. Slots the driver never calls are
// named ReservedN and have a harmless default body.

#include "tollivar/abi.h"
#include <cstdint>

#include "tollivar/types.h"

namespace korvane::ipcapture {

class IMediaFrame {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IMediaFrame)                               // slot 0
  virtual std::uint32_t Reserved1() { return 0; }                 // slot 1
  // Slot 2: writable data area of at least the capacity given to CreateFrame.
  virtual std::uint8_t* GetData() = 0;
  virtual std::uint32_t Reserved3() { return 0; }                 // slot 3
  virtual void SetDataSize(std::uint32_t size) = 0;               // slot 4: valid bytes
  virtual std::uint32_t Reserved5() { return 0; }                 // slot 5
  virtual void SetTime(const SYSTEMTIME* utc) = 0;                // slot 6: capture time, UTC
  virtual std::uint32_t Reserved7() { return 0; }                 // slot 7
  virtual std::uint32_t Reserved8() { return 0; }                 // slot 8
  virtual std::uint32_t Reserved9() { return 0; }                 // slot 9
  virtual void SetFourCC(std::uint32_t fourcc) = 0;               // slot 10
  virtual std::uint32_t Reserved11() { return 0; }                // slot 11
  virtual void SetHeight(std::uint32_t height) = 0;               // slot 12: pixels
  virtual std::uint32_t Reserved13() { return 0; }                // slot 13
  virtual void SetWidth(std::uint32_t width) = 0;                 // slot 14: pixels
  virtual std::uint32_t Reserved15() { return 0; }                // slot 15
  virtual void SetSizeClass(std::uint32_t size_class) = 0;        // slot 16
};

class IFrameFactory {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IFrameFactory)                             // slot 0
  virtual std::uint32_t Reserved1() { return 0; }                 // slot 1
  // Slot 2: a frame whose data area holds at least `capacity` bytes, or null.
  virtual IMediaFrame* CreateFrame(std::uint32_t fourcc, std::uint32_t capacity,
                                   const char* driver_name) = 0;
  virtual std::uint32_t Reserved3() { return 0; }                 // slot 3
  virtual std::uint32_t Reserved4() { return 0; }                 // slot 4
  virtual std::uint32_t Reserved5() { return 0; }                 // slot 5
  // Slot 6: takes back a frame from CreateFrame; called exactly once per frame.
  virtual void ReleaseFrame(IMediaFrame* frame) = 0;
};

}  // namespace korvane::ipcapture
