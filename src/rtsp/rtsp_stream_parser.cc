#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>
#include <cstring>

#include "rtp/rtp_packet.h"

namespace korvane {
namespace {

constexpr uint8_t kInterleavedMagic = 0x24;  // '$'
constexpr uint8_t kRtpChannel = 0;
constexpr size_t kSignatureSize = 2;
constexpr size_t kLengthSize = 2;

}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTPReceiverUser* user)
    : signature_{kInterleavedMagic, kRtpChannel}, user_(user) {
  length_bytes_.reserve(kLengthSize);
}

void CRTSPStreamParser::Reset() {
  matched_ = 0;
  remaining_ = 0;
  length_bytes_.clear();
  packet_bytes_.clear();
}

void CRTSPStreamParser::Consume(std::span<const uint8_t> chunk) {
  size_t i = 0;
  while (i < chunk.size()) {
    if (matched_ < static_cast<int>(kSignatureSize)) {
      if (matched_ == 0) {
        // Outside a frame: jump to the next '$' rather than stepping byte by byte.
        const void* found = std::memchr(chunk.data() + i, kInterleavedMagic, chunk.size() - i);
        if (found == nullptr) return;
        i = static_cast<size_t>(static_cast<const uint8_t*>(found) - chunk.data());
      }
      if (chunk[i] == signature_[static_cast<size_t>(matched_)]) {
        ++matched_;
        ++i;
      } else if (matched_ > 0) {
        matched_ = 0;  // "$$\0" still frames: compare the same byte with '$' again
      } else {
        ++i;
      }
      continue;
    }
    if (length_bytes_.size() < kLengthSize) {
      length_bytes_.push_back(chunk[i++]);
      if (length_bytes_.size() == kLengthSize) {
        remaining_ = length_bytes_[0] * 256 + length_bytes_[1];
        if (remaining_ == 0) {
          Reset();  // an empty frame carries nothing
        } else {
          packet_bytes_.reserve(static_cast<size_t>(remaining_));
        }
      }
      continue;
    }
    const size_t take = std::min(static_cast<size_t>(remaining_), chunk.size() - i);
    packet_bytes_.insert(packet_bytes_.end(), chunk.begin() + static_cast<ptrdiff_t>(i),
                         chunk.begin() + static_cast<ptrdiff_t>(i + take));
    remaining_ -= static_cast<int>(take);
    i += take;
    if (remaining_ == 0) {
      EmitPacket();
      Reset();
    }
  }
}

void CRTSPStreamParser::EmitPacket() {
  if (packet_bytes_.empty()) return;
  CRTPPacket packet;
  if (packet.Parse(packet_bytes_) && user_ != nullptr) user_->OnPacket(packet);
}

}  // namespace korvane
