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
  url_ = CBaseRTSPClient::MakeBaseUrl({}, params.Host, params.Port, params.Path);
  if (StartSession(params)) return true;
  const CFailureReason failure = rtsp_client_.Failure();
  FailAttempt(failure.IsSet() ? failure
                              : CFailureReason(CFailureReason::Step::kRtspConnect,
                                               "the session with " + url_ + " did not start"));
  return false;
}

CFailureReason CBaseRTSPChannel::NoMediaFailure(std::uint32_t wait_ms, bool packets) {
  static constexpr const char* kModeNames[] = {"RTP over UDP", "RTP over TCP", "RTP over RTSP"};
  const TransportMode mode = GetTransportMode();
  const char* mode_name = mode >= kRtpOverUdp && mode <= kRtpOverRtsp ? kModeNames[mode] : "RTP";
  std::string detail = url_ + " is playing (" + mode_name + ") but ";
  detail += packets ? "its RTP packets made no frame" : "no RTP packet came";
  return {CFailureReason::Step::kRtspMedia,
          detail + " within " + std::to_string(wait_ms) + " ms"};
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
