// H.264 depacketizer over random packet sequences (record format in
// src/media/testing/packet_sequence_feeder.h). Input byte 0, when odd, makes the next two
// records the SPS and PPS of the session description.
//
// Beyond memory safety: every frame goes back to the host once, the buffer stays capped, every
// delivered frame is Annex B opening with a start code, key frames carry a picture size, and
// nothing is delivered before the first key frame.
#include <cstdint>
#include <span>

#include "media/h264_rtp_media_parser.h"
#include "media/testing/packet_sequence_feeder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  using korvane::testing::Require;
  if (size == 0) return 0;
  static korvane::testing::ReusableFeeder<CH264RTPMediaParser> feeder;
  CH264RTPMediaParser& parser = feeder.Reset();
  std::span<const uint8_t> input(data + 1, size - 1);
  if (data[0] & 1) {
    DecoderConfig config;
    for (auto* target : {&config.Sps, &config.Pps}) {
      if (input.empty()) break;
      const size_t n = std::min<size_t>(input[0], input.size() - 1);
      target->assign(input.begin() + 1, input.begin() + 1 + static_cast<std::ptrdiff_t>(n));
      input = input.subspan(1 + n);
    }
    parser.SetDecoderConfig(&config);
  }
  feeder.harness().factory.refuse = (data[0] & 2) != 0;
  bool seen_key = false;
  for (const auto& f : feeder.Feed(input)) {
    Require(f.data.size() >= 4 && f.data[0] == 0 && f.data[1] == 0 && f.data[2] == 1);
    if (f.fourcc == ipcapture::kFourCCH264) {
      seen_key = true;
      Require(f.width > 0 && f.height > 0);
    } else {
      Require(f.fourcc == ipcapture::kFourCCI264);
      Require(seen_key);
    }
  }
  return 0;
}
