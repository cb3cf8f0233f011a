// gst-launch descriptions of the simulator's streams, built from the current encoder settings.
#pragma once

#include <string>

#include "params.h"

namespace camsim {

enum class StreamKind {
  kMain,   // "/" and "/main": the main stream in its current codec
  kSub,    // "/sub": the second stream, MJPEG at the dual resolution and quality
  kMpeg4,  // "/mpeg4": MPEG-4 at the main stream's settings
  kMjpeg,  // "/mjpeg" on 8554 and "/" on 665: MJPEG at the main stream's settings
};

// avenc_mpeg4 (GStreamer 1.22 with libavcodec 59) stamps every output buffer with an
// overflowed time (~2562047 h), which stalls every synchronising sink downstream. The encoder of
// that codec carries this name; the RTSP side copies the input time stamps onto its output.
inline constexpr char kRestampedEncoder[] = "restamp0";

// The H.264 encoder; without in-band parameter sets the RTSP side strips the SPS and PPS that
// it writes before every IDR picture.
inline constexpr char kH264Encoder[] = "h264enc0";

struct StreamShape {
  Codec codec;
  PictureSize size;
  int fps;
  int bitrate;  // Mbit/s
  int quality;  // 1..10
};

StreamShape ShapeOf(StreamKind kind, const VideoConfig& video);

// A bin description for GstRTSPMediaFactory: a moving test pattern, the encoder and "pay0".
// With inband_params H.264 carries SPS/PPS before every IDR picture as well as in the SDP.
std::string LaunchDescription(const StreamShape& shape, bool inband_params);

}  // namespace camsim
