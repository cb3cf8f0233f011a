#pragma once

#include "base/socket_address.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/event.h"
#include "base/lock.h"
#include "base/time.h"
#include "channels/base_camera_channel.h"
#include "media/media_parser_client.h"
#include "rtp/rtcp_handler.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"
#include "rtp/rtp_receiver_user.h"
#include "rtsp/base_rtsp_client.h"

namespace korvane {

// A channel that receives an RTP video stream and hands complete frames to the host. Runs the
// capture loop: connect, wait for a first frame, watch the flow of frames, declare the signal
// lost and reconnect when it stops. How the camera is prepared and how the stream is requested
// is left to ConfigureCamera, ProcessPacket and OpenStream of the derived classes.
class CBaseRTPChannel : public CBaseCameraChannel,
                        public IRTPReceiverUser,
                        public IMediaParserClient {
 public:
  // Local RTP ports probed in mode 0: even ports from kFirstPort up to (not including) kPortEnd;
  // RTCP takes the next odd port.
  static constexpr std::uint16_t kFirstPort = 3556;
  static constexpr std::uint16_t kPortEnd = 4556;
  static constexpr std::uint32_t kPortQuietWaitMs = 2000;
  static constexpr std::uint32_t kReceiverStopMs = 2000;
  static constexpr std::uint32_t kPassWaitMs = 1000;
  static constexpr std::uint32_t kRetryPassWaitMs = 10;
  static constexpr std::uint32_t kKeepAlivePeriodMs = 30000;

  // `driver`, `sink` and `clock` must outlive the channel.
  CBaseRTPChannel(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink,
                  IClock& clock = SystemClock());
  ~CBaseRTPChannel() override;

  // IRTPReceiverUser
  void OnPacket(const CRTPPacket& packet) override;
  void OnPacketFrom(const SocketAddress& from, const CRTPPacket& packet) override;
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  // Over UDP the receiver takes the source the camera announced from its first packet, without
  // probation, even while other RTP on the port (noise, an earlier session's stream) keeps any
  // source from passing it.
  void OnSessionSetUp(std::optional<std::uint32_t> ssrc) override;
  // The camera refused UDP: this attempt and every later one go interleaved.
  void OnInterleavedFallback() override;
  void OnCameraRtcpPort(std::uint16_t port) override;
  // The RTSP session of this attempt failed: its reason is the attempt's.
  void OnSessionFailed(const CFailureReason& reason) override { FailAttempt(reason); }

  // IMediaParserClient
  bool OnFrame(ipcapture::IMediaFrame* frame) override;
  std::pair<std::uint32_t, std::uint32_t> GetVideoSize() override;

  TransportMode GetTransportMode() const { return transport_mode_.load(); }
  std::uint32_t GetCameraAddress() const { return camera_address_; }
  // Local ports of the RTP and RTCP transport of the current attempt; 0 without one.
  std::uint16_t GetRtpPort() const { return receiver_.GetPort(); }
  std::uint16_t GetRtcpPort() const { return rtcp_.GetPort(); }

 protected:
  std::uint32_t CaptureLoop() override;
  // One connection attempt.
  bool ConnectStream();
  // Opens the RTP transport (mode 0 only); derived classes add the session.
  virtual bool OpenStream();
  virtual void CloseStream();
  virtual void OnKeepAlive() {}
  // Whether the camera accepted the request for the media of this attempt (PLAY).
  virtual bool MediaRequested() const { return false; }
  virtual bool ConfigureCamera() = 0;
  // The mode-0 transport, one port pair at a time: the RTP receiver on an even port, the RTCP
  // handler on the next one, and both closed again.
  virtual bool OpenRtpPort(std::uint16_t port);
  virtual bool OpenRtcpPort(std::uint16_t port);
  virtual void CloseTransport();
  // On the receiver's queue thread (mode 0) or the RTSP client thread (interleaved modes).
  virtual void ProcessPacket(const CRTPPacket* packet) = 0;
  // The reason of an attempt whose stream was requested but gave no frame within `wait_ms`;
  // `packets` tells whether RTP packets came at all.
  virtual CFailureReason NoMediaFailure(std::uint32_t wait_ms, bool packets);

  // The attempt in progress failed for `reason` (the first one counts): reported with the note
  // of the attempt appended. Any thread of the attempt.
  void FailAttempt(const CFailureReason& reason);
  // Something the camera did during this attempt that may explain a later failure (a refused
  // encoder update); cleared at the start of every attempt. Capture thread only, before the
  // stream is opened.
  void SetAttemptNote(std::string note) { attempt_note_ = std::move(note); }

  CRTPReceiver& Receiver() { return receiver_; }
  CRTCPHandler& Rtcp() { return rtcp_; }
  // Waits for a frame that is being handed to the host, so that none follows the stop.
  void OnStopRequested() override;

 private:
  void StopTransport();
  // From now on the channel asks for RTP over RTSP where the configuration says UDP: the camera
  // refused UDP, or its UDP media never arrived. Logged once per channel.
  void FallBackToInterleaved(const char* reason);
  // OnSignalLost to the host and the "Signal was lost" line (once per outage, by
  // SetCameraState); nothing while stopping.
  void ReportSignalLost();
  // Waits up to `data_timeout` for the first frame of a connection attempt; true when one came.
  // Reports the loss, once, when the time since the last frame passes the data time-out during
  // the wait and `*loss_reported` is still false (then set).
  bool WaitForFirstFrame(std::uint32_t data_timeout, bool* loss_reported);

  CRTPReceiver receiver_;
  CRTCPHandler rtcp_;
  CTime keep_alive_time_;
  CManualEvent packet_event_;
  CManualEvent frame_event_;
  // Held while a frame is handed to the host; the stop takes it once to wait for that frame.
  CLock delivery_lock_;
  const std::uint32_t camera_address_;  // IPv4, network order; 0 when it does not resolve
  std::atomic<TransportMode> transport_mode_{kRtpOverUdp};
  // Learnt once, kept for the life of the channel: a reconnect does not try UDP again.
  std::atomic<bool> interleaved_fallback_{false};
  std::atomic<bool> attempt_failed_{false};
  std::string attempt_note_;
};

}  // namespace korvane
