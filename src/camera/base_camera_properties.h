#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/event.h"
#include "core/device_info.h"
#include "tollivar/capability_query.h"

namespace korvane {

// Audio channels of one direction (input or output) of a camera.
class CAudioCapabilities {
 public:
  virtual ~CAudioCapabilities() = default;

  // "Count=<channels>; IsStereo=<0|1>", the value of the audio property items.
  std::string ReportText() const;

  uint32_t channelCount = 0;
  bool stereo = false;
};

// One picture size a camera offers, with the shortest frame interval at that size (0: not
// known, reported as the interval of the largest frame rate).
struct CameraResolution {
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t frameIntervalMs = 0;
  bool operator==(const CameraResolution&) const = default;
};

// Flags and values the host knows by capability id. Only `ptz` is ever found on a camera of
// this driver; the others are reported as they stand (zero).
struct CameraCapabilityBlock {
  int32_t a = 0;  // with b: id 13 = b, and id 14 (a == 1) or 15 (a == 2)
  int32_t b = 0;
  bool ptz = false;  // id 1
  bool c = false;    // id 5
  bool d = false;    // id 11
  bool e = false;    // id 12
};

// What a camera is and can do, as the capability query learns it, and how it is handed to the
// host's result object (SaveResults). A derived class fills it for one make of camera.
//
// The object is used by the query thread only, except the stop event, which the query entry
// points set from the host's threads to cut the query short.
class CBaseCameraProperties {
 public:
  // Written for a property whose value is empty.
  static constexpr char kNoneValue[] = "(none)";

  // Hook called right after the stop event was set.
  virtual void Cancel() {}
  // Adds every frame rate's interval (ascending rates) to `list` and sets its default. False
  // when there are no frame rates or `list` is null.
  virtual bool ReportFrameRates(ipcapture::ICapabilityFrameRateList* list);
  // Writes the device's property items.
  virtual bool ReportProperties(ipcapture::ICapabilityResults* results) = 0;
  virtual ~CBaseCameraProperties();
  // Asks the camera (blocking). False with *failureCode set (CapabilityQueryFailure) when the
  // query failed, or false with *failureCode untouched when the stop event cut it short.
  virtual bool QueryProperties(int32_t* failureCode) = 0;

  CBaseCameraProperties(const CBaseCameraProperties&) = delete;
  CBaseCameraProperties& operator=(const CBaseCameraProperties&) = delete;

  // Sets the stop event (never reset) and calls Cancel(). Safe from any thread.
  void Stop();
  bool IsStopped() const { return stopEvent_.IsSet(); }

  const std::string& Manufacturer() const { return manufacturer_; }
  const std::string& Model() const { return model_; }
  const std::string& Firmware() const { return firmware_; }
  bool IsNtsc() const { return ntsc_; }
  const CameraCapabilityBlock& Capabilities() const { return capabilities_; }
  const std::set<uint32_t>& Codecs() const { return codecs_; }
  const std::vector<CameraResolution>& Resolutions() const { return resolutions_; }
  const std::set<uint32_t>& FrameRates() const { return frameRates_; }
  // 1 in all three once a query completed.
  int32_t CompletionX() const { return completionX_; }
  int32_t CompletionY() const { return completionY_; }
  int32_t CompletionZ() const { return completionZ_; }
  const DEVICE_INFO& Device() const { return device_; }

 protected:
  CBaseCameraProperties(const DEVICE_INFO& device, bool ntsc);

  // Adds {width, height, interval}; a size with a zero side is ignored. A size already listed
  // keeps its place and takes the new interval when that is non-zero and shorter.
  void AddResolution(uint16_t width, uint16_t height, uint32_t frameIntervalMs);
  // Writes one property item: nothing (and success) for an id below 1 or an empty name; an
  // empty value is written as "(none)". False when the host gives no item object.
  static bool WritePropertyItem(ipcapture::ICapabilityResults* results, int32_t id,
                                const std::string& value, int32_t flag, const char* name);
  CManualEvent& StopEvent() { return stopEvent_; }

  std::string manufacturer_;
  std::string model_;
  CAudioCapabilities audioInput_;
  CAudioCapabilities audioOutput_;
  CameraCapabilityBlock capabilities_;
  DEVICE_INFO device_;
  CManualEvent stopEvent_;
  std::string firmware_;
  bool ntsc_ = false;
  int32_t completionX_ = 0;
  int32_t completionY_ = 0;
  int32_t completionZ_ = 0;
  std::set<uint32_t> codecs_;  // codec types: 1 MJPEG, 2 MPEG-4, 3 H.264
  std::vector<CameraResolution> resolutions_;
  std::set<uint32_t> frameRates_;  // frames per second
  uint32_t defaultFrameRate_ = 0;  // 0: half the largest frame rate

  friend bool SaveResults(ipcapture::ICapabilityResults* results,
                          CBaseCameraProperties& properties);
};

// The frame interval in milliseconds of `framesPerSecond` (1000 / rate, rounded); 0 for 0.
uint32_t FrameIntervalOfRate(uint32_t framesPerSecond);

// Writes everything `properties` holds into the host's result object, step by step: model
// name, connection echo, codecs, resolutions, frame rates, capability flags, property items.
// Stops with false at the first step that fails (a missing value, or a null object from the
// host); what earlier steps wrote stays written.
bool SaveResults(ipcapture::ICapabilityResults* results, CBaseCameraProperties& properties);

}  // namespace korvane
