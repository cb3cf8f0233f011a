#pragma once

// Digital inputs and outputs of a device: the object the driver hands to the host
// (IIPCaptureDriver::GetIOApi) and the host's event sink it reports to.
//
// Slot order is part of the binary contract with the host.

#include "tollivar/abi.h"
#include <cstdint>

namespace korvane {

// The host's sink for input changes and I/O failures; called from the driver's I/O threads.
class ICaptureIOEvents {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICaptureIOEvents)                                         // slot 0
  virtual void OnInputStateChanged(std::uint32_t index, std::int32_t state) = 0;  // slot 1
  virtual void OnIOError() = 0;                                                  // slot 2
};

class ICaptureIOApi {
 public:
  TOLLIVAR_INTERFACE_SLOT0(ICaptureIOApi)                                            // slot 0
  // Slot 1: a null sink is refused (false) and the stored sink stays.
  virtual bool SetEventSink(ICaptureIOEvents* sink) = 0;
  virtual bool StartIO() = 0;                                                    // slot 2
  virtual bool StopIO() = 0;                                                     // slot 3
  virtual std::uint32_t GetInputCount() = 0;                                     // slot 4
  virtual std::uint32_t GetOutputCount() = 0;                                    // slot 5
  // Slot 6: queues the change; never blocks on the camera.
  virtual bool QueueOutputState(std::uint32_t index, std::int32_t state) = 0;
};

}  // namespace korvane
