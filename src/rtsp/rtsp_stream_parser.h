#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rtp/rtp_receiver_user.h"

namespace korvane {

// Cuts RTP packets out of an RTSP connection that carries them interleaved (RFC 2326
// section 10.12): '$', the channel byte, a 16-bit big-endian length, then the packet. Only
// channel 0 (RTP) is taken; everything else (RTSP responses, RTCP on channel 1) is skipped byte
// by byte. State carries over between chunks, so a frame may be split at any byte.
class CRTSPStreamParser {
 public:
  // `user` receives the packets and must outlive the parser; it may be null.
  explicit CRTSPStreamParser(IRTPReceiverUser* user);
  virtual ~CRTSPStreamParser() = default;

  // Feeds one chunk read from the connection; every complete frame that parses as RTP goes to
  // the user's OnPacket on the calling thread.
  void Consume(std::span<const uint8_t> chunk);
  void Consume(const uint8_t* data, size_t length) {
    if (data != nullptr) Consume(std::span<const uint8_t>(data, length));
  }

 private:
  void EmitPacket();
  void Reset();

  int matched_ = 0;    // signature bytes seen in sequence
  int remaining_ = 0;  // payload bytes still to collect; 0 while no length is known
  std::vector<uint8_t> length_bytes_;
  std::vector<uint8_t> packet_bytes_;
  const std::vector<uint8_t> signature_;
  IRTPReceiverUser* const user_;
};

}  // namespace korvane
