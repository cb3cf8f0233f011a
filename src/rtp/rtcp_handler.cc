#include "rtp/rtcp_handler.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/unique_id.h"

namespace korvane {

namespace {

// RFC 3550 appendix A.1.
constexpr uint32_t kSeqMod = 1u << 16;
constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kNoBadSeq = kSeqMod + 1;

constexpr uint8_t kVersionMask = 0xC0;
constexpr uint8_t kOneReportBlock = 1;

void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The own SSRC (RFC 3550 section 8.1): the first field of a new GUID; when none can be made, the
// C random generator seeded with the time of day.
std::array<uint8_t, 4> MakeSsrc() {
  uint32_t value = NewGuidFirstField();
  if (value == 0) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    value = static_cast<uint32_t>(std::rand());
  }
  std::array<uint8_t, 4> ssrc{};
  PutBE32(ssrc.data(), value);
  return ssrc;
}

}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* logger)
    : CBaseThread(logger), client_(logger), own_ssrc_(MakeSsrc()) {
  client_.SetWait(kWaitSeconds, 0);
  client_.SetReceiveSize(kReceiveSize);
  bad_seq_ = kNoBadSeq;
}

CRTCPHandler::~CRTCPHandler() { Stop(); }

uint32_t CRTCPHandler::NowMs() {
  const uint32_t now = GetMultimediaTimeMs();
  return now != 0 ? now : 1;  // 0 stands for "no arrival yet"
}

bool CRTCPHandler::Start(uint32_t camera_address, uint16_t port) {
  if (client_.IsOpen() || camera_address == 0) return false;
  {
    // A new session: forget the previous camera's statistics and timing.
    CAutoLock guard(lock_);
    peer_known_ = false;
    sequence_started_ = false;
    last_arrival_ms_ = 0;
    bad_seq_ = kNoBadSeq;
    cycles_ = 0;
    max_seq_ = 0;
  }
  // Stored before the socket opens: its thread filters on it at once.
  camera_address_.store(camera_address, std::memory_order_release);
  if (!client_.Open(this, port)) return false;
  client_.SetWait(kWaitSeconds, 0);
  if (!StartThread("RTCP Handler Thread")) {
    client_.Close();
    return false;
  }
  return true;
}

void CRTCPHandler::Stop() {
  SignalStop();
  if (IsPeerKnown()) SendReport(BuildBye());
  {
    CAutoLock guard(lock_);
    peer_known_ = false;
  }
  client_.Close();
  StopThread(kStopMs);
}

bool CRTCPHandler::IsPeerKnown() const {
  CAutoLock guard(lock_);
  return peer_known_;
}

void CRTCPHandler::ResetSequenceLocked(uint16_t sequence) {
  max_seq_ = sequence;
  bad_seq_ = kNoBadSeq;
  cycles_ = 0;
}

void CRTCPHandler::OnRtpSequence(uint16_t sequence) {
  CAutoLock guard(lock_);
  if (!sequence_started_) {
    sequence_started_ = true;
    ResetSequenceLocked(sequence);
    return;
  }
  const uint32_t udelta = (uint32_t{sequence} - max_seq_) % kSeqMod;
  if (udelta < kMaxDropout) {
    // In order, with a permissible gap.
    if (sequence < max_seq_) cycles_ += kSeqMod;  // wrapped
    max_seq_ = sequence;
  } else if (udelta <= kSeqMod - kMaxMisorder) {
    // A very large jump: taken as a restarted source only when the next number follows it.
    if (sequence == bad_seq_) {
      ResetSequenceLocked(sequence);
    } else {
      bad_seq_ = (uint32_t{sequence} + 1) % kSeqMod;
    }
  }
  // Otherwise a duplicate or a packet up to 100 behind: nothing changes.
}

