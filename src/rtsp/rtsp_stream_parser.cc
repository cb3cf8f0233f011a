#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>
#include <cstring>

namespace korvane {
namespace {

constexpr uint8_t kInterleavedMagic = 0x24;  // '$'
constexpr size_t kMaxFrameBytes = 0xFFFF;    // the 16-bit length field

}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTPFrameSink* sink) : sink_(sink) {
  frame_.reserve(kMaxFrameBytes);
}

CRTSPStreamParser::CRTSPStreamParser(IRTPReceiverUser* user) : user_(user) {
  frame_.reserve(kMaxFrameBytes);
}

bool CRTSPStreamParser::CanBeChannel(uint8_t byte) const {
  if (byte == rtp_channel_ || byte == rtcp_channel_) return true;
  // Tab, line feed and carriage return after a '$' are text (an RTSP response), not channels.
  return byte <= kMaxChannel && byte != '\t' && byte != '\n' && byte != '\r';
}

void CRTSPStreamParser::TakeText(const uint8_t* data, size_t length) {
  if (observer_ == nullptr || length == 0) return;
  if (text_.size() + length > kMaxMessageBytes) text_.clear();  // not an answer we could read
  const size_t searched = text_.size() >= 3 ? text_.size() - 3 : 0;
  text_.append(reinterpret_cast<const char*>(data), std::min(length, kMaxMessageBytes));
  for (size_t from = searched;;) {
    const size_t end = text_.find("\r\n\r\n", from);
    if (end == std::string::npos) return;
    // A body or stray bytes in front of the status line are not part of the message.
    const size_t start = text_.find("RTSP/");
    if (start != std::string::npos && start < end) {
      observer_->OnMessage(std::string_view(text_).substr(start, end + 4 - start));
    }
    text_.erase(0, end + 4);
    from = 0;
  }
}

void CRTSPStreamParser::StartFrame() {
  remaining_ = length_;
  if (length_ == 0) {
    state_ = State::kScan;  // an empty frame carries nothing
  } else if (channel_ == rtp_channel_ || (channel_ == rtcp_channel_ && observer_ != nullptr)) {
    frame_.clear();
    state_ = State::kCollect;
  } else {
    ++skipped_frames_;
    state_ = State::kSkip;
  }
}

void CRTSPStreamParser::Consume(std::span<const uint8_t> chunk) {
  const uint8_t* const data = chunk.data();
  const size_t size = chunk.size();
  size_t i = 0;
  while (i < size) {
    switch (state_) {
      case State::kScan: {
        // Between frames: text or garbage up to the next '$'.
        const void* found = std::memchr(data + i, kInterleavedMagic, size - i);
        const size_t text_end =
            found == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
        TakeText(data + i, text_end - i);
        if (found == nullptr) return;
        i = text_end + 1;
        state_ = State::kChannel;
        break;
      }
      case State::kChannel:
        if (!CanBeChannel(data[i])) {
          // Not a header: look at this byte again as text (it may be the next '$').
          state_ = State::kScan;
          break;
        }
        channel_ = data[i++];
        state_ = State::kLengthHigh;
        break;
      case State::kLengthHigh:
        length_ = size_t{data[i++]} << 8;  // length, big-endian
        state_ = State::kLengthLow;
        break;
      case State::kLengthLow:
        length_ |= data[i++];
        StartFrame();
        break;
      case State::kCollect: {
        if (frame_.empty() && size - i >= remaining_) {
          // The whole frame is here: no copy.
          Emit(std::span<const uint8_t>(data + i, remaining_));
          i += remaining_;
          state_ = State::kScan;
          break;
        }
        const size_t take = std::min(remaining_, size - i);
        frame_.insert(frame_.end(), data + i, data + i + take);
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) {
          Emit(frame_);
          frame_.clear();
          state_ = State::kScan;
        }
        break;
      }
      case State::kSkip: {
        const size_t take = std::min(remaining_, size - i);
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = State::kScan;
        break;
      }
    }
  }
}

void CRTSPStreamParser::Emit(std::span<const uint8_t> frame) {
  if (channel_ != rtp_channel_) {
    if (observer_ != nullptr) observer_->OnRtcpFrame(frame);
    return;
  }
  if (observer_ != nullptr) observer_->OnRtpFrame(frame);
  if (sink_ != nullptr) {
    sink_->OnRtpFrame(frame);
    return;
  }
  if (user_ != nullptr && packet_.Parse(frame)) user_->OnPacket(packet_);
}

}  // namespace korvane
