#include "channels/base_rtp_channel.h"

#include <algorithm>

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
  // Any source until the camera names its own in the SETUP reply of this attempt.
  receiver_.SetExpectedSsrc(std::nullopt);
  return receiver_.Start(port, kRtpOverUdp);
}

bool CBaseRTPChannel::OpenRtcpPort(std::uint16_t port) { return rtcp_.Start(camera_address_, port); }

void CBaseRTPChannel::CloseTransport() { StopTransport(); }

void CBaseRTPChannel::OnSessionSetUp(std::optional<std::uint32_t> ssrc) {
  // The interleaved modes read the media through the RTSP client's own receiver, which takes
  // the SSRC itself.
  if (transport_mode_ == kRtpOverUdp) receiver_.SetExpectedSsrc(ssrc);
}

void CBaseRTPChannel::OnCameraRtcpPort(std::uint16_t port) {
  if (transport_mode_ == kRtpOverUdp) rtcp_.SetPeerPort(port);
}

void CBaseRTPChannel::OnInterleavedFallback() {
  transport_mode_ = kRtpOverRtsp;
  FallBackToInterleaved("answered UDP SETUP with 461 Unsupported Transport");
}

void CBaseRTPChannel::FallBackToInterleaved(const char* reason) {
  static constexpr char kName[] = "korvane::CBaseRTPChannel::FallBackToInterleaved";
  if (interleaved_fallback_.exchange(true)) return;
  const std::string device = DeviceName(/*capital=*/true);
  Driver()->DebugMessage(kLogWarning, "%s: %s %s; RTP over RTSP from now on", kName,
                         device.c_str(), reason);
}

void CBaseRTPChannel::OnPacket(const CRTPPacket& packet) {
  // A camera that goes on sending after the stop (it ignores or has not yet had TEARDOWN)
  // feeds nothing to the depacketizer any more.
  if (StopEvent().IsSet()) return;
  packet_event_.Set();
  ProcessPacket(&packet);
}

void CBaseRTPChannel::OnPacketFrom(const SocketAddress& from, const CRTPPacket& packet) {
  // Only the camera's own stream counts: anything else on the port is dropped whole.
  if (from.ip != camera_address_ || StopEvent().IsSet()) return;
  packet_event_.Set();
  rtcp_.OnRtpSequence(packet.Sequence(), packet.Ssrc());
  ProcessPacket(&packet);
}

void CBaseRTPChannel::FailAttempt(const CFailureReason& reason) {
  if (!reason.IsSet() || StopEvent().IsSet() || attempt_failed_.exchange(true)) return;
  if (attempt_note_.empty()) {
    ReportFailure(reason);
  } else {
    ReportFailure({reason.GetStep(), reason.Detail() + "; " + attempt_note_});
  }
}

CFailureReason CBaseRTPChannel::NoMediaFailure(std::uint32_t wait_ms, bool packets) {
  return {CFailureReason::Step::kRtspMedia,
          packets ? "RTP packets came but made no frame within " + std::to_string(wait_ms) +
                        " ms"
                  : "no RTP packet within " + std::to_string(wait_ms) + " ms"};
}

bool CBaseRTPChannel::OnFrame(ipcapture::IMediaFrame* frame) {
  frame_event_.Set();
  bool taken = false;
  {
    CAutoLock guard(delivery_lock_);
    // Once a stop has begun the host gets no frame: it may already have been told the camera
    // is offline, and it may be tearing the sink down.
    if (StopEvent().IsSet()) return false;
    if (ipcapture::IFrameSink* sink = FrameSink(); sink != nullptr) {
      try {
        taken = sink->PutFrame(frame);
      } catch (...) {
        // The host's exception never crosses into the driver's threads.
        taken = false;
      }
    }
  }
  if (!taken) return false;
  LastFrameTime().SetNow();
  SetCameraState(true);
  ClearFailure();
  return true;
}

void CBaseRTPChannel::OnStopRequested() {
  // The stop event is set: a delivery that has not yet checked it will not deliver, and one
  // that already has finishes before this returns.
  CAutoLock guard(delivery_lock_);
}

std::pair<std::uint32_t, std::uint32_t> CBaseRTPChannel::GetVideoSize() {
  return {Settings().width, Settings().height};
}

