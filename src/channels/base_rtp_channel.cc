#include "channels/base_rtp_channel.h"

#include "camera/rtp_mode_config.h"
#include "text/text_helpers.h"

namespace korvane {

CBaseRTPChannel::CBaseRTPChannel(std::uint32_t index, IDriver* driver,
                                 ipcapture::IFrameSink* sink, IClock& clock)
    : CBaseCameraChannel(index, driver, sink, clock),
      receiver_(driver),
      rtcp_(driver),
      keep_alive_time_(clock),
      camera_address_(ResolveHost(driver->GetDeviceInfo()->address)) {}

CBaseRTPChannel::~CBaseRTPChannel() {
  // The capture thread uses the transport: it ends first.
  Stop();
  StopTransport();
}

void CBaseRTPChannel::StopTransport() {
  receiver_.Stop();
  rtcp_.Stop();
}

bool CBaseRTPChannel::OpenRtpPort(std::uint16_t port) {
  receiver_.SetUser(this);
  return receiver_.Start(port, kRtpOverUdp);
}

bool CBaseRTPChannel::OpenRtcpPort(std::uint16_t port) { return rtcp_.Start(camera_address_, port); }

void CBaseRTPChannel::CloseTransport() { StopTransport(); }

void CBaseRTPChannel::OnPacket(const CRTPPacket& packet) {
  packet_event_.Set();
  ProcessPacket(&packet);
}

void CBaseRTPChannel::OnPacketFrom(const SocketAddress& from, const CRTPPacket& packet) {
  // Only the camera's own stream counts: anything else on the port is dropped whole.
  if (from.ip != camera_address_) return;
  packet_event_.Set();
  rtcp_.OnRtpSequence(packet.Sequence());
  ProcessPacket(&packet);
}

bool CBaseRTPChannel::OnFrame(ipcapture::IMediaFrame* frame) {
  frame_event_.Set();
  bool taken = false;
  if (ipcapture::IFrameSink* sink = FrameSink(); sink != nullptr) {
    try {
      taken = sink->PutFrame(frame);
    } catch (...) {
      // The host's exception never crosses into the driver's threads.
      taken = false;
    }
  }
  if (!taken) return false;
  LastFrameTime().SetNow();
  SetCameraState(true);
  return true;
}

std::pair<std::uint32_t, std::uint32_t> CBaseRTPChannel::GetVideoSize() {
  return {Settings().width, Settings().height};
}

bool CBaseRTPChannel::ConnectStream() {
  SetState(kChannelStopped);
  CloseStream();
  frame_event_.Reset();
  transport_mode_ =
      GetRTPMode(Driver()->GetDriverName(), *Driver()->GetDeviceInfo(), GetChannelIndex());
  if (ConfigureCamera()) return OpenStream();
  SetState(kChannelStopped);
  CloseStream();
  return false;
}

bool CBaseRTPChannel::OpenStream() {
  if (transport_mode_ != kRtpOverUdp) return true;
  for (std::uint32_t port = kFirstPort; port < kPortEnd; port += 2) {
    if (StopEvent().IsSet()) return false;
    packet_event_.Reset();
    if (!OpenRtpPort(static_cast<std::uint16_t>(port))) {
      continue;  // the port is taken
    }
    const std::uint32_t wait = Clock().Wait({&StopEvent(), &packet_event_}, kPortQuietWaitMs);
    // A port that already receives the camera's stream before we announced it belongs to a
    // session somebody else opened: leave it to them.
    if (wait == kWaitTimeout && OpenRtcpPort(static_cast<std::uint16_t>(port + 1))) {
      return true;
    }
    CloseTransport();
  }
  return false;
}

void CBaseRTPChannel::CloseStream() { CloseTransport(); }

std::uint32_t CBaseRTPChannel::CaptureLoop() {
  const std::uint32_t data_timeout = Driver()->GetDeviceInfo()->dataTimeoutMs;
  LastFrameTime().SetNow();
  keep_alive_time_.SetNow();
  for (;;) {
    std::uint32_t pass_wait = kPassWaitMs;
    if (GetState() == kChannelReceiving) {
      if (keep_alive_time_.GetElapsedMs() > kKeepAlivePeriodMs) {
        OnKeepAlive();
        keep_alive_time_.SetNow();
      }
    } else if (ConnectStream()) {
      // Index of the frame event in the wait below.
      constexpr std::uint32_t kFirstFrame = 1;
      const std::uint32_t wait = Clock().Wait({&StopEvent(), &frame_event_}, data_timeout);
      if (wait == kFirstFrame) {
        SetState(kChannelReceiving);
      } else {
        pass_wait = kRetryPassWaitMs;
      }
    }
    const bool stop = Clock().Wait({&StopEvent()}, pass_wait) == kWaitStopped;
    const std::uint32_t since_frame = LastFrameTime().GetElapsedMs();
    if (since_frame >= data_timeout / 2) {
      if (stop) break;
      SetState(kChannelSignalLost);  // the next pass reconnects
      if (since_frame >= data_timeout) {
        if (ipcapture::IFrameSink* sink = FrameSink(); sink != nullptr) {
          try {
            sink->OnSignalLost();
          } catch (...) {
          }
        }
        SetCameraState(false);
      }
    } else if (stop) {
      break;
    }
  }
  SetState(kChannelStopped);
  CloseStream();
  SetCameraState(false);
  return 0;
}

}  // namespace korvane
