#include "rtp/rtcp_handler.h"

#include <algorithm>
#include <cstdio>
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

// A random value: the first field of a new GUID (the own SSRC, RFC 3550 section 8.1, and the
// seed of the report timer); when none can be made, the C random generator seeded with the time
// of day.
uint32_t RandomValue() {
  uint32_t value = NewGuidFirstField();
  if (value == 0) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    value = static_cast<uint32_t>(std::rand());
  }
  return value;
}

std::array<uint8_t, 4> MakeSsrc(uint32_t value) {
  std::array<uint8_t, 4> ssrc{};
  PutBE32(ssrc.data(), value);
  return ssrc;
}

constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kCnameItem = 1;
constexpr char kCnamePrefix[] = "tollivar-";

}  // namespace

CRTCPHandler::CRTCPHandler(IDebugMessage* logger)
    : CBaseThread(logger), client_(logger), own_ssrc_(MakeSsrc(RandomValue())) {
  {
    CAutoLock guard(lock_);
    random_.seed(RandomValue());
  }
  client_.SetWait(kWaitSeconds, 0);
  client_.SetReceiveSize(kReceiveSize);
  bad_seq_ = kNoBadSeq;
}

CRTCPHandler::~CRTCPHandler() { Stop(); }

uint32_t CRTCPHandler::NowMs() {
  const uint32_t now = GetMultimediaTimeMs();
  return now != 0 ? now : 1;  // 0 stands for "no arrival yet"
}

void CRTCPHandler::ForgetSession() {
  CAutoLock guard(lock_);
  peer_known_ = false;
  sequence_started_ = false;
  last_arrival_ms_ = 0;
  bad_seq_ = kNoBadSeq;
  cycles_ = 0;
  max_seq_ = 0;
  sender_ssrc_known_ = false;
  sender_ssrc_from_rtcp_ = false;
  next_report_ms_ = 0;
}

bool CRTCPHandler::Start(uint32_t camera_address, uint16_t port) {
  if (client_.IsOpen() || camera_address == 0) return false;
  ForgetSession();
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

void CRTCPHandler::OnRtpSequence(uint16_t sequence, std::optional<uint32_t> ssrc) {
  CAutoLock guard(lock_);
  if (ssrc && !sender_ssrc_from_rtcp_) {
    PutBE32(sender_ssrc_.data(), *ssrc);
    sender_ssrc_known_ = true;
  }
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
  WriteReceiverReportAt(now_ms, std::span<uint8_t, kReceiverReportSize>(report));
  return report;
}

void CRTCPHandler::WriteReceiverReportAt(uint32_t now_ms,
                                         std::span<uint8_t, kReceiverReportSize> out) const {
  uint8_t* p = out.data();
  std::memset(p, 0, kReceiverReportSize);
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
}

std::vector<uint8_t> CRTCPHandler::BuildBye() const {
  std::vector<uint8_t> bye(kByeSize, 0);
  CAutoLock guard(lock_);
  // RFC 3550 section 6.6: V=2, SC=1 | PT=203 | length 1 | SSRC.
  bye[0] = static_cast<uint8_t>(VersionBitsLocked() | kOneReportBlock);
  bye[1] = kBye;
  PutBE16(bye.data() + 2, static_cast<uint16_t>(kByeSize / 4 - 1));
  std::memcpy(bye.data() + 4, own_ssrc_.data(), 4);
  return bye;
}

uint8_t CRTCPHandler::VersionBitsLocked() const {
  return version_bits_ != 0 ? version_bits_ : kVersion2;
}

std::vector<uint8_t> CRTCPHandler::BuildCompoundReportAt(uint32_t now_ms) const {
  std::vector<uint8_t> packet;
  bool with_block = false;
  uint8_t version = 0;
  {
    CAutoLock guard(lock_);
    with_block = sender_ssrc_known_;
    version = VersionBitsLocked();
  }
  if (with_block) {
    packet = BuildReceiverReportAt(now_ms);
    packet[0] = static_cast<uint8_t>(version | kOneReportBlock);
  } else {
    // RFC 3550 6.4.2: an empty RR (RC=0) when no source has been heard yet.
    packet.assign(8, 0);
    packet[0] = version;
    packet[1] = kReceiverReport;
    PutBE16(packet.data() + 2, 1);
    std::memcpy(packet.data() + 4, own_ssrc_.data(), 4);
  }
  // RFC 3550 6.5: SDES, one chunk: SSRC, CNAME item, END, padded to a 32-bit boundary.
  char cname[sizeof kCnamePrefix + 8];
  std::snprintf(cname, sizeof cname, "%s%02x%02x%02x%02x", kCnamePrefix, own_ssrc_[0],
                own_ssrc_[1], own_ssrc_[2], own_ssrc_[3]);
  const size_t cname_length = std::strlen(cname);
  size_t chunk = 4 + 2 + cname_length + 1;  // SSRC, type and length, text, END
  chunk = (chunk + 3) / 4 * 4;
  const size_t sdes_at = packet.size();
  packet.resize(sdes_at + 4 + chunk, 0);
  uint8_t* p = packet.data() + sdes_at;
  p[0] = static_cast<uint8_t>(version | 1);  // one chunk
  p[1] = kSourceDescription;
  PutBE16(p + 2, static_cast<uint16_t>((4 + chunk) / 4 - 1));
  std::memcpy(p + 4, own_ssrc_.data(), 4);
  p[8] = kCnameItem;
  p[9] = static_cast<uint8_t>(cname_length);
  std::memcpy(p + 10, cname, cname_length);  // END and padding are the zeros behind it
  return packet;
}

uint32_t CRTCPHandler::ReportIntervalMs(bool initial, double random_unit) {
  constexpr double kCompensation = 2.71828182845904523536 - 1.5;  // RFC 3550 A.7
  const double minimum = initial ? kMinReportIntervalMs / 2.0 : kMinReportIntervalMs;
  const double factor = 0.5 + std::clamp(random_unit, 0.0, 1.0);
  return static_cast<uint32_t>(minimum * factor / kCompensation);
}

void CRTCPHandler::ArmTimerLocked(uint32_t now_ms) {
  if (next_report_ms_ != 0) return;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  next_report_ms_ = now_ms + ReportIntervalMs(/*initial=*/true, unit(random_));
  if (next_report_ms_ == 0) next_report_ms_ = 1;
}

void CRTCPHandler::SetPeerPort(uint16_t port) {
  if (port == 0) return;
  {
    CAutoLock guard(lock_);
    if (!peer_known_) {
      peer_ = SocketAddress{camera_address_.load(std::memory_order_acquire), port};
      peer_known_ = peer_.ip != 0;
    }
    ArmTimerLocked(NowMs());
  }
  // The thread recomputes its wait.
  report_timer_event_.Set();
}

void CRTCPHandler::StartReportTimer() {
  CAutoLock guard(lock_);
  ArmTimerLocked(NowMs());
}

uint32_t CRTCPHandler::MsUntilReport(uint32_t now_ms) const {
  CAutoLock guard(lock_);
  if (next_report_ms_ == 0) return kReportWaitMs;
  const int32_t left = static_cast<int32_t>(next_report_ms_ - now_ms);
  return left <= 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(left), kReportWaitMs);
}

