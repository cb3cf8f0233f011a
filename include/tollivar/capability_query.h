#pragma once

// The capability query: four C entry points that ask a camera what it is and can do, on a
// background thread, and write the answers into a result object of the host.
//
// Slot order is part of the binary contract with the host. Slots the driver never calls are
// named ReservedN and have a harmless default body. Texts are valid only during the call.

#include "tollivar/abi.h"
#include <cstdint>

#include "tollivar/types.h"

namespace korvane::ipcapture {

// Failure codes given to ICapabilityQueryEvents::OnQueryFailed.
enum CapabilityQueryFailure : std::int32_t {
  kQueryInvalidAddress = 0,
  kQueryLoginFailed = 1,
  kQueryDeviceOffline = 2,
  kQueryOtherFailure = 3,
};

// Outcome of a query; called on the query thread.
class ICapabilityQueryEvents {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityQueryEvents)                              // slot 0
  virtual std::uint32_t Reserved1() { return 0; }                           // slot 1
  virtual void OnQueryCompleted() = 0;                                      // slot 2
  virtual void OnQueryFailed(std::int32_t code, const char* message) = 0;   // slot 3
};

// A text field of the connection data (ICapabilityResults::GetConnectionField).
class ICapabilityTextField {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityTextField)                                // slot 0
  virtual void SetText(const char* text) = 0;                               // slot 1
};

// One named property of the device (ICapabilityResults::GetPropertyItem).
class ICapabilityPropertyItem {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityPropertyItem)                             // slot 0
  virtual void SetValue(const char* value) = 0;                             // slot 1
  virtual std::uint32_t Reserved2() { return 0; }                           // slot 2
  virtual std::uint32_t Reserved3() { return 0; }                           // slot 3
  virtual void SetFlag(std::int32_t flag) = 0;                              // slot 4: 0 or 1
  virtual void SetName(const char* name) = 0;                               // slot 5
  virtual void SetOption(std::int32_t option) = 0;                          // slot 6: given 0
};

class ICapabilityResolutionList {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityResolutionList)                           // slot 0
  // Slot 1: `text` is "<width>x<height>".
  virtual void AddResolution(const char* text, std::uint32_t width, std::uint32_t height,
                             std::uint32_t frame_interval_ms) = 0;
};

class ICapabilityFrameRateList {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityFrameRateList)                            // slot 0
  virtual void SetDefaultFrameInterval(std::uint32_t frame_interval_ms) = 0;  // slot 1
  virtual void AddFrameInterval(std::uint32_t frame_interval_ms) = 0;       // slot 2
};

class ICapabilityResults {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICapabilityResults)                                  // slot 0
  virtual void SetCapability(std::uint32_t id, std::uint32_t value) = 0;    // slot 1
  virtual void SetModelName(const char* name) = 0;                          // slot 2
  // Slot 3: connection field 1 to 4.
  virtual ICapabilityTextField* GetConnectionField(std::uint32_t field) = 0;
  virtual std::uint32_t Reserved4() { return 0; }                           // slot 4
  virtual ICapabilityPropertyItem* GetPropertyItem(std::uint32_t id) = 0;   // slot 5
  virtual ICapabilityResolutionList* GetResolutionList() = 0;               // slot 6
  virtual std::uint32_t Reserved7() { return 0; }                           // slot 7
  // Slot 8: the driver asks for list 1.
  virtual ICapabilityFrameRateList* GetFrameRateList(std::uint32_t list) = 0;
};

}  // namespace korvane::ipcapture

extern "C" {

// Stores the callback (a second call before UninitCapabilityQuery returns 0). The low byte of
// `ntsc` is the initial video standard flag. Returns 1 when stored.
TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL InitCapabilityQuery(
    korvane::ipcapture::ICapabilityQueryEvents* events, std::int32_t ntsc);
// Starts the query thread; 1 when started, 0 otherwise. The low 16 bits of `port` are used.
TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL StartCapabilityQuery(
    const char* address, std::int32_t port, const char* user_name, const char* password,
    korvane::ipcapture::ICapabilityResults* results);
// Asks a running query to stop; does not wait. Returns 1.
TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL TerminateCapabilityQuery();
// Ends the cycle: stops and waits for the query, releases everything. Returns 1.
TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL UninitCapabilityQuery();

}  // extern "C"