bool CBaseRTPChannel::ConnectStream() {
  SetState(kChannelStopped);
  CloseStream();
  frame_event_.Reset();
  packet_event_.Reset();
  attempt_failed_ = false;
  attempt_note_.clear();
  TransportMode mode =
      GetRTPMode(Driver()->GetDriverName(), *Driver()->GetDeviceInfo(), GetChannelIndex());
  // Only UDP falls back; the interleaved modes the configuration names stay as they are.
  if (mode == kRtpOverUdp && interleaved_fallback_) mode = kRtpOverRtsp;
  transport_mode_ = mode;
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
  if (camera_address_ == 0) {
    FailAttempt({CFailureReason::Step::kRtspConnect,
                 "the name " + Driver()->GetDeviceInfo()->address + " does not resolve"});
  } else {
    FailAttempt({CFailureReason::Step::kRtspSetup,
                 "no free local UDP port pair from " + std::to_string(kFirstPort) + " to " +
                     std::to_string(kPortEnd - 1)});
  }
  return false;
}

void CBaseRTPChannel::CloseStream() { CloseTransport(); }

void CBaseRTPChannel::ReportSignalLost() {
  // A stop in progress is not a lost signal; its own offline line follows.
  if (StopEvent().IsSet()) return;
  SetState(kChannelSignalLost);
  if (ipcapture::IFrameSink* sink = FrameSink(); sink != nullptr) {
    try {
      sink->OnSignalLost();
    } catch (...) {
      // The host's exception never crosses into the driver's threads.
    }
  }
  SetCameraState(false);
}

bool CBaseRTPChannel::WaitForFirstFrame(std::uint32_t data_timeout, bool* loss_reported) {
  // Index of the frame event in the wait below.
  constexpr std::uint32_t kFirstFrame = 1;
  std::uint32_t remaining = data_timeout;
  for (;;) {
    // The signal-loss deadline counts from the last frame, not from this attempt: when it
    // falls inside the wait, the wait is cut there so the loss is reported on time.
    std::uint32_t slice = remaining;
    if (!*loss_reported) {
      const std::uint32_t since_frame = LastFrameTime().GetElapsedMs();
      slice = std::min(slice, since_frame >= data_timeout ? 0 : data_timeout - since_frame);
    }
    const std::uint32_t wait = Clock().Wait({&StopEvent(), &frame_event_}, slice);
    if (wait == kFirstFrame) return true;
    if (wait != kWaitTimeout) return false;  // stopped
    remaining -= slice;
    if (!*loss_reported && LastFrameTime().GetElapsedMs() >= data_timeout) {
      ReportSignalLost();
      *loss_reported = true;
    }
    if (remaining == 0) return false;
  }
}

std::uint32_t CBaseRTPChannel::CaptureLoop() {
  const std::uint32_t data_timeout = Driver()->GetDeviceInfo()->dataTimeoutMs;
  // Before the first frame, the start counts as the last one.
  LastFrameTime().SetNow();
  keep_alive_time_.SetNow();
  // The current outage has been reported; cleared once a frame is seen again.
  bool loss_reported = false;
  for (;;) {
    std::uint32_t pass_wait = kPassWaitMs;
    bool reported_in_wait = false;
    if (GetState() == kChannelReceiving) {
      if (keep_alive_time_.GetElapsedMs() > kKeepAlivePeriodMs) {
        OnKeepAlive();
        keep_alive_time_.SetNow();
      }
    } else if (ConnectStream()) {
      const bool was_reported = loss_reported;
      if (WaitForFirstFrame(data_timeout, &loss_reported)) {
        SetState(kChannelReceiving);
      } else {
        pass_wait = kRetryPassWaitMs;
        FailAttempt(NoMediaFailure(data_timeout, packet_event_.IsSet()));
        // PLAY was accepted, yet not one datagram of the camera's came: something on the way
        // drops UDP (a firewall, a NAT). The RTSP connection itself gets through.
        if (transport_mode_ == kRtpOverUdp && !packet_event_.IsSet() && MediaRequested() &&
            !StopEvent().IsSet()) {
          FallBackToInterleaved("sent no RTP over UDP after PLAY");
        }
      }
      reported_in_wait = loss_reported && !was_reported;
    }
    const bool stop = Clock().Wait({&StopEvent()}, pass_wait) == kWaitStopped;
    const std::uint32_t since_frame = LastFrameTime().GetElapsedMs();
    if (since_frame < data_timeout) loss_reported = false;
    if (since_frame >= data_timeout / 2) {
      if (stop) break;
      if (GetState() == kChannelReceiving) {
        ReportFailure({CFailureReason::Step::kSignal,
                       "no frame for " + std::to_string(data_timeout / 2) + " ms; reconnecting"});
      }
      SetState(kChannelSignalLost);  // the next pass reconnects
      // Reported again on every pass (once per failed attempt) while the outage lasts, but not
      // twice for the same attempt.
      if (since_frame >= data_timeout && !reported_in_wait) {
        ReportSignalLost();
        loss_reported = true;
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
