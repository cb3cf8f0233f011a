#include "media/mpeg4_header.h"

#include "media/bit_reader.h"

namespace korvane {
namespace {

constexpr uint8_t kVolStartFirst = 0x20;
constexpr uint8_t kVolStartLast = 0x2F;
constexpr uint8_t kVopStart = 0xB6;

constexpr uint32_t kShapeRectangular = 0;
constexpr uint32_t kShapeGrayscale = 3;
constexpr uint32_t kAspectExtendedPar = 0xF;

// video_object_layer() of ISO/IEC 14496-2 6.2.3 up to the picture size; `reader` stands after
// the 32-bit start code.
std::optional<PictureSize> ReadVol(CBitReader& reader) {
  bool markers_ok = true;
  auto marker = [&] { markers_ok = (reader.ReadBit() == 1) && markers_ok; };

  reader.SkipBits(1);  // random_accessible_vol
  reader.SkipBits(8);  // video_object_type_indication
  uint32_t verid = 1;
  if (reader.ReadBit()) {  // is_object_layer_identifier
    verid = reader.ReadBits(4);  // video_object_layer_verid
    reader.SkipBits(3);          // video_object_layer_priority
  }
  if (reader.ReadBits(4) == kAspectExtendedPar) {  // aspect_ratio_info
    reader.SkipBits(8);  // par_width
    reader.SkipBits(8);  // par_height
  }
  if (reader.ReadBit()) {  // vol_control_parameters
    reader.SkipBits(2);    // chroma_format
    reader.SkipBits(1);    // low_delay
    if (reader.ReadBit()) {  // vbv_parameters
      reader.SkipBits(15);  // first_half_bit_rate
      marker();
      reader.SkipBits(15);  // latter_half_bit_rate
      marker();
      reader.SkipBits(15);  // first_half_vbv_buffer_size
      marker();
      reader.SkipBits(3);   // latter_half_vbv_buffer_size
      reader.SkipBits(11);  // first_half_vbv_occupancy
      marker();
      reader.SkipBits(15);  // latter_half_vbv_occupancy
      marker();
    }
  }
  const uint32_t shape = reader.ReadBits(2);  // video_object_layer_shape
  if (shape == kShapeGrayscale && verid != 1) reader.SkipBits(4);  // shape extension
  marker();
  const uint32_t time_increment_resolution = reader.ReadBits(16);
  marker();
  if (reader.ReadBit()) {  // fixed_vop_rate
    // fixed_vop_time_increment takes as many bits as needed for resolution - 1, at least 1.
    int bits = 1;
    while (bits < 16 && (1u << bits) < time_increment_resolution) ++bits;
    reader.SkipBits(bits);
  }
  if (shape != kShapeRectangular) return std::nullopt;  // no size in the header
  marker();
  const uint32_t width = reader.ReadBits(13);  // video_object_layer_width
  marker();
  const uint32_t height = reader.ReadBits(13);  // video_object_layer_height
  marker();
  if (reader.Overrun() || !markers_ok || time_increment_resolution == 0 || width == 0 ||
      height == 0) {
    return std::nullopt;
  }
  return PictureSize{width, height};
}

}  // namespace

std::optional<PictureSize> ReadMpeg4VolSize(std::span<const uint8_t> frame) {
  for (size_t i = 0; i + 3 < frame.size(); ++i) {
    if (frame[i] != 0 || frame[i + 1] != 0 || frame[i + 2] != 1) continue;
    const uint8_t code = frame[i + 3];
    if (code == kVopStart) return std::nullopt;  // the picture began without a header
    if (code >= kVolStartFirst && code <= kVolStartLast) {
      CBitReader reader(frame.subspan(i + 4));
      return ReadVol(reader);
    }
  }
  return std::nullopt;
}

int32_t ParseMpegHeader(const uint8_t* frame, uint32_t length, int32_t* width,
                        int32_t* height) {
  if (frame == nullptr || width == nullptr || height == nullptr) return 0;
  const auto size = ReadMpeg4VolSize({frame, length});
  if (!size) return 0;
  *width = static_cast<int32_t>(size->width);
  *height = static_cast<int32_t>(size->height);
  return 1;
}

}  // namespace korvane
