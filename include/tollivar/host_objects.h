#pragma once

// Host objects that the driver calls when it is opened and when it logs. They belong to the
// host; the driver never deletes them. Texts handed over are zero-terminated 8-bit strings that
// the receiver copies if it needs them after the call.
//
// The virtual slot order of every interface here is part of the binary contract with the host.
// Slots the driver never calls still exist to keep the numbering; they are named ReservedN and
// have a harmless default body, so a host only implements what the driver uses.

#include "tollivar/abi.h"
#include <cstdint>

namespace korvane::ipcapture {

// One log record, valid only during IHostMessageSink::OnDebugInfo.
class CDebugInfoIf {
 public:
  TOLLIVAR_INTERFACE_SLOT0(CDebugInfoIf)                  // slot 0
  virtual std::uint8_t GetLevel() const = 0;          // slot 1: 1 error .. 3 information
  virtual const char* GetText() const = 0;            // slot 2: null for an empty text
};

// Receives the driver's log lines, from any driver thread.
class IHostMessageSink {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IHostMessageSink)              // slot 0
  virtual void OnDebugInfo(CDebugInfoIf* info) = 0;   // slot 1
};

class IDeviceModelInfo {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IDeviceModelInfo)              // slot 0
  virtual std::uint32_t Reserved1() { return 0; }     // slot 1
  virtual const char* GetModelName() = 0;             // slot 2
  virtual std::uint32_t GetVideoChannelCount() = 0;   // slot 3
  virtual std::uint32_t Reserved4() { return 0; }     // slot 4
  virtual std::uint32_t GetDigitalInputCount() = 0;   // slot 5
  virtual std::uint32_t GetDigitalOutputCount() = 0;  // slot 6
};

class IConnectionSettings {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IConnectionSettings)           // slot 0
  virtual const char* GetAddress() = 0;               // slot 1: host name or IP address
  virtual std::uint32_t GetPort() = 0;                // slot 2: HTTP port (low 16 bits used)
  virtual std::uint32_t Reserved3() { return 0; }     // slot 3
  virtual std::int32_t GetCodecType() = 0;            // slot 4: 1 MJPEG, 2 MPEG-4, 3 H.264
  virtual const char* GetUserName() = 0;              // slot 5
  virtual const char* GetPassword() = 0;              // slot 6
};

// The description of the device handed to IIPCaptureDriver::OpenDriver.
class IDeviceDescription {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IDeviceDescription)                             // slot 0
  virtual IDeviceModelInfo* GetModelInfo() = 0;                        // slot 1
  virtual IConnectionSettings* GetConnectionSettings() = 0;            // slot 2
  virtual void* Reserved3() { return nullptr; }                        // slot 3
  // Slot 4: the custom parameter with the 1-based index, or null after the last one.
  virtual const char* GetCustomParameter(std::uint32_t index) = 0;
};

}  // namespace korvane::ipcapture
