#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "base/debug_message.h"
#include "core/device_info.h"
#include "tollivar/media_frame.h"

namespace korvane {

// GetCustomParameterInt's answer for an absent or non-numeric parameter.
constexpr std::int32_t kCustomParameterAbsent = std::numeric_limits<std::int32_t>::min();

// Keys of the host's custom parameters (1-based, as the host numbers them).
enum CustomParameterKey : std::int32_t {
  kParamOptionFlag = 1,   // integer; non-zero sets the option flag
  kParamFirmware = 2,     // text for the "DRIVER IS OPENED" line
  kParamRtspPort = 3,     // integer, default 554
  kParamStreamMode = 4,   // integer, default 4
  kParamPresetName = 5,   // text, name part of the PTZ preset file
};

// The driver's services for every channel, I/O and PTZ object. The driver outlives them all.
class IDriver : public IDebugMessage {
 public:
  virtual std::string GetDriverName() = 0;  // "Tollivar"
  virtual const DEVICE_INFO* GetDeviceInfo() = 0;
  // (digital inputs, digital outputs)
  virtual std::pair<std::uint32_t, std::uint32_t> GetIOCounts() = 0;
  // The host's frame factory given to OpenDriver; null before.
  virtual ipcapture::IFrameFactory* GetHostContext() = 0;
  virtual bool GetOptionFlag() = 0;
  virtual std::int32_t GetCodecType() = 0;  // 1 MJPEG, 2 MPEG-4, 3 H.264
  virtual std::uint32_t GetChannelCount() = 0;
  virtual std::string GetAddressAndPort() = 0;  // "address:port"
  // Empty when absent or exactly "(none)".
  virtual std::string GetCustomParameter(std::int32_t key) = 0;
  // Optional sign and decimal digits only; anything else (or absent) gives
  // kCustomParameterAbsent.
  virtual std::int32_t GetCustomParameterInt(std::int32_t key) = 0;
};

}  // namespace korvane
