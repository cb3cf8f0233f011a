#pragma once

#include <cstdint>
#include <string>

namespace korvane {

// The stream a channel is asked for. Each value comes from a 16-bit host value, except a frame
// interval given to ChangeChannelSettings, which is taken whole.
struct ChannelSettings {
  std::uint32_t frameIntervalMs = 0;  // milliseconds from one frame to the next
  std::uint32_t quality = 0;          // percent, 0..100; 0 in a change request keeps the old one
  std::uint32_t width = 0;            // pixels
  std::uint32_t height = 0;           // pixels
};

// Channel states as the channel keeps them. The host sees kChannelStopped as
// kChannelSignalLost.
enum ChannelState : std::int32_t {
  kChannelReceiving = 0,
  kChannelSignalLost = 2,
  kChannelStopped = 3,
};

// One captured video channel of a device, owned by the video capture object.
class ICameraChannel {
 public:
  virtual ~ICameraChannel() = default;
  virtual bool Start(const ChannelSettings* settings) = 0;
  virtual void Stop() = 0;
  // Takes the frame interval and picture size; keeps the current quality.
  virtual bool ChangeSettings(const ChannelSettings* settings) = 0;
  virtual bool QueryExtensionA() = 0;  // false in every channel class of this driver
  virtual bool QueryExtensionB() = 0;  // false in every channel class of this driver
  virtual std::int32_t GetState() = 0;
  // Why the channel has no video: the reason of its last failed connection attempt or of its
  // lost signal ("<step>: <detail>"); empty while frames arrive or before any failure.
  virtual std::string GetFailureText() = 0;
};

// An optional second object that may run beside a channel (ICustomCreator::CreateCompanionChannel).
// This driver never creates one.
class ICompanionChannel {
 public:
  virtual ~ICompanionChannel() = default;
  virtual bool Start() = 0;
  virtual void Stop() = 0;
};

}  // namespace korvane
