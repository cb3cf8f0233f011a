#include "media/h264_rtp_media_parser.h"

#include <cstring>
#include <optional>
#include <vector>

#include "media/h264_sps.h"

namespace korvane {
namespace {

constexpr uint8_t kStartCode[3] = {0x00, 0x00, 0x01};
// Access unit delimiter, primary_pic_type 1 (H.264 7.3.2.4), opening every delivered frame.
constexpr uint8_t kAccessUnitDelimiter[5] = {0x00, 0x00, 0x01, 0x09, 0x30};

// NAL unit types (H.264 Table 7-1) and RTP packet types (RFC 6184 5.4).
constexpr uint8_t kNalSliceFirst = 1;
constexpr uint8_t kNalIdrSlice = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAud = 9;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

// Parameter sets up to this size in a packet of their own do not end a frame.
constexpr size_t kShortParameterSet = 64;

uint8_t NalType(uint8_t header) { return header & 0x1F; }
bool IsSlice(uint8_t type) { return type >= kNalSliceFirst && type <= kNalIdrSlice; }

bool StartsWithAud(const std::vector<uint8_t>& frame) {
  return frame.size() > sizeof kStartCode &&
         std::memcmp(frame.data(), kStartCode, sizeof kStartCode) == 0 &&
         NalType(frame[sizeof kStartCode]) == kNalAud;
}

}  // namespace

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* driver) : CRTPMediaParser(driver) {}

CH264RTPMediaParser::~CH264RTPMediaParser() = default;

void CH264RTPMediaParser::ClearFrame() {
  frame_buffer_.clear();
  slice_buffered_ = false;
  sps_offset_ = kNoSps;
}

void CH264RTPMediaParser::ResetFrame() {
  awaiting_key_frame_ = true;
  width_ = 0;
  height_ = 0;
  ClearFrame();
}

void CH264RTPMediaParser::SetDecoderConfig(const DecoderConfig* config) {
  if (config == nullptr || config->Sps.empty()) return;
  const auto sps = ParseH264Sps(config->Sps);
  const auto pps_id = ReadH264PpsId(config->Pps);
  if (!sps || !pps_id) return;
  width_ = sps->size.width;
  height_ = sps->size.height;
  sps_ = config->Sps;
  pps_ = config->Pps;
  sdp_sps_ = sps;
  sdp_pps_id_ = *pps_id;
}

void CH264RTPMediaParser::ParsePacket(const CRTPPacket* packet) {
  if (packet == nullptr) return;
  try {
    if (!CheckSequence(*packet)) ResetFrame();
    const bool depacketized = Depacketize(packet->Payload());
    const bool size_ok = CheckBufferSize();
    if (!depacketized || !size_ok) {
      ResetFrame();
      return;
    }
    if (frame_may_end_ && packet->Marker() && !frame_buffer_.empty()) {
      converter_.Update(packet->Timestamp());
      DeliverFrame();
      ClearFrame();
    }
  } catch (...) {
    // Out of memory while growing the buffer: the frame is lost, the parser goes on.
  }
}

bool CH264RTPMediaParser::Depacketize(std::span<const uint8_t> payload) {
  frame_may_end_ = true;
  if (payload.empty()) return false;
  const uint8_t type = NalType(payload[0]);
  if (type >= 1 && type <= 23) return DepacketizeSingle(payload);
  if (type == kStapA) return DepacketizeStapA(payload);
  if (type == kFuA) return DepacketizeFuA(payload);
  return false;  // 0, STAP-B, MTAP16, MTAP24, FU-B, 30, 31: not in modes 0 and 1
}

void CH264RTPMediaParser::AppendNalStart(uint8_t nal_header, std::span<const uint8_t> body) {
  const uint8_t type = NalType(nal_header);
  if (type == kNalIdrSlice) BeforeIdrSlice(nal_header, body);
  if (type == kNalSps && sps_offset_ == kNoSps) sps_offset_ = frame_buffer_.size();
  if (IsSlice(type)) slice_buffered_ = true;
  AppendToFrame(kStartCode, sizeof kStartCode);
  AppendToFrame(&nal_header, 1);
}

void CH264RTPMediaParser::AppendNal(std::span<const uint8_t> nal) {
  AppendNalStart(nal[0], nal.subspan(1));
  AppendToFrame(nal.data() + 1, nal.size() - 1);
}

