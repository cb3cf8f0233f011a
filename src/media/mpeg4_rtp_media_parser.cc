#include "media/mpeg4_rtp_media_parser.h"

#include <cstring>
#include <span>

#include "media/mpeg4_header.h"

namespace korvane {
namespace {

// ISO/IEC 14496-2 6.2.1 start codes (after 00 00 01).
constexpr uint8_t kVisualObjectSequenceStart = 0xB0;
constexpr uint8_t kGroupOfVopStart = 0xB3;
constexpr uint8_t kVopStart = 0xB6;
// A configuration packet without a VOP this short is a configuration header alone; a longer
// one is taken for frame data.
constexpr size_t kMaxConfigOnlyPacket = 64;
constexpr uint8_t kIVop = 0;  // vop_coding_type, top two bits after the VOP start code

bool StartCodeAt(std::span<const uint8_t> p, size_t i, uint8_t code) {
  return i + 3 < p.size() && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == code;
}

}  // namespace

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* driver)
    : CMpeg4RTPMediaParser(driver, &ParseMpegHeader) {}

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* driver, HeaderParser header_parser)
    : CRTPMediaParser(driver), header_parser_(header_parser) {}

CMpeg4RTPMediaParser::~CMpeg4RTPMediaParser() = default;

void CMpeg4RTPMediaParser::ResetFrame() {
  awaiting_key_frame_ = true;
  key_frame_ = false;
  width_ = 0;
  height_ = 0;
  frame_buffer_.clear();
}

void CMpeg4RTPMediaParser::ParsePacket(const CRTPPacket* packet) {
  if (packet == nullptr) return;
  try {
    ParsePayload(*packet);
  } catch (...) {
    ResetFrame();  // out of memory: drop the frame, wait for the next key frame
  }
}

void CMpeg4RTPMediaParser::ParsePayload(const CRTPPacket& packet) {
  if (!CheckSequence(packet)) ResetFrame();
  const std::span<const uint8_t> p = packet.Payload();
  const size_t n = p.size();

  // A packet that opens with the visual object sequence header carries the configuration,
  // possibly followed by the VOP it belongs to.
  size_t c = 0;
  if (n >= 5 && StartCodeAt(p, 0, kVisualObjectSequenceStart)) {
    size_t vop = 0;
    for (size_t i = 4; i + 4 <= n; ++i) {
      if (StartCodeAt(p, i, kVopStart)) {
        vop = i;
        break;
      }
    }
    if (vop != 0) {
      in_band_config_.assign(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(vop));
      c = vop;
    } else if (n < kMaxConfigOnlyPacket) {
      in_band_config_.assign(p.begin(), p.end());
      c = n;
    }
  }

  // A group of VOP header (6.2.4) may open an I-VOP's packet (RFC 3016 section 3.2): it stays
  // in the frame, and the VOP behind it says what kind of picture begins.
  size_t vop = c;
  if (StartCodeAt(p, c, kGroupOfVopStart)) {
    for (size_t i = c + 4; i + 4 <= n; ++i) {
      if (StartCodeAt(p, i, kVopStart)) {
        vop = i;
        break;
      }
    }
  }

  if (vop + 4 < n && StartCodeAt(p, vop, kVopStart)) {
    // Data still buffered here is a frame whose last packet (the one with the marker) never
    // came: it is lost, and a predicted frame after it may refer to it.
    const bool previous_lost = !frame_buffer_.empty();
    frame_buffer_.clear();
    if ((p[vop + 4] >> 6) == kIVop) {
      const std::vector<uint8_t>& header = !in_band_config_.empty() ? in_band_config_ : config_;
      frame_buffer_.assign(header.begin(), header.end());
      key_frame_ = true;
      awaiting_key_frame_ = false;
    } else {
      key_frame_ = false;
      if (previous_lost) awaiting_key_frame_ = true;
    }
  }
  if (awaiting_key_frame_) return;

  AppendToFrame(p.data() + c, n - c);
  if (!CheckBufferSize()) {
    ResetFrame();
    return;
  }
  if (packet.Marker() && !frame_buffer_.empty()) {
    converter_.Update(packet.Timestamp());
    DeliverFrame();
    frame_buffer_.clear();
  }
}

void CMpeg4RTPMediaParser::DeliverFrame() {
  if (!CanDeliver()) return;
  const size_t n = frame_buffer_.size();
  uint32_t fourcc = ipcapture::kFourCCDivi;
  if (key_frame_) {
    int32_t width = 0;
    int32_t height = 0;
    if (header_parser_ == nullptr ||
        header_parser_(frame_buffer_.data(), static_cast<uint32_t>(n), &width, &height) <= 0) {
      ResetFrame();
      return;
    }
    width_ = static_cast<uint32_t>(width) & 0xFFFF;
    height_ = static_cast<uint32_t>(height) & 0xFFFF;
    fourcc = ipcapture::kFourCCDivx;
  }
  struct Writer : IFrameWriter {
    const std::vector<uint8_t>& frame;
    explicit Writer(const std::vector<uint8_t>& f) : frame(f) {}
    size_t Write(uint8_t* data) override {
      std::memcpy(data, frame.data(), frame.size());
      return frame.size();
    }
  } writer(frame_buffer_);
  HandOff(fourcc, FrameCapacity(n), writer);
}

}  // namespace korvane