std::vector<uint8_t> CRTCPHandler::BuildReceiverReportAt(uint32_t now_ms) const {
  std::vector<uint8_t> report(kReceiverReportSize, 0);
  uint8_t* p = report.data();
  CAutoLock guard(lock_);
  // RFC 3550 section 6.4.2: V=2 (as the camera's), P=0, RC=1 | PT=201 | length 7.
  p[0] = static_cast<uint8_t>(version_bits_ | kOneReportBlock);
  p[1] = kReceiverReport;
  PutBE16(p + 2, static_cast<uint16_t>(kReceiverReportSize / 4 - 1));
  std::memcpy(p + 4, own_ssrc_.data(), 4);      // SSRC of packet sender
  std::memcpy(p + 8, sender_ssrc_.data(), 4);   // SSRC_1 (source being reported)
  // Bytes 12 to 15: fraction lost and cumulative lost, not tracked: 0.
  PutBE32(p + 16, cycles_ + max_seq_);          // extended highest sequence number received
  // Bytes 20 to 23: interarrival jitter, not tracked: 0.
  std::memcpy(p + 24, lsr_.data(), 4);          // last SR (LSR)
  uint32_t dlsr = 0;                            // delay since last SR, 1/65536 s
  if (last_arrival_ms_ != 0) {
    const uint32_t elapsed_ms = now_ms - last_arrival_ms_;
    dlsr = static_cast<uint32_t>(uint64_t{elapsed_ms} * 65536 / 1000);
  }
  PutBE32(p + 28, dlsr);
  return report;
}

std::vector<uint8_t> CRTCPHandler::BuildBye() const {
  std::vector<uint8_t> bye(kByeSize, 0);
  CAutoLock guard(lock_);
  // RFC 3550 section 6.6: V=2, SC=1 | PT=203 | length 1 | SSRC.
  bye[0] = static_cast<uint8_t>(version_bits_ | kOneReportBlock);
  bye[1] = kBye;
  PutBE16(bye.data() + 2, static_cast<uint16_t>(kByeSize / 4 - 1));
  std::memcpy(bye.data() + 4, own_ssrc_.data(), 4);
  return bye;
}

void CRTCPHandler::SendReport(const std::vector<uint8_t>& packet) {
  if (packet.empty()) return;
  SocketAddress peer{};
  {
    CAutoLock guard(lock_);
    if (!peer_known_) return;
    peer = peer_;
  }
  if (!client_.SendTo(packet.data(), packet.size(), peer)) {
    // Learn the address again from the next sender report.
    CAutoLock guard(lock_);
    peer_known_ = false;
  }
}

void CRTCPHandler::OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
                          size_t length) {
  if (client != &client_ || data == nullptr) return;
  if (from.ip != camera_address_.load(std::memory_order_acquire)) return;
  const std::optional<CameraPacket> packet = ReadCameraPacket({data, length});
  if (!packet) return;
  {
    CAutoLock guard(lock_);
    if (!peer_known_) {
      peer_ = from;
      // Only a sender report fixes the address reports go to.
      if (packet->is_sender_report) peer_known_ = true;
    }
    version_bits_ = packet->version_bits;
    sender_ssrc_ = packet->sender_ssrc;
    lsr_ = packet->lsr;
    last_arrival_ms_ = NowMs();
  }
  report_event_.Set();
}

std::optional<CRTCPHandler::CameraPacket> CRTCPHandler::ReadCameraPacket(
    std::span<const uint8_t> datagram) {
  if (datagram.size() < kMinPacketSize) return std::nullopt;
  // RFC 3550 section 6.4.1: |V=2|P|RC| PT | length | SSRC of sender | NTP msw | NTP lsw | ...
  CameraPacket packet;
  packet.version_bits = datagram[0] & kVersionMask;
  packet.is_sender_report = datagram[1] == kSenderReport;
  std::memcpy(packet.sender_ssrc.data(), datagram.data() + 4, 4);
  std::memcpy(packet.lsr.data(), datagram.data() + 10, 4);
  return packet;
}

void CRTCPHandler::OnWaitTimeout(IRTPClient*) {}

void CRTCPHandler::OnClosed(IRTPClient*) {}

void CRTCPHandler::Run() {
  for (;;) {
    constexpr uint32_t kReportAsked = 1;
    const uint32_t result = WaitForEvents({&StopEvent(), &report_event_}, kReportWaitMs);
    if (result == kWaitStopped) return;
    if (result == kReportAsked) SendReport(BuildReceiverReportAt(NowMs()));
  }
}

}  // namespace korvane
