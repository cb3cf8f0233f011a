#pragma once

#include <cstdint>
#include <memory>

#include "channels/camera_channel.h"
#include "tollivar/video_capture.h"

namespace korvane {

// Builds the channel object for a video channel of the device.
class ICustomCreator {
 public:
  virtual ~ICustomCreator() = default;
  // The channel class of the device's codec type, or null when there is none. `sink` must
  // outlive the channel.
  virtual std::unique_ptr<ICameraChannel> CreateChannel(std::uint32_t index,
                                                        ipcapture::IFrameSink* sink) = 0;
  virtual std::unique_ptr<ICompanionChannel> CreateCompanionChannel(
      std::uint32_t index, ipcapture::IFrameSink* sink) = 0;
};

}  // namespace korvane
