#include "media/jpeg_rtp_media_parser.h"

#include <cstring>

namespace korvane {
namespace {

constexpr uint8_t kEoi[2] = {0xFF, 0xD9};
// Room for the rebuilt header and EOI on top of the scan data.
constexpr size_t kHeaderReserve = 1024;
constexpr size_t kOneTable = 64;
constexpr size_t kTwoTables = 2 * kOneTable;
constexpr uint8_t kDynamicQ = 255;

}  // namespace

CJpegRTPMediaParser::CJpegRTPMediaParser(IDriver* driver) : CRTPMediaParser(driver) {}

CJpegRTPMediaParser::~CJpegRTPMediaParser() = default;

void CJpegRTPMediaParser::ResetFrame() {
  waiting_first_fragment_ = true;
  width_ = 0;
  height_ = 0;
  frame_buffer_.clear();
}

void CJpegRTPMediaParser::ParsePacket(const CRTPPacket* packet) {
  if (packet == nullptr) return;
  try {
    if (!CheckSequence(*packet)) ResetFrame();
    if (Depacketize(packet->Payload()) != Result::kAccepted) return;
    if (packet->Marker() && !frame_buffer_.empty()) {
      converter_.Update(packet->Timestamp());
      DeliverFrame();
      frame_buffer_.clear();
      // The next packet must open a new picture; a later fragment on its own cannot be placed.
      waiting_first_fragment_ = true;
    }
  } catch (...) {
    ResetFrame();  // out of memory: drop the picture, start again at the next one
  }
}

CJpegRTPMediaParser::Result CJpegRTPMediaParser::Depacketize(std::span<const uint8_t> payload) {
  if (payload.size() < 4) return Result::kIgnored;
  const auto main = ParseJpegMainHeader(payload);
  if (!main) {
    ResetFrame();
    return Result::kRejected;
  }
  // RFC 2435 3.1.7: a restart marker header follows the main header in every fragment exactly
  // when the type is 64 to 127. (Guessing it from the bytes after the main header misreads any
  // stream with Q below 128, whose scan data starts there, and cuts four bytes of scan data
  // from every later fragment.)
  size_t pos = JpegMainHeader::kSize;
  uint16_t restart_interval = 0;
  if (main->HasRestartHeader()) {
    const auto restart = ParseJpegRestartHeader(payload.subspan(pos));
    if (!restart) {
      ResetFrame();
      return Result::kRejected;
    }
    restart_interval = restart->restart_interval;
    pos += JpegRestartHeader::kSize;
  }
  if (main->fragment_offset == 0) {
    picture_.restart_interval = restart_interval;
    return StartPicture(*main, payload, pos);
  }
  // RFC 2435 3.1.2: the fragment offset is where this packet's data goes in the picture's
  // scan data. Anything but the end of what arrived means a fragment went missing, even when
  // the sequence numbers look continuous (a relay that renumbers): appending would splice
  // pieces of two pictures together, so the picture is dropped and the next one awaited.
  if (waiting_first_fragment_ || main->fragment_offset != frame_buffer_.size()) {
    ResetFrame();
    return Result::kRejected;
  }
  AppendToFrame(payload.data() + pos, payload.size() - pos);
  if (!CheckBufferSize()) {
    ResetFrame();
    return Result::kRejected;
  }
  return Result::kAccepted;
}

CJpegRTPMediaParser::Result CJpegRTPMediaParser::StartPicture(const JpegMainHeader& main,
                                                             std::span<const uint8_t> payload,
                                                             size_t pos) {
  // A first fragment starts a new picture: whatever an unfinished picture left in the buffer
  // would end up inside this one's scan data.
  frame_buffer_.clear();
  waiting_first_fragment_ = true;
  if (main.width8 == 0 || main.height8 == 0) {
    ResetFrame();
    return Result::kRejected;
  }
  picture_.type = main.type;
  picture_.width = static_cast<uint16_t>(main.width8 * 8);
  picture_.height = static_cast<uint16_t>(main.height8 * 8);
  if (main.HasInBandTables()) {
    // RFC 2435 3.1.8: the quantization table header follows in the first fragment only, and
    // its length field gives the table bytes (two 8-bit tables for types 0 and 1).
    const auto quant = ParseJpegQuantHeader(payload.subspan(pos));
    if (!quant) {
      ResetFrame();
      return Result::kRejected;
    }
    pos += JpegQuantHeader::kSize;
    if (quant->length == 0 && main.q != kDynamicQ && cached_q_ == main.q) {
      picture_.luma = cached_luma_;
      picture_.chroma = cached_chroma_;
    } else if ((quant->length == kTwoTables || quant->length == kOneTable) &&
               quant->precision == 0 && payload.size() >= pos + quant->length) {
      // One table serves all three components (FFmpeg sends one when luma and chroma use the
      // same matrix).
      std::memcpy(picture_.luma.data(), payload.data() + pos, kOneTable);
      std::memcpy(picture_.chroma.data(), payload.data() + pos + quant->length - kOneTable,
                  kOneTable);
      pos += quant->length;
      cached_q_ = main.q;
      cached_luma_ = picture_.luma;
      cached_chroma_ = picture_.chroma;
    } else {
      // 16-bit tables do not fit a baseline header; missing tables cannot be made up.
      ResetFrame();
      return Result::kRejected;
    }
  } else {
    MakeJpegTables(main.q, picture_.luma, picture_.chroma);
  }
  header_bytes_ = pos;
  waiting_first_fragment_ = false;
  AppendToFrame(payload.data() + pos, payload.size() - pos);
  if (!CheckBufferSize()) {
    ResetFrame();
    return Result::kRejected;
  }
  return Result::kAccepted;
}

void CJpegRTPMediaParser::DeliverFrame() {
  if (!CanDeliver()) return;
  width_ = picture_.width;
  height_ = picture_.height;
  if (header_bytes_ + frame_buffer_.size() <= kMinPictureBytes) {
    ResetFrame();
    return;
  }
  struct Writer : IFrameWriter {
    const JpegPictureParams& picture;
    const std::vector<uint8_t>& scan;
    Writer(const JpegPictureParams& p, const std::vector<uint8_t>& s) : picture(p), scan(s) {}
    size_t Write(uint8_t* data) override {
      size_t length = WriteJpegHeader(picture, data);
      std::memcpy(data + length, scan.data(), scan.size());
      length += scan.size();
      // A JPEG ends with EOI (ITU T.81 B.2.1); without it the picture is truncated and strict
      // decoders say so. Packetizers differ in whether the last fragment carries it.
      const bool has_eoi = scan.size() >= 2 && scan[scan.size() - 2] == kEoi[0] &&
                           scan[scan.size() - 1] == kEoi[1];
      if (!has_eoi) {
        std::memcpy(data + length, kEoi, sizeof kEoi);
        length += sizeof kEoi;
      }
      return length;
    }
  } writer(picture_, frame_buffer_);
  const size_t capacity = header_bytes_ + frame_buffer_.size() + kHeaderReserve;
  HandOff(ipcapture::kFourCCJpeg, static_cast<uint32_t>(capacity), writer);
}

}  // namespace korvane
