// MPEG-4 depacketizer over random packet sequences (record format in
// src/media/testing/packet_sequence_feeder.h).
//
// Beyond memory safety: every frame goes back to the host once, the buffer stays capped, key
// frames carry the size the header reader finds in them, and nothing is delivered before the
// first key frame.
#include <cstdint>
#include <span>

#include "media/mpeg4_header.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media/testing/packet_sequence_feeder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  using korvane::testing::Require;
  static korvane::testing::ReusableFeeder<CMpeg4RTPMediaParser> feeder;
  feeder.Reset();
  bool seen_key = false;
  for (const auto& f : feeder.Feed(std::span(data, size))) {
    if (f.fourcc == ipcapture::kFourCCDivx) {
      seen_key = true;
      const auto vol = ReadMpeg4VolSize(f.data);
      Require(vol.has_value() && vol->width == f.width && vol->height == f.height);
    } else {
      Require(f.fourcc == ipcapture::kFourCCDivi);
      Require(seen_key);
    }
  }
  return 0;
}
