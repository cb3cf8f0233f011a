#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "core/device_info.h"
#include "driver/host_core_version.h"
#include "core/idriver.h"
#include "driver/custom_creator.h"
#include "tollivar/capture_driver.h"

namespace korvane {

class CIPVideoCapture;

// The generic driver object: stores the device description, logs for every object of the
// driver, and owns the video capture, digital I/O and PTZ objects it hands to the host.
// A device-specific subclass decides which I/O and PTZ objects and which channel classes exist.
class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx4,
                         public IDriver,
                         public ICustomCreator {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  // Most custom parameters read from a description: a host that never ends the list with null
  // must not keep OpenDriver looping.
  static constexpr std::uint32_t kMaxCustomParameters = 1024;

  CIPCaptureDriver();
  ~CIPCaptureDriver() override;
  CIPCaptureDriver(const CIPCaptureDriver&) = delete;
  CIPCaptureDriver& operator=(const CIPCaptureDriver&) = delete;

  // IIPCaptureDriver .. IIPCaptureDriverEx4
  bool OpenDriver(ipcapture::IHostMessageSink* sink, ipcapture::IFrameFactory* frame_factory,
                  ipcapture::IDeviceDescription* description) override;
  void CloseDriver() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override;
  ICaptureIOApi* GetIOApi() override;
  void* Reserved5() override { return nullptr; }
  IIPPTZDriver* GetPTZDriver() override;
  void* Reserved7() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
  IIPPTZDriverEx* GetPTZDriverEx() override;
  void* Reserved10() override { return nullptr; }
  void* Reserved11() override { return nullptr; }

  // Device-specific objects, created at OpenDriver.
  virtual bool CreateIOApi() = 0;
  virtual bool CreatePTZDriver() = 0;
  // Writes the "DRIVER IS OPENED" line (nothing when the driver name or the model is empty).
  virtual void LogDriverOpened(const std::string& firmware);

  // IDebugMessage: levels 1..3 reach the host's sink; level 4 never does. Hosts older than 5.12
  // get level 3 as level 2.
  void DebugMessage(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));

  // IDriver (GetDriverName stays with the subclass)
  const DEVICE_INFO* GetDeviceInfo() override { return &device_info_; }
  std::pair<std::uint32_t, std::uint32_t> GetIOCounts() override;
  ipcapture::IFrameFactory* GetHostContext() override { return host_context_; }
  bool GetOptionFlag() override { return option_flag_; }
  std::int32_t GetCodecType() override { return codec_type_; }
  std::uint32_t GetChannelCount() override { return channel_count_; }
  std::string GetAddressAndPort() override;
  std::string GetCustomParameter(std::int32_t key) override;
  std::int32_t GetCustomParameterInt(std::int32_t key) override;

  // ICustomCreator: this driver offers no companion objects.
  std::unique_ptr<ICompanionChannel> CreateCompanionChannel(
      std::uint32_t index, ipcapture::IFrameSink* sink) override;

  HostCoreVersion GetHostCoreVersion() const { return host_core_version_; }

 protected:
  void SetOptionFlag(bool flag) { option_flag_ = flag; }
  DEVICE_INFO& MutableDeviceInfo() { return device_info_; }
  bool HasIOApi() const { return io_api_ != nullptr; }
  bool HasPTZDriver() const { return ptz_driver_ != nullptr; }
  void SetIOApi(ipcapture::abi::TInterfacePtr<ICaptureIOApi> io) { io_api_ = std::move(io); }
  void SetPTZDriver(ipcapture::abi::TInterfacePtr<IIPPTZDriverEx> ptz) { ptz_driver_ = std::move(ptz); }

 private:
  bool ReadDescription(ipcapture::IDeviceDescription* description);

  // Read by every driver thread while logging; set once by OpenDriver before any thread runs.
  std::atomic<ipcapture::IHostMessageSink*> sink_{nullptr};
  ipcapture::IFrameFactory* host_context_ = nullptr;
  std::map<std::int32_t, std::string> custom_parameters_;
  HostCoreVersion host_core_version_{};
  std::atomic<bool> host_lacks_info_level_{false};
  DEVICE_INFO device_info_;
  std::uint32_t input_count_ = 0;
  std::uint32_t output_count_ = 0;
  std::uint32_t channel_count_ = 0;
  std::int32_t codec_type_ = 0;
  bool option_flag_ = false;
  ipcapture::abi::TInterfacePtr<ICaptureIOApi> io_api_;
  std::unique_ptr<CIPVideoCapture> video_capture_;
  ipcapture::abi::TInterfacePtr<IIPPTZDriverEx> ptz_driver_;
};

}  // namespace korvane
