#pragma once

// Pan-tilt-zoom: the PTZ driver object the driver hands to the host
// (IIPCaptureDriver::GetPTZDriver) and the per-channel PTZ control it gives out.
//
// Slot order is part of the binary contract with the host.

#include "tollivar/abi.h"
#include <cstdint>

#include "tollivar/types.h"

// Parameters a queued PTZ command carries; implemented by the PTZ control. (Global namespace,
// as the host expects it.)
class IIPParams {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IIPParams)                      // slot 0
  virtual std::int32_t GetChannel() = 0;               // slot 1
  virtual bool IsIrisManual() = 0;                     // slot 2
  virtual void SetIrisManual(bool manual) = 0;         // slot 3
  virtual bool IsFocusManual() = 0;                    // slot 4
  virtual void SetFocusManual(bool manual) = 0;        // slot 5
};

namespace korvane {

// Result codes of the PTZ operations.
enum PtzResult : std::int32_t {
  kPtzOk = 1,
  kPtzInvalidArgument = -3,     // invalid argument or operation not offered
  kPtzFailed = -18,             // no command thread, or the command was not queued
  kPtzNotCapable = -19,         // the camera lacks the capability
  kPtzPresetFailed = -23,       // no such preset, or the preset operation failed
  kPtzPresetListFull = -26,
};

class IIPPTZApi {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IIPPTZApi)                                                   // slot 0
  virtual std::int32_t IsPTZAvailable() = 0;                                        // slot 1
  virtual std::int32_t Move(std::int32_t direction, std::int32_t speed) = 0;        // slot 2
  virtual std::int32_t Stop() = 0;                                                  // slot 3
  virtual std::int32_t CenterOn(std::int32_t a, std::int32_t b,
                                std::int32_t speed) = 0;                            // slot 4
  virtual std::int32_t StartZoomCode8(std::int32_t speed) = 0;                      // slot 5
  virtual std::int32_t StartZoomCode9(std::int32_t speed) = 0;                      // slot 6
  virtual std::int32_t UnzoomView(std::int32_t speed) = 0;                          // slot 7
  virtual std::int32_t ZoomToArea(std::int32_t a, std::int32_t b, std::int32_t c,
                                  std::int32_t speed) = 0;                          // slot 8
  virtual std::int32_t StartFocusTrue(std::int32_t speed) = 0;                      // slot 9
  virtual std::int32_t StartFocusFalse(std::int32_t speed) = 0;                     // slot 10
  virtual std::int32_t StartIrisTrue(std::int32_t speed) = 0;                       // slot 11
  virtual std::int32_t StartIrisFalse(std::int32_t speed) = 0;                      // slot 12
  virtual std::int32_t GetPTZCapabilities(ipcapture::PTZ_CAPABILITIES* caps) = 0;   // slot 13
  virtual std::int32_t GetPrepositionCount() = 0;                                   // slot 14
  // Slot 15: copies the name with its terminating zero; -3 when it does not fit.
  virtual std::int32_t GetPrepositionName(std::uint32_t index, char* buffer,
                                          std::uint32_t buffer_size) = 0;
  virtual std::int32_t RecallPreposition(std::int32_t value, const char* name) = 0;  // slot 16
  virtual std::int32_t SavePreposition(const char* name) = 0;                       // slot 17
  virtual std::int32_t DeletePreposition(const char* name) = 0;                     // slot 18
  virtual std::int32_t GetCurrentPreposition(char* buffer,
                                             std::uint32_t buffer_size) = 0;        // slot 19
};

class IIPPTZApiEx : public IIPPTZApi {
 public:
  virtual std::int32_t QueryOption(std::int32_t option) = 0;                        // slot 20
};

class IIPPTZDriver {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IIPPTZDriver)                                                // slot 0
  virtual IIPPTZApi* GetPTZApi(std::uint32_t channel) = 0;                          // slot 1
};

class IIPPTZDriverEx : public IIPPTZDriver {
 public:
  // Slot 1 answers what slot 2 answers.
  IIPPTZApi* GetPTZApi(std::uint32_t channel) override { return GetPTZApiEx(channel); }
  virtual IIPPTZApiEx* GetPTZApiEx(std::uint32_t channel) = 0;                      // slot 2
};

}  // namespace korvane
