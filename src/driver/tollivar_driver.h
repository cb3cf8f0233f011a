#pragma once

#include <memory>
#include <string>

#include "driver/ip_capture_driver.h"

namespace korvane {

// The driver for CNB cameras and video servers.
class CTollivarDriver : public CIPCaptureDriver {
 public:
  static constexpr char kDriverName[] = "Tollivar";

  CTollivarDriver() = default;
  ~CTollivarDriver() override;

  bool OpenDriver(ipcapture::IHostMessageSink* sink, ipcapture::IFrameFactory* frame_factory,
                  ipcapture::IDeviceDescription* description) override;
  bool CreateIOApi() override;
  bool CreatePTZDriver() override;

  std::string GetDriverName() override { return kDriverName; }

  std::unique_ptr<ICameraChannel> CreateChannel(std::uint32_t index,
                                                ipcapture::IFrameSink* sink) override;
};

}  // namespace korvane
