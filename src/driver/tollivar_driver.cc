#include "driver/tollivar_driver.h"

#include "channels/codec_channels_rtsp.h"
#include "io/cnb_io.h"
#include "ptz/ptz_handler.h"

namespace korvane {

CTollivarDriver::~CTollivarDriver() {
  // The objects created here may call back into this class while they stop: release them while
  // this part of the object still exists.
  CloseDriver();
}

bool CTollivarDriver::OpenDriver(ipcapture::IHostMessageSink* sink,
                                 ipcapture::IFrameFactory* frame_factory,
                                 ipcapture::IDeviceDescription* description) {
  if (!CIPCaptureDriver::OpenDriver(sink, frame_factory, description)) return false;

  MutableDeviceInfo().requestTimeoutMs = DEVICE_INFO::kDefaultRequestTimeoutMs;
  MutableDeviceInfo().dataTimeoutMs = DEVICE_INFO::kDefaultDataTimeoutMs;

  const std::int32_t option = GetCustomParameterInt(kParamOptionFlag);
  if (option != kCustomParameterAbsent) SetOptionFlag(option != 0);

  try {
    LogDriverOpened(GetCustomParameter(kParamFirmware));
  } catch (...) {
    // Only the log line is lost.
  }
  return true;
}

bool CTollivarDriver::CreateIOApi() {
  // A device without inputs and outputs simply has no I/O object; that is no failure.
  if (!HasIOApi()) {
    const auto [inputs, outputs] = GetIOCounts();
    if (inputs > 0 || outputs > 0) SetIOApi(std::make_unique<CCNBIO>(this));
  }
  return true;
}

bool CTollivarDriver::CreatePTZDriver() {
  if (!HasPTZDriver()) SetPTZDriver(std::make_unique<CPTZHandler>(this));
  return true;
}

std::unique_ptr<ICameraChannel> CTollivarDriver::CreateChannel(std::uint32_t index,
                                                               ipcapture::IFrameSink* sink) {
  switch (GetCodecType()) {
    case ipcapture::kCodecMjpeg:
      return std::make_unique<CMJPEGChannelRTSP>(index, this, sink);
    case ipcapture::kCodecMpeg4:
      return std::make_unique<CMPEGChannelRTSP>(index, this, sink);
    case ipcapture::kCodecH264:
      return std::make_unique<CH264ChannelRTSP>(index, this, sink);
    default:
      return nullptr;
  }
}

}  // namespace korvane
