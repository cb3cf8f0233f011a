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
  return StartSession(params);
}

void CBaseRTSPChannel::CloseStream() {
  // The transport goes first: TEARDOWN waits for its answer, and a camera that ignores it
  // would otherwise go on streaming into a live receiver all that time.
  CBaseRTPChannel::CloseStream();
  CloseSession();
}

bool CBaseRTSPChannel::StartSession(const RTSPClientParams& params) {
  return rtsp_client_.Start(params, this, GetTransportMode());
}

void CBaseRTSPChannel::CloseSession() { rtsp_client_.Close(); }

}  // namespace korvane
