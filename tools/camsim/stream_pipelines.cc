#include "stream_pipelines.h"

#include <algorithm>
#include <string>

namespace camsim {

StreamShape ShapeOf(StreamKind kind, const VideoConfig& v) {
  switch (kind) {
    case StreamKind::kMain: return {v.codec, v.size, v.fps, v.bitrate, v.quality};
    case StreamKind::kSub: return {Codec::kMjpeg, v.dual_size, v.fps, v.bitrate, v.dual_quality};
    case StreamKind::kMpeg4: return {Codec::kMpeg4, v.size, v.fps, v.bitrate, v.quality};
    case StreamKind::kMjpeg: return {Codec::kMjpeg, v.size, v.fps, v.bitrate, v.quality};
  }
  return {v.codec, v.size, v.fps, v.bitrate, v.quality};
}

std::string LaunchDescription(const StreamShape& s, const StreamQuirks& quirks) {
  const std::string fps = std::to_string(s.fps);
  // The pattern scrolls so that consecutive pictures differ; the encoders below need I420.
  std::string d = "( videotestsrc is-live=true pattern=smpte horizontal-speed=4 ! "
                  "video/x-raw,format=I420,width=" + std::to_string(s.size.width) +
                  ",height=" + std::to_string(s.size.height) + ",framerate=" + fps + "/1 ! ";
  switch (s.codec) {
    case Codec::kH264:
      // The SPS/PPS reach the SDP through the payloader's sprop-parameter-sets (RFC 6184
      // section 8.1); config-interval=-1 adds them in-band before every IDR picture on request.
      d += std::string("x264enc name=") + kH264Encoder + " tune=zerolatency speed-preset=ultrafast bitrate=" +
           std::to_string(s.bitrate * 1000) + " key-int-max=" + std::to_string(s.fps * 2) +
           " ! video/x-h264,stream-format=avc,alignment=au ! rtph264pay name=pay0 pt=96 "
           "config-interval=" + (H264InBand(quirks) ? "-1" : "0");
      break;
    case Codec::kMjpeg:
      d += "jpegenc quality=" + std::to_string(s.quality * 10) + " ! rtpjpegpay name=pay0 pt=26";
      break;
    case Codec::kMpeg4:
      // config-interval repeats the VOL header so that a receiver that joins late can decode;
      // with 0 the payloader strips the headers from the stream, leaving them to the SDP.
      // The encoder is named so that the RTSP side can restore its output time stamps.
      d += std::string("avenc_mpeg4 name=") + kRestampedEncoder + " bitrate=" + std::to_string(s.bitrate * 1000000) +
           " gop-size=" + std::to_string(s.fps * 2) +
           " ! rtpmp4vpay name=pay0 pt=96 config-interval=" +
           (quirks.mpeg4_inband_config ? "1" : "0");
      break;
  }
  d += " )";
  return d;
}

std::string ClipLaunchDescription(const StreamQuirks& quirks) {
  return std::string("( appsrc name=") + kClipSource +
         " is-live=true format=time do-timestamp=true ! rtph264pay name=pay0 pt=96 "
         "config-interval=" + (H264InBand(quirks) ? "-1" : "0") + " )";
}

std::string ClipEncoderDescription(const StreamShape& s, int seconds) {
  const int key_interval = s.fps * 2;
  const int intervals = std::max(1, (s.fps * seconds + key_interval - 1) / key_interval);
  // The scrolling pattern makes every picture differ from the last, as in the live streams.
  return "videotestsrc pattern=smpte horizontal-speed=4 num-buffers=" +
         std::to_string(intervals * key_interval) +
         " ! video/x-raw,format=I420,width=" + std::to_string(s.size.width) +
         ",height=" + std::to_string(s.size.height) + ",framerate=" + std::to_string(s.fps) +
         "/1 ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=" +
         std::to_string(s.bitrate * 1000) + " key-int-max=" + std::to_string(key_interval) +
         " ! video/x-h264,stream-format=avc,alignment=au ! appsink name=clipsink sync=false";
}

std::string ClipFileDescription(const std::string& path) {
  // gst_parse quoting: the path goes in double quotes with backslash escapes.
  std::string quoted;
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return "filesrc location=\"" + quoted +
         "\" ! h264parse ! video/x-h264,stream-format=avc,alignment=au ! appsink name=clipsink "
         "sync=false";
}

}  // namespace camsim