// An IDR picture that arrives without its parameter sets gets those of the session
// description in front of its first slice. (Access unit delimiters and SEI may precede it:
// waiting for an empty buffer would never insert them for an encoder that sends those.) Its
// slice header must fit them: otherwise any packet of damaged or foreign bytes whose first
// byte says "IDR" would go out as a key frame.
void CH264RTPMediaParser::BeforeIdrSlice(uint8_t nal_header, std::span<const uint8_t> body) {
  if (slice_buffered_ || sps_offset_ != kNoSps || !sdp_sps_) return;
  if (IsIdrPictureStart(nal_header, body, *sdp_sps_, sdp_pps_id_)) InsertParameterSets();
}

void CH264RTPMediaParser::InsertParameterSets() {
  if (sps_.empty() || pps_.empty()) return;
  sps_offset_ = frame_buffer_.size();
  AppendToFrame(kStartCode, sizeof kStartCode);
  AppendToFrame(sps_.data(), sps_.size());
  AppendToFrame(kStartCode, sizeof kStartCode);
  AppendToFrame(pps_.data(), pps_.size());
}

// RFC 6184 5.6: the payload is one NAL unit, header byte included. One-byte units (end of
// sequence, end of stream) and two-byte ones (access unit delimiters) are valid NAL units.
bool CH264RTPMediaParser::DepacketizeSingle(std::span<const uint8_t> payload) {
  const uint8_t type = NalType(payload[0]);
  if (type == kNalSps || type == kNalPps) frame_may_end_ = payload.size() > kShortParameterSet;
  AppendNal(payload);
  return true;
}

// RFC 6184 5.7.1: STAP-A header byte, then units of a 16-bit size and one NAL unit each.
bool CH264RTPMediaParser::DepacketizeStapA(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return false;
  size_t pos = 1;
  size_t remaining = payload.size() - 1;
  while (remaining > 1) {
    const size_t size = (size_t{payload[pos]} << 8) | payload[pos + 1];  // NALU size
    pos += 2;
    remaining -= 2;
    if (size > remaining) return false;
    if (size > 0) AppendNal(payload.subspan(pos, size));
    pos += size;
    remaining -= size;
  }
  return true;  // a single trailing byte is padding, not a unit
}

// RFC 6184 5.8: FU indicator, FU header (S, E, R, type), fragment.
bool CH264RTPMediaParser::DepacketizeFuA(std::span<const uint8_t> payload) {
  if (payload.size() < 3) return false;
  const uint8_t indicator = payload[0];
  const uint8_t fu_header = payload[1];
  const uint8_t nal_header = static_cast<uint8_t>((indicator & 0xE0) | (fu_header & 0x1F));
  if (fu_header & 0x80) {  // S: first fragment of the NAL unit
    if (NalType(nal_header) != kNalIdrSlice && !slice_buffered_) {
      // What came before the first slice of a non-IDR picture (SEI and the like) is dropped.
      // Once a slice is buffered, a fragmented slice is the next slice of the same picture
      // (x264 and most cameras cut a picture into several slices): dropping the buffer there
      // would hand the host a picture with its first slices missing.
      ClearFrame();
    }
    AppendNalStart(nal_header, payload.subspan(2));
  }
  // Without its start fragment a continuation still goes in; such a frame cannot start with
  // an SPS after the reset the loss caused, so it is dropped at delivery.
  AppendToFrame(payload.data() + 2, payload.size() - 2);
  return true;
}

void CH264RTPMediaParser::DeliverFrame() {
  if (!CanDeliver()) return;
  uint32_t fourcc = ipcapture::kFourCCI264;
  std::optional<PictureSize> size;
  if (sps_offset_ != kNoSps) {
    size = DecodeH264SpsSize(std::span<const uint8_t>(frame_buffer_).subspan(sps_offset_));
  }
  if (size) {
    width_ = size->width;
    height_ = size->height;
    fourcc = ipcapture::kFourCCH264;
    awaiting_key_frame_ = false;
  } else if (awaiting_key_frame_) {
    ClearFrame();
    return;
  }
  // Each frame goes out as one access unit that opens with a delimiter (H.264 7.4.1.2.3):
  // the camera's own when it sent one, else ours.
  struct Writer : IFrameWriter {
    const std::vector<uint8_t>& frame;
    explicit Writer(const std::vector<uint8_t>& f) : frame(f) {}
    size_t Write(uint8_t* data) override {
      size_t length = 0;
      if (!StartsWithAud(frame)) {
        std::memcpy(data, kAccessUnitDelimiter, sizeof kAccessUnitDelimiter);
        length = sizeof kAccessUnitDelimiter;
      }
      std::memcpy(data + length, frame.data(), frame.size());
      return length + frame.size();
    }
  } writer(frame_buffer_);
  HandOff(fourcc, FrameCapacity(frame_buffer_.size() + sizeof kAccessUnitDelimiter), writer);
}

}  // namespace korvane
