// JPEG depacketizer over random packet sequences (record format in
// src/media/testing/packet_sequence_feeder.h).
//
// Beyond memory safety: every frame goes back to the host once, the buffer stays capped, and
// every delivered picture opens with SOI and the rebuilt tables, ends with EOI and has a size.
#include <cstdint>
#include <span>

#include "media/jpeg_rtp_media_parser.h"
#include "media/testing/packet_sequence_feeder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  using korvane::testing::Require;
  static korvane::testing::ReusableFeeder<CJpegRTPMediaParser> feeder;
  feeder.Reset();
  for (const auto& f : feeder.Feed(std::span(data, size))) {
    Require(f.data.size() > kJpegHeaderSize + 2);
    Require(f.data[0] == 0xFF && f.data[1] == 0xD8 && f.data[2] == 0xFF && f.data[3] == 0xDB);
    Require(f.data[f.data.size() - 2] == 0xFF && f.data[f.data.size() - 1] == 0xD9);
    Require(f.fourcc == ipcapture::kFourCCJpeg);
    Require(f.width > 0 && f.height > 0 && f.width % 8 == 0 && f.height % 8 == 0);
  }
  return 0;
}
