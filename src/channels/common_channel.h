#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/thread_role.h"
#include "camera/http_sender.h"
#include "channels/base_rtsp_channel.h"
#include "channels/camera_channel.h"
#include "tollivar/types.h"

namespace korvane {

// Stream mode when the host sets none (custom parameter 4).
constexpr std::int32_t kDefaultStreamMode = 4;
// Camera RTSP port when the host sets none (custom parameter 3).
constexpr std::uint16_t kDefaultRtspPort = 554;
// Fixed ports of the camera's MJPEG streams in stream modes 1 and 2.
constexpr std::uint16_t kMjpegMode1Port = 665;
constexpr std::uint16_t kMjpegMode2Port = 8554;

// The camera's bitrate range (Mbit/s) for a picture size: (min, max).
std::pair<std::uint32_t, std::uint32_t> BitrateRange(std::uint32_t width, std::uint32_t height);

// The Param.cgi request that sets the camera's encoder to `settings` for a codec type
// (ipcapture::kCodecMjpeg, kCodecMpeg4, kCodecH264) in a stream mode. Empty for another codec.
std::string BuildEncoderRequest(std::int32_t codec, std::int32_t stream_mode,
                                const ChannelSettings& settings);

// RTSP port and stream path of a codec in a stream mode; `rtsp_port` is the device's port.
struct StreamLocation {
  std::uint16_t port = kDefaultRtspPort;
  std::string path;
};
StreamLocation StreamLocationFor(std::int32_t codec, std::int32_t stream_mode,
                                 std::uint16_t rtsp_port);

// What the three codec channels share: the stream mode, the HTTP sender that sets up the camera's
// encoder before every connection attempt, and the stream location.
class CCommonChannel : public CBaseRTSPChannel {
 public:
  CCommonChannel(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink,
                 std::int32_t codec);
  ~CCommonChannel() override;

  std::int32_t GetStreamMode() const { return stream_mode_; }
  void OnCodecConfig(const DecoderConfig* /*config*/) override {}

 protected:
  bool ConfigureCamera() override;
  void GetStreamParams(RTSPClientParams* params) override;
  // Sends the encoder request `path` to the camera; false when the camera could not be reached
  // or answered with an error status. A 2xx answer without "Success" in its body means the
  // camera kept (some of) its settings: that is logged, once per run of such answers, and the
  // result is still true, because the camera may stream all the same.
  virtual bool SendEncoderRequest(const std::string& path);

 private:
  const std::int32_t codec_;
  std::int32_t stream_mode_ = kDefaultStreamMode;
  std::unique_ptr<Web::CHttpSender> http_sender_;
  // The encoder requests go out on the capture thread (ConfigureCamera).
  CThreadRole capture_thread_;
  // A refusal of the encoder settings has been logged and no success has come since.
  bool refusal_logged_ GUARDED_BY(capture_thread_) = false;
};

}  // namespace korvane
