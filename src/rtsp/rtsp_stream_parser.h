#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtp/rtp_frame_sink.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver_user.h"

namespace korvane {

// What an interleaved connection carries besides RTP: the camera's RTCP on the RTCP channel,
// and the RTSP messages between the frames (answers to the requests sent during the stream).
// Called on the thread that feeds the parser.
class IRTSPStreamObserver {
 public:
  virtual ~IRTSPStreamObserver() = default;
  virtual void OnRtcpFrame(std::span<const uint8_t> frame) = 0;
  // Each RTP frame, before it is passed on (for the receiver statistics).
  virtual void OnRtpFrame(std::span<const uint8_t> /*frame*/) {}
  // The header block of one message, from its first line to the empty line.
  virtual void OnMessage(std::string_view header_block) = 0;
};

// Cuts RTP packets out of an RTSP connection that carries them interleaved (RFC 2326
// section 10.12): '$', the channel byte, a 16-bit big-endian length, then the packet. Every
// frame header is read and the frame taken or skipped whole by its length, so bytes inside a
// frame (an RTCP report that happens to contain "$\0") are never mistaken for a header. Frames
// of the RTP channel (0 unless the SETUP reply named another) are passed on, those of the RTCP
// channel go to the observer; every other channel (streams nobody set up) is skipped. Between frames, RTSP responses (keep-alive answers) and anything else that is not a
// '$' are stepped over up to the next '$'; a '$' followed by a byte that no channel of ours can
// have is not a header, and the scan goes on from that byte. State carries over between chunks,
// so a frame may be split at any byte.
//
// A frame that lies whole in one chunk is passed on in place; a split one is gathered in a
// buffer reserved once for the largest frame, so parsing allocates nothing per frame.
class CRTSPStreamParser {
 public:
  static constexpr uint8_t kRtpChannel = 0;
  // Channel numbers come in pairs per medium; above this a '$' is taken for text.
  static constexpr uint8_t kMaxChannel = 31;

  // `sink` receives the RTP frames (unparsed) and must outlive the parser; it may be null.
  explicit CRTSPStreamParser(IRTPFrameSink* sink);
  // `user` receives every frame that parses as RTP through OnPacket, on the calling thread, and
  // must outlive the parser; it may be null.
  explicit CRTSPStreamParser(IRTPReceiverUser* user);
  // Reads and drops everything.
  explicit CRTSPStreamParser(std::nullptr_t)
      : CRTSPStreamParser(static_cast<IRTPFrameSink*>(nullptr)) {}
  virtual ~CRTSPStreamParser() = default;

  // Feeds one chunk read from the connection.
  void Consume(std::span<const uint8_t> chunk);
  void Consume(const uint8_t* data, size_t length) {
    if (data != nullptr) Consume(std::span<const uint8_t>(data, length));
  }

  // Frames of channels other than RTP skipped, since construction.
  uint64_t SkippedFrames() const { return skipped_frames_; }

  // The channels the camera answered SETUP with (RFC 2326 12.39 lets it choose).
  void SetChannels(uint8_t rtp, uint8_t rtcp) {
    rtp_channel_ = rtp;
    rtcp_channel_ = rtcp;
  }
  // Receives the RTCP frames and the RTSP messages between frames; not owned, must outlive the
  // parser; null for none.
  void SetObserver(IRTSPStreamObserver* observer) { observer_ = observer; }
  // Text between frames is kept up to this much while no message end is in sight.
  static constexpr size_t kMaxMessageBytes = 16 * 1024;

 private:
  enum class State { kScan, kChannel, kLengthHigh, kLengthLow, kCollect, kSkip };

  bool CanBeChannel(uint8_t byte) const;
  // Text between frames, for the observer's messages.
  void TakeText(const uint8_t* data, size_t length);
  void Emit(std::span<const uint8_t> frame);
  // The header is complete: decide how the frame's bytes are read.
  void StartFrame();

  State state_ = State::kScan;
  uint8_t channel_ = 0;
  uint8_t rtp_channel_ = kRtpChannel;
  uint8_t rtcp_channel_ = kRtpChannel + 1;
  IRTSPStreamObserver* observer_ = nullptr;
  std::string text_;  // text since the last message end, for the observer
  size_t length_ = 0;
  size_t remaining_ = 0;        // bytes of the current frame still to come
  std::vector<uint8_t> frame_;  // a split RTP frame, gathered
  uint64_t skipped_frames_ = 0;
  IRTPFrameSink* const sink_ = nullptr;
  IRTPReceiverUser* const user_ = nullptr;
  CRTPPacket packet_;  // parsed for user_, reused
};

}  // namespace korvane
