#pragma once

#include "base/socket_address.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "base/base_thread.h"
#include "base/event.h"
#include "base/lock.h"
#include "rtp/rtp_client.h"
#include "rtp/udp_client.h"

namespace korvane {

// The RTCP side of a UDP RTP session (RFC 3550 section 6). Listens on the RTCP port, learns the
// camera's RTCP address from its sender reports (or from the SETUP reply's server_port), keeps
// the RFC 3550 appendix A.1 sequence statistics of the RTP packets the channel accepts, answers
// each RTCP packet from the camera with a receiver report (so that the camera keeps sending),
// sends compound reports (RR + SDES CNAME) on the RFC 3550 6.2 timer whether or not the camera
// sends any RTCP, and says BYE when the session ends.
//
// Without Start() the same object keeps the statistics and builds the reports of an interleaved
// session, whose owner sends them on the RTSP connection (OnCameraRtcp, TakeDueReport).
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
  // Forgets the camera: its sequence statistics, SSRC, last sender report, whether its RTCP
  // port is known, and the report timer, as a new session does (Start calls it, the socket
  // closed). This receiver's SSRC stays.
  void ForgetSession();

  // The channel reports every RTP packet it accepts; from the receiver's queue thread. The
  // packet's SSRC names the reported source until the camera's own RTCP names it.
  void OnRtpSequence(uint16_t sequence, std::optional<uint32_t> ssrc = std::nullopt);
  // The camera's RTCP port from the SETUP reply: reports go there before any sender report
  // came, and the report timer starts (the first report follows soon, before the stream has
  // run a full interval).
  void SetPeerPort(uint16_t port);
  // An interleaved session (no socket): the report timer starts now.
  void StartReportTimer();
  // An RTCP datagram of the camera's that arrived on the RTSP connection; true when it was
  // recorded (and deserves an answer, as over UDP).
  bool OnCameraRtcp(std::span<const uint8_t> datagram);
  // The compound report when the timer is due at `now_ms`, and the next interval drawn.
  std::optional<std::vector<uint8_t>> TakeDueReport(uint32_t now_ms);
  // Milliseconds until the timer is due; kReportWaitMs while it does not run.
  uint32_t MsUntilReport(uint32_t now_ms) const;
  // RFC 3550 6.2 and A.7: Tmin 5 s (half of it before the first report), times a random factor
  // of 0.5 to 1.5, divided by e - 3/2 to make up for the timer reconsideration not done here.
  static uint32_t ReportIntervalMs(bool initial, double random_unit);

  uint16_t GetPort() const { return client_.GetPort(); }
  // This receiver's SSRC as it goes on the wire (big-endian bytes).
  std::array<uint8_t, 4> OwnSsrc() const { return own_ssrc_; }
  bool IsPeerKnown() const;

  // The 32-byte receiver report as it would be sent at `now_ms` (on the clock of NowMs()).
  std::vector<uint8_t> BuildReceiverReportAt(uint32_t now_ms) const;
  // The same, written into `out`.
  void WriteReceiverReportAt(uint32_t now_ms, std::span<uint8_t, kReceiverReportSize> out) const;
  std::vector<uint8_t> BuildBye() const;
  // RR (with the report block once the reported source is known) + SDES with this receiver's
  // CNAME (RFC 3550 6.1: every compound packet carries both).
  std::vector<uint8_t> BuildCompoundReportAt(uint32_t now_ms) const;
  static constexpr uint8_t kSourceDescription = 202;
  static constexpr uint32_t kMinReportIntervalMs = 5000;
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
  void RecordLocked(const CameraPacket& packet) REQUIRES(lock_);
  void ArmTimerLocked(uint32_t now_ms) REQUIRES(lock_);
  // Version bits for our own packets: the camera's, or version 2 before it sent any.
  uint8_t VersionBitsLocked() const REQUIRES(lock_);

  CUDPClient client_;
  std::atomic<uint32_t> camera_address_{0};
  CEvent report_event_;  // auto-reset; an RTCP packet from the camera was recorded
  CEvent report_timer_event_;  // auto-reset; the report timer was started
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
  bool sender_ssrc_known_ GUARDED_BY(lock_) = false;  // from RTCP or, before it, from RTP
  bool sender_ssrc_from_rtcp_ GUARDED_BY(lock_) = false;
  uint32_t next_report_ms_ GUARDED_BY(lock_) = 0;  // 0: timer not running
  std::mt19937 random_ GUARDED_BY(lock_);  // seeded from the same source as the SSRC
};

}  // namespace korvane
