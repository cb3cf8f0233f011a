#pragma once

#include "base/socket_address.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/base_thread.h"
#include "base/event.h"
#include "base/lock.h"
#include "rtp/rtp_client.h"
#include "rtp/udp_client.h"

namespace korvane {

// The RTCP side of a UDP RTP session (RFC 3550 section 6). Listens on the RTCP port, learns the
// camera's RTCP address from its sender reports, keeps the RFC 3550 appendix A.1 sequence
// statistics of the RTP packets the channel accepts, answers each RTCP packet from the camera
// with a receiver report (so that the camera keeps sending) and says BYE when the session ends.
class CRTCPHandler : public CBaseThread, public IRTPClientUser {
 public:
  // What the handler keeps of an RTCP datagram from the camera: read from the first packet of a
  // compound datagram, whatever its type.
  struct CameraPacket {
    uint8_t version_bits = 0;  // top two bits of byte 0
    bool is_sender_report = false;
    std::array<uint8_t, 4> sender_ssrc{};  // bytes 4 to 7
    std::array<uint8_t, 4> lsr{};          // bytes 10 to 13: middle of an SR's NTP time
  };
  // Nothing for a datagram shorter than kMinPacketSize.
  static std::optional<CameraPacket> ReadCameraPacket(std::span<const uint8_t> datagram);

  static constexpr uint32_t kReceiveSize = 1536;
  static constexpr uint32_t kWaitSeconds = 1;
  static constexpr uint32_t kReportWaitMs = 10000;
  static constexpr uint32_t kStopMs = 5000;
  // RTCP from the camera shorter than this is ignored: too short to carry an LSR.
  static constexpr size_t kMinPacketSize = 15;
  static constexpr size_t kReceiverReportSize = 32;
  static constexpr size_t kByeSize = 8;
  static constexpr uint8_t kSenderReport = 200;
  static constexpr uint8_t kReceiverReport = 201;
  static constexpr uint8_t kBye = 203;

  // logger may be null; not owned; goes to the thread base and the embedded UDP client.
  explicit CRTCPHandler(IDebugMessage* logger);
  ~CRTCPHandler() override;

  // Listens on `port` (0: any free port) for RTCP from `camera_address` (IPv4, network order).
  // Fails without side effects when already started or the address is 0, and when the port
  // cannot be bound.
  bool Start(uint32_t camera_address, uint16_t port);
  // Says BYE to a known peer, closes the socket and ends the thread.
  void Stop();

  // The channel reports every RTP packet it accepts; from the receiver's queue thread.
  void OnRtpSequence(uint16_t sequence);

  uint16_t GetPort() const { return client_.GetPort(); }
  // This receiver's SSRC as it goes on the wire (big-endian bytes).
  std::array<uint8_t, 4> OwnSsrc() const { return own_ssrc_; }
  bool IsPeerKnown() const;

  // The 32-byte receiver report as it would be sent at `now_ms` (on the clock of NowMs()).
  std::vector<uint8_t> BuildReceiverReportAt(uint32_t now_ms) const;
  std::vector<uint8_t> BuildBye() const;
  // Millisecond clock for arrival times and DLSR (monotonic; wraps after 49 days).
  static uint32_t NowMs();

  // IRTPClientUser
  void OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
              size_t length) override;
  void OnWaitTimeout(IRTPClient* client) override;
  void OnClosed(IRTPClient* client) override;

 protected:
  void Run() override;

 private:
  void SendReport(const std::vector<uint8_t>& packet);
  void ResetSequenceLocked(uint16_t sequence) REQUIRES(lock_);

  CUDPClient client_;
  std::atomic<uint32_t> camera_address_{0};
  CEvent report_event_;  // auto-reset; an RTCP packet from the camera was recorded
  std::array<uint8_t, 4> own_ssrc_{};  // fixed at construction

  mutable CLock lock_;  // guards every field below
  bool peer_known_ GUARDED_BY(lock_) = false;
  bool sequence_started_ GUARDED_BY(lock_) = false;
  SocketAddress peer_ GUARDED_BY(lock_) = {};
  uint32_t last_arrival_ms_ GUARDED_BY(lock_) = 0;  // 0: none
  uint8_t version_bits_ GUARDED_BY(lock_) = 0;
  uint16_t max_seq_ GUARDED_BY(lock_) = 0;
  uint32_t cycles_ GUARDED_BY(lock_) = 0;   // wraps x 65536
  uint32_t bad_seq_ GUARDED_BY(lock_) = 0;  // kNoBadSeq: none
  std::array<uint8_t, 4> sender_ssrc_ GUARDED_BY(lock_) = {};
  std::array<uint8_t, 4> lsr_ GUARDED_BY(lock_) = {};
};

}  // namespace korvane
