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

// The appsrc of a clip stream; the RTSP side feeds it the clip's access units in real time.
inline constexpr char kClipSource[] = "clipsrc0";

// How the camera carries codec configuration, as real cameras differ.
struct StreamQuirks {
  bool inband_params = false;  // H.264: SPS/PPS before every IDR picture too
  bool no_sprop = false;       // H.264: SPS/PPS in band only, none in the SDP (implies in band)
  bool mpeg4_inband_config = true;  // MPEG-4: VOS/VOL repeated in the stream, not only in the SDP
};

// Whether H.264 parameter sets travel in the stream for these quirks.
inline bool H264InBand(const StreamQuirks& q) { return q.inband_params || q.no_sprop; }

// A bin description for GstRTSPMediaFactory: a moving test pattern, the encoder and "pay0".
std::string LaunchDescription(const StreamShape& shape, const StreamQuirks& quirks);

// A bin description that payloads a pre-encoded H.264 clip pushed into an appsrc named
// kClipSource (access units in "avc" form).
std::string ClipLaunchDescription(const StreamQuirks& quirks);

// The gst-launch description that encodes `seconds` of the test pattern into H.264 access
// units for an appsink named "clipsink"; the first picture is an IDR picture and the count of
// pictures a whole number of key-frame intervals, so that the clip loops from key frame to key
// frame.
std::string ClipEncoderDescription(const StreamShape& shape, int seconds);

// The same for an Annex B H.264 file.
std::string ClipFileDescription(const std::string& path);

}  // namespace camsim
