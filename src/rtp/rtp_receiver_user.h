#pragma once

#include <cstdint>
#include <optional>

#include "base/socket_address.h"

#include "core/decoder_config.h"
#include "core/failure_reason.h"

namespace korvane {

class CRTPPacket;

// Consumer of RTP packets and of the decoder configuration (implemented by the RTP channel).
// The packet passed to OnPacket and OnPacketFrom is valid only during the call: the callee
// copies what it keeps.
class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  // A packet cut out of the RTSP connection (interleaved transport), on the queue thread of the
  // RTSP client's receiver, in sequence order.
  virtual void OnPacket(const CRTPPacket& packet) = 0;
  // A packet received over UDP from `from`, on the receiver's queue thread, in sequence order.
  virtual void OnPacketFrom(const SocketAddress& from, const CRTPPacket& packet) = 0;
  // The transport waited its receive time-out without data.
  virtual void OnTransportWait() = 0;
  // The transport closed.
  virtual void OnTransportClosed() = 0;
  // The decoder configuration read from the SDP, after DESCRIBE, on the RTSP client thread.
  virtual void OnCodecConfig(const DecoderConfig* config) = 0;
  // The camera accepted SETUP and named `ssrc` as its source (Transport ssrc=; nullopt when it
  // named none), on the RTSP client thread, before PLAY is sent: the stream's source is known
  // before its first packet.
  virtual void OnSessionSetUp(std::optional<uint32_t> /*ssrc*/) {}
  // The camera refused RTP over UDP (461 Unsupported Transport) and the session goes on
  // interleaved on the RTSP connection: the media arrive through OnPacket from now on. On the
  // RTSP client thread, before the new SETUP is sent.
  virtual void OnInterleavedFallback() {}
  // The camera's RTCP port named by a UDP SETUP reply (server_port), on the RTSP client thread
  // right after OnSessionSetUp: receiver reports can go there before any RTCP came from it.
  virtual void OnCameraRtcpPort(uint16_t /*port*/) {}
  // The session failed before its media could flow (DESCRIBE, SETUP or PLAY refused or not
  // answered, no usable video medium), on the RTSP client thread. Once per session at most.
  virtual void OnSessionFailed(const CFailureReason& /*reason*/) {}
};

}  // namespace korvane
