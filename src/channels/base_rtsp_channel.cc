#include "channels/base_rtsp_channel.h"

namespace korvane {

CBaseRTSPChannel::CBaseRTSPChannel(std::uint32_t index, IDriver* driver,
                                   ipcapture::IFrameSink* sink)
    : CBaseRTPChannel(index, driver, sink), rtsp_client_(driver) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
  // The capture thread drives the session: it ends before the client goes.
  Stop();
  rtsp_client_.Close();
}

bool CBaseRTSPChannel::OpenStream() {
  if (!CBaseRTPChannel::OpenStream()) return false;
  const DEVICE_INFO* device = Driver()->GetDeviceInfo();
  RTSPClientParams params;
  params.Host = device->address;
  params.UserName = device->userName;
  params.Password = device->password;
  params.ConnectTimeoutMs = device->requestTimeoutMs;
  params.ReceiveTimeoutMs = device->requestTimeoutMs;
  params.RtpClientPort = GetRtpPort();
  params.RtcpClientPort = GetRtcpPort();
  GetStreamParams(&params);
  if (StopEvent().IsSet()) return false;
  return rtsp_client_.Start(params, this, GetTransportMode());
}

void CBaseRTSPChannel::CloseStream() {
  rtsp_client_.Close();
  CBaseRTPChannel::CloseStream();
}

}  // namespace korvane
