#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "media/h264_sps.h"
#include "media/rtp_media_parser.h"

namespace korvane {

// Rebuilds H.264 access units in Annex B form (00 00 01 before every NAL unit) from the RTP
// payload format of RFC 6184 (single NAL unit, STAP-A and FU-A packets, packetization modes 0
// and 1). A frame that starts with a decodable SPS is a key frame ("H264"), any other "I264".
// After construction and after any loss or error, frames are dropped until a key frame: the
// parameter sets from the session description are put in front of an IDR picture that comes
// without them, when its first slice header fits them (see IsIdrPictureStart).
class CH264RTPMediaParser : public CRTPMediaParser {
 public:
  explicit CH264RTPMediaParser(IDriver* driver);
  ~CH264RTPMediaParser() override;

  void ParsePacket(const CRTPPacket* packet) override;
  void ResetFrame() override;
  // Takes the SPS and PPS (the MPEG-4 configuration is ignored) when the SPS decodes within
  // its ranges and the PPS's id can be read.
  void SetDecoderConfig(const DecoderConfig* config) override;

  bool AwaitingKeyFrame() const { return awaiting_key_frame_; }

 private:
  bool Depacketize(std::span<const uint8_t> payload);
  bool DepacketizeSingle(std::span<const uint8_t> payload);
  bool DepacketizeStapA(std::span<const uint8_t> payload);
  bool DepacketizeFuA(std::span<const uint8_t> payload);
  // Appends one NAL unit's start code and header byte, noting where the frame's first SPS
  // and slice are. `body` is what follows the header byte (all of it that has arrived).
  void AppendNalStart(uint8_t nal_header, std::span<const uint8_t> body);
  void AppendNal(std::span<const uint8_t> nal);
  void BeforeIdrSlice(uint8_t nal_header, std::span<const uint8_t> body);
  void InsertParameterSets();
  void ClearFrame();
  void DeliverFrame();

  bool awaiting_key_frame_ = true;
  // Cleared by a packet that holds only a short parameter set: such a packet never ends a
  // frame, even with the marker bit, because the picture it belongs to is still to come.
  bool frame_may_end_ = true;
  // A coded slice is in the frame buffer (see DepacketizeFuA).
  bool slice_buffered_ = false;
  // Offset of the start code of the frame's first SPS in the frame buffer, or kNoSps.
  static constexpr size_t kNoSps = SIZE_MAX;
  size_t sps_offset_ = kNoSps;
  // The session description's SPS, decoded, and its PPS's id; set together with sps_/pps_.
  std::optional<H264SpsInfo> sdp_sps_;
  uint32_t sdp_pps_id_ = 0;
};

}  // namespace korvane
