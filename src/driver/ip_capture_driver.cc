#include "driver/ip_capture_driver.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "base/format.h"
#include "core/custom_parameter.h"
#include "driver/debug_info.h"
#include "driver/ip_video_capture.h"

namespace korvane {
namespace {

std::string CopyHostText(const char* text) { return text ? std::string(text) : std::string(); }

}  // namespace

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() { CloseDriver(); }

bool CIPCaptureDriver::OpenDriver(ipcapture::IHostMessageSink* sink,
                                  ipcapture::IFrameFactory* frame_factory,
                                  ipcapture::IDeviceDescription* description) {
  // Nothing may escape to the host: an allocation failure (a huge channel count, say) is a
  // failed open.
  try {
    if (!ReadDescription(description)) return false;

    sink_.store(sink, std::memory_order_release);
    host_context_ = frame_factory;

    host_core_version_ = ReadHostCoreVersion();
    host_lacks_info_level_.store(host_core_version_.LacksInfoLevel(), std::memory_order_release);

    video_capture_ = std::make_unique<CIPVideoCapture>(this, channel_count_);
    if (!CreateIOApi()) return false;
    return CreatePTZDriver();
  } catch (...) {
    return false;
  }
}

bool CIPCaptureDriver::ReadDescription(ipcapture::IDeviceDescription* description) {
  // A host that hands over no description (or one without its parts) cannot be served; refuse
  // instead of dereferencing null.
  if (description == nullptr) return false;
  ipcapture::IConnectionSettings* connection = description->GetConnectionSettings();
  ipcapture::IDeviceModelInfo* model = description->GetModelInfo();
  if (connection == nullptr || model == nullptr) return false;

  codec_type_ = connection->GetCodecType();
  input_count_ = model->GetDigitalInputCount();
  output_count_ = model->GetDigitalOutputCount();
  channel_count_ = model->GetVideoChannelCount();
  device_info_.address = CopyHostText(connection->GetAddress());
  device_info_.port = static_cast<std::uint16_t>(connection->GetPort() & 0xFFFFu);
  device_info_.userName = CopyHostText(connection->GetUserName());
  device_info_.password = CopyHostText(connection->GetPassword());
  device_info_.model = CopyHostText(model->GetModelName());

  for (std::uint32_t index = 1; index <= kMaxCustomParameters; ++index) {
    const char* text = description->GetCustomParameter(index);
    if (text == nullptr) break;
    custom_parameters_[static_cast<std::int32_t>(index)] = text;
  }
  return true;
}

void CIPCaptureDriver::CloseDriver() {
  // Video first: stopping the channels may still log and use the device data.
  video_capture_.reset();
  io_api_.reset();
  ptz_driver_.reset();
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() { return video_capture_.get(); }

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
  return video_capture_.get();
}

ICaptureIOApi* CIPCaptureDriver::GetIOApi() { return io_api_.get(); }

IIPPTZDriver* CIPCaptureDriver::GetPTZDriver() { return ptz_driver_.get(); }

IIPPTZDriverEx* CIPCaptureDriver::GetPTZDriverEx() { return ptz_driver_.get(); }

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
  const std::string name = GetDriverName();
  if (name.empty() || device_info_.model.empty()) return;

  std::string line = "DRIVER IS OPENED (name: " + name + ", device model: " + device_info_.model;
  if (!firmware.empty()) line += ", FW: " + firmware;
  line += ", address: " + device_info_.address + ":" + std::to_string(device_info_.port) + ")";
  // The line holds host-supplied text: it is an argument, never the format.
  DebugMessage(kLogInfo, "%s", line.c_str());
}

void CIPCaptureDriver::DebugMessage(int level, const char* format, ...) {
  if (level == kLogDebug || format == nullptr) return;
  ipcapture::IHostMessageSink* sink = sink_.load(std::memory_order_acquire);
  if (sink == nullptr) return;  // before OpenDriver the message has nowhere to go

  try {
    va_list args;
    va_start(args, format);
    std::optional<std::string> formatted = FormatV(format, args);
    va_end(args);
    if (!formatted) return;
    const std::string& text = *formatted;

    std::uint8_t sent = static_cast<std::uint8_t>(level & 0x0F);
    if (sent == kLogInfo && host_lacks_info_level_.load(std::memory_order_acquire)) {
      sent = kLogWarning;
    }
    CDebugInfo info(sent, text);
    sink->OnDebugInfo(&info);
  } catch (...) {
    // Logging never throws into its caller, whichever thread that is.
  }
}

std::pair<std::uint32_t, std::uint32_t> CIPCaptureDriver::GetIOCounts() {
  return {input_count_, output_count_};
}

std::string CIPCaptureDriver::GetAddressAndPort() {
  return device_info_.address + ":" + std::to_string(device_info_.port);
}

std::string CIPCaptureDriver::GetCustomParameter(std::int32_t key) {
  auto it = custom_parameters_.find(key);
  if (it == custom_parameters_.end()) return {};
  return CustomParameterText(it->second);
}

std::int32_t CIPCaptureDriver::GetCustomParameterInt(std::int32_t key) {
  auto it = custom_parameters_.find(key);
  if (it == custom_parameters_.end()) return kCustomParameterAbsent;
  return ParseCustomParameterInt(it->second);
}

std::unique_ptr<ICompanionChannel> CIPCaptureDriver::CreateCompanionChannel(
    std::uint32_t /*index*/, ipcapture::IFrameSink* /*sink*/) {
  return nullptr;
}

}  // namespace korvane
