#pragma once

#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"

namespace korvane {

// Rebuilds MPEG-4 Visual frames from RTP packets that carry the elementary stream as is
// (RFC 3016): the marker bit ends a frame. Keeps the configuration header (visual object
// sequence, object and object layer headers) the camera sends in-band and puts it in front of
// every I-VOP. Key frames go out as "DIVX" with the picture size read from that header, all
// others as "DIVI". After construction and after any loss or error, packets are dropped until
// an I-VOP starts.
class CMpeg4RTPMediaParser : public CRTPMediaParser {
 public:
  // Reads the picture size from a frame that starts with the configuration header: above 0
  // and the size stored, or 0.
  using HeaderParser = int32_t (*)(const uint8_t* frame, uint32_t length, int32_t* width,
                                   int32_t* height);

  // `header_parser` null: no key frame can be sized, so none is delivered.
  explicit CMpeg4RTPMediaParser(IDriver* driver);
  CMpeg4RTPMediaParser(IDriver* driver, HeaderParser header_parser);
  ~CMpeg4RTPMediaParser() override;

  void ParsePacket(const CRTPPacket* packet) override;
  void ResetFrame() override;

  bool AwaitingKeyFrame() const { return awaiting_key_frame_; }
  const std::vector<uint8_t>& InBandConfig() const { return in_band_config_; }

 private:
  void ParsePayload(const CRTPPacket& packet);
  void DeliverFrame();

  HeaderParser header_parser_;
  std::vector<uint8_t> in_band_config_;
  bool awaiting_key_frame_ = true;
  bool key_frame_ = false;
};

}  // namespace korvane
