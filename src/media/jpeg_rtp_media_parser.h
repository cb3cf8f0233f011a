#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "media/jpeg_header.h"
#include "media/rtp_media_parser.h"

namespace korvane {

// Rebuilds baseline JPEG pictures from the RTP payload format for JPEG (RFC 2435): collects
// the scan data of one picture's fragments and puts a complete header (tables, frame and scan
// headers, restart interval) made from the payload headers in front of it.
class CJpegRTPMediaParser : public CRTPMediaParser {
 public:
  explicit CJpegRTPMediaParser(IDriver* driver);
  ~CJpegRTPMediaParser() override;

  void ParsePacket(const CRTPPacket* packet) override;
  void ResetFrame() override;

  // A picture whose payload bytes (payload headers included) do not exceed this is dropped.
  static constexpr size_t kMinPictureBytes = 605;

 private:
  enum class Result { kAccepted, kIgnored, kRejected };
  Result Depacketize(std::span<const uint8_t> payload);
  Result StartPicture(const JpegMainHeader& main, std::span<const uint8_t> payload, size_t pos);
  void DeliverFrame();

  bool waiting_first_fragment_ = true;
  JpegPictureParams picture_;
  size_t header_bytes_ = 0;  // payload headers of the picture's first fragment
  // In-band tables kept for a later picture that sends Q 128..254 without them (RFC 2435
  // 3.1.8: such tables are static for that Q).
  int cached_q_ = -1;
  JpegQuantTable cached_luma_{};
  JpegQuantTable cached_chroma_{};
};

}  // namespace korvane
