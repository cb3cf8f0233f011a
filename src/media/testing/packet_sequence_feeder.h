#pragma once

// Drives a depacketizer with a packet sequence decoded from arbitrary bytes, for the fuzz
// targets and the benchmarks, and checks what must hold whatever the packets are.
//
// Input records: flags (1 byte), length (1 byte), payload (length bytes, or what is left).
// Flags: bit 0 marker; bits 1-2 sequence step (0: +1, 1: repeat, 2: skip one, 3: back 5);
// bit 3 new timestamp; bit 4 payload repeated 16 times (frames past a few kilobytes).

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "media/testing/media_test_support.h"
#include "media/rtp_media_parser.h"

namespace korvane::testing {

inline constexpr size_t kRtpFixedHeaderBytes = 12;

inline void Require(bool condition) {
  if (!condition) std::abort();
}

// The buffers one feed needs, kept from one input to the next.
struct FeedScratch {
  std::vector<uint8_t> wire;
  CRTPPacket packet;
};

// Splits `input` into packets (see above) and hands each to `parser`. After every packet:
// every host frame went back exactly once and the buffer stays under its cap. Returns the frames
// delivered (the client's list).
inline const std::vector<DeliveredFrame>& FeedRecords(CRTPMediaParser& parser, Harness& h,
                                                      std::span<const uint8_t> input,
                                                      FeedScratch& scratch) {
  uint16_t sequence = 100;
  uint32_t timestamp = 9000;
  size_t pos = 0;
  std::vector<uint8_t>& wire = scratch.wire;
  while (pos + 2 <= input.size()) {
    const uint8_t flags = input[pos];
    const size_t length = std::min<size_t>(input[pos + 1], input.size() - pos - 2);
    const uint8_t* const once = input.data() + pos + 2;
    pos += 2 + length;
    switch ((flags >> 1) & 3) {
      case 0: ++sequence; break;
      case 1: break;
      case 2: sequence = static_cast<uint16_t>(sequence + 2); break;
      case 3: sequence = static_cast<uint16_t>(sequence - 5); break;
    }
    if (flags & 0x08) timestamp += 3000;
    // RFC 3550 fixed header, payload type 96 (as MakePacket builds it), then the payload once
    // or 16 times. Copied with memcpy into a buffer that keeps its room: the fuzz build would
    // otherwise trace every byte of a vector insert.
    const std::array<uint8_t, kRtpFixedHeaderBytes> header =
        RtpTestHeader(sequence, timestamp, (flags & 1) != 0);
    const size_t copies = (flags & 0x10) ? 16 : 1;
    wire.resize(kRtpFixedHeaderBytes + copies * length);
    std::memcpy(wire.data(), header.data(), kRtpFixedHeaderBytes);
    for (size_t i = 0; i < copies && length > 0; ++i) {
      std::memcpy(wire.data() + kRtpFixedHeaderBytes + i * length, once, length);
    }
    CRTPPacket& packet = scratch.packet;
    packet.Parse(wire);
    if (packet.Payload().empty()) continue;  // not a packet the receiver would pass on
    parser.ParsePacket(&packet);
    Require(h.factory.created == h.factory.released + (h.factory.refuse ? h.factory.created : 0));
    Require(h.factory.Live() == 0);
    Require(parser.BufferedBytes() <= CRTPMediaParser::kMaxFrameBytes);
  }
  for (const auto& f : h.client.frames) {
    Require(f.data_size <= f.capacity);
    Require(f.data_size == f.data.size());
    Require(f.data_size > 0);
    Require(f.time_set);
  }
  return h.client.frames;
}

// A depacketizer target built once and reset per input: the harness (with its frames), the
// packet buffers and the frame records live as long as the process and are reused, and each
// input gets a parser made anew (its state is small), so nothing of one input reaches the next
// and an execution costs little more than the parsing itself.
template <typename Parser>
class ReusableFeeder {
 public:
  ReusableFeeder() { h_.factory.reuse_frames = true; }

  // The parser for the next input, in its state right after construction, with the host side
  // as new; it lasts until Feed.
  Parser& Reset() {
    h_.client.Recycle();
    h_.client.accept = true;
    h_.factory.ResetCounts();
    h_.driver.ClearLines();
    parser_.reset();
    parser_ = std::make_unique<Parser>(&h_.driver);
    parser_->SetClient(&h_.client);
    return *parser_;
  }
  Harness& harness() { return h_; }
  // Feeds the input to the parser of Reset(), then ends that parser: what it allocated is freed
  // within the same input (libFuzzer runs an input again and then a leak check whenever an
  // input leaves more allocations than it freed). The frames stay until the next Reset().
  const std::vector<DeliveredFrame>& Feed(std::span<const uint8_t> input) {
    const std::vector<DeliveredFrame>& frames = FeedRecords(*parser_, h_, input, scratch_);
    parser_.reset();
    Require(h_.factory.Live() == 0);
    return frames;
  }

 private:
  Harness h_;
  FeedScratch scratch_;
  std::unique_ptr<Parser> parser_;
};

}  // namespace korvane::testing
