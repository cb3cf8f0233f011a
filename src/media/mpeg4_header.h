#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "media/h264_sps.h"

namespace korvane {

// Reads video_object_layer_width and video_object_layer_height from the first video object
// layer header (start codes 00 00 01 20 to 2F, ISO/IEC 14496-2 6.2.3) that stands before the
// first VOP start code of `frame`. Empty result when there is none, it is truncated, its
// shape is not rectangular, a marker bit is 0 or a size is 0.
std::optional<PictureSize> ReadMpeg4VolSize(std::span<const uint8_t> frame);

// The picture-size reader in the calling form the MPEG-4 depacketizer uses: stores the size
// and returns 1, or returns 0 and leaves width and height alone.
int32_t ParseMpegHeader(const uint8_t* frame, uint32_t length, int32_t* width, int32_t* height);

}  // namespace korvane
