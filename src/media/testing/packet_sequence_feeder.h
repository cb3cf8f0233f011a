#pragma once

// Drives a depacketizer with a packet sequence decoded from arbitrary bytes, for the fuzz
// targets and the benchmarks, and checks what must hold whatever the packets are.
//
// Input records: flags (1 byte), length (1 byte), payload (length bytes, or what is left).
// Flags: bit 0 marker; bits 1-2 sequence step (0: +1, 1: repeat, 2: skip one, 3: back 5);
// bit 3 new timestamp; bit 4 payload repeated 16 times (frames past a few kilobytes).

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "media/testing/media_test_support.h"
#include "media/rtp_media_parser.h"

namespace korvane::testing {

inline void Require(bool condition) {
  if (!condition) std::abort();
}

struct FeedResult {
  std::vector<DeliveredFrame> frames;
};

// Splits `input` into packets (see above) and hands each to `parser`. After every packet:
// every host frame went back exactly once and the buffer stays under its cap.
inline FeedResult FeedRecords(CRTPMediaParser& parser, Harness& h,
                              std::span<const uint8_t> input) {
  uint16_t sequence = 100;
  uint32_t timestamp = 9000;
  size_t pos = 0;
  while (pos + 2 <= input.size()) {
    const uint8_t flags = input[pos];
    const size_t length = std::min<size_t>(input[pos + 1], input.size() - pos - 2);
    std::vector<uint8_t> payload(input.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                                 input.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length));
    pos += 2 + length;
    if (flags & 0x10) {
      const std::vector<uint8_t> once = payload;
      for (int i = 1; i < 16; ++i) payload.insert(payload.end(), once.begin(), once.end());
    }
    switch ((flags >> 1) & 3) {
      case 0: ++sequence; break;
      case 1: break;
      case 2: sequence = static_cast<uint16_t>(sequence + 2); break;
      case 3: sequence = static_cast<uint16_t>(sequence - 5); break;
    }
    if (flags & 0x08) timestamp += 3000;
    const CRTPPacket packet = MakePacket(sequence, timestamp, flags & 1, payload);
    if (packet.Payload().empty()) continue;  // not a packet the receiver would pass on
    parser.ParsePacket(&packet);
    Require(h.factory.created == h.factory.released + (h.factory.refuse ? h.factory.created : 0));
    Require(h.factory.Live() == 0);
    Require(parser.BufferedBytes() <= CRTPMediaParser::kMaxFrameBytes);
  }
  FeedResult result;
  result.frames = h.client.frames;
  for (const auto& f : result.frames) {
    Require(f.data_size <= f.capacity);
    Require(f.data_size == f.data.size());
    Require(f.data_size > 0);
    Require(f.time_set);
  }
  return result;
}

}  // namespace korvane::testing
