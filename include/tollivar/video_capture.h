#pragma once

// The video capture object the driver hands to the host, and the host objects it is given
// when a channel starts.
//
// Slot order is part of the binary contract with the host. Host-object slots the driver never
// calls are named ReservedN and have a harmless default body; driver-side slots that answer a
// fixed value are named ReservedN as well and are implemented by the driver.

#include "tollivar/abi.h"
#include <cstdint>

#include "tollivar/media_frame.h"

namespace korvane::ipcapture {

// Receives the frames of one started channel. Must outlive the channel.
class IFrameSink {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IFrameSink)                      // slot 0
  // Slot 1: the frame is valid only during the call; true when the host took it.
  virtual bool PutFrame(IMediaFrame* frame) = 0;
  virtual std::uint32_t Reserved2() { return 0; }       // slot 2
  virtual void OnSignalLost() = 0;                      // slot 3
};

class IResolution {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IResolution)                     // slot 0
  virtual std::uint16_t GetWidth() = 0;                 // slot 1: pixels
  virtual std::uint16_t GetHeight() = 0;                // slot 2: pixels
};

class IVideoFormat {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IVideoFormat)                    // slot 0
  virtual std::uint32_t Reserved1() { return 0; }       // slot 1
  virtual std::uint32_t Reserved2() { return 0; }       // slot 2
  virtual IResolution* GetResolution() = 0;             // slot 3
};

class IStreamSettings {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IStreamSettings)                 // slot 0
  virtual std::uint16_t GetFrameInterval() = 0;         // slot 1: milliseconds between frames
  virtual std::uint32_t Reserved2() { return 0; }       // slot 2
  virtual std::uint16_t GetQuality() = 0;               // slot 3: percent, 0..100
  virtual std::uint32_t GetCompanionWanted() = 0;       // slot 4: non-zero means yes
};

// The stream the host wants from a channel.
class IChannelSettings {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IChannelSettings)                // slot 0
  virtual IVideoFormat* GetVideoFormat() = 0;           // slot 1
  virtual IStreamSettings* GetStreamSettings() = 0;     // slot 2
};

// One slot per video channel of the device.
class IIPVideoCapture {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IIPVideoCapture)                                        // slot 0
  virtual std::uint32_t GetChannelCount() = 0;                                 // slot 1
  virtual bool StartChannel(std::uint32_t index, IFrameSink* sink,
                            IChannelSettings* settings) = 0;                   // slot 2
  virtual bool StopChannel(std::uint32_t index) = 0;                           // slot 3
  virtual bool ChangeChannelSettings(std::uint32_t index, IResolution* resolution,
                                     std::uint32_t frame_interval_ms) = 0;     // slot 4
  virtual std::uint32_t Reserved5() = 0;                                       // slot 5: 0
  // Slot 6: state 0 receiving, 2 stopped or signal lost. `code` is set to 0 and `text`
  // (when given with a size above 0) to an empty string.
  virtual bool GetChannelState(std::uint32_t index, std::int32_t* state, std::uint32_t* code,
                               char* text, std::uint32_t text_size) = 0;
  virtual bool Reserved7(std::uint32_t index, void* arg1, void* arg2) = 0;    // slot 7: false
  virtual bool Reserved8(std::uint32_t index, void* arg1, void* arg2) = 0;    // slot 8: false
};

class IIPVideoCaptureEx : public IIPVideoCapture {
 public:
  virtual bool Reserved9(std::uint32_t index) = 0;                             // slot 9
  virtual bool Reserved10(std::uint32_t index) = 0;                            // slot 10
};

}  // namespace korvane::ipcapture