std::optional<std::vector<uint8_t>> CRTCPHandler::TakeDueReport(uint32_t now_ms) {
  {
    CAutoLock guard(lock_);
    if (next_report_ms_ == 0 || static_cast<int32_t>(next_report_ms_ - now_ms) > 0) {
      return std::nullopt;
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    next_report_ms_ = now_ms + ReportIntervalMs(/*initial=*/false, unit(random_));
    if (next_report_ms_ == 0) next_report_ms_ = 1;
  }
  return BuildCompoundReportAt(now_ms);
}

bool CRTCPHandler::OnCameraRtcp(std::span<const uint8_t> datagram) {
  const std::optional<CameraPacket> packet = ReadCameraPacket(datagram);
  if (!packet) return false;
  CAutoLock guard(lock_);
  RecordLocked(*packet);
  return true;
}

void CRTCPHandler::RecordLocked(const CameraPacket& packet) {
  version_bits_ = packet.version_bits;
  sender_ssrc_ = packet.sender_ssrc;
  sender_ssrc_known_ = true;
  sender_ssrc_from_rtcp_ = true;
  lsr_ = packet.lsr;
  last_arrival_ms_ = NowMs();
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
      if (packet->is_sender_report) {
        peer_known_ = true;
        ArmTimerLocked(NowMs());
      }
    }
    RecordLocked(*packet);
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
    const uint32_t result = WaitForEvents({&StopEvent(), &report_event_, &report_timer_event_},
                                          MsUntilReport(NowMs()));
    if (result == kWaitStopped) return;
    if (result == kReportAsked) SendReport(BuildReceiverReportAt(NowMs()));
    // The timer runs whatever the camera sends (some cameras send no sender report at all);
    // while the peer is unknown the report due is drawn and dropped.
    if (std::optional<std::vector<uint8_t>> due = TakeDueReport(NowMs())) SendReport(*due);
  }
}

}  // namespace korvane
