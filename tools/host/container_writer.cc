#include "container_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace tollivar_host {

namespace {

constexpr std::size_t kHeadFrames = 50;            // frames that decide the rate
constexpr std::int64_t kHeadSpanMs = 2000;         // or this much capture time
constexpr std::size_t kHeadMaxBytes = 64u << 20;   // or this much data

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i]) {
      return false;
    }
  }
  return true;
}

// Offsets of the NAL units of an Annex B stream (the byte after each 00 00 01 start code).
std::vector<std::size_t> NalUnitStarts(std::span<const std::uint8_t> data) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 3 <= data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 2;
    }
  }
  return starts;
}

AVCodecID CodecOf(std::uint32_t fourcc) {
  if (fourcc == ipc::kFourCCH264 || fourcc == ipc::kFourCCI264) return AV_CODEC_ID_H264;
  if (fourcc == ipc::kFourCCDivx || fourcc == ipc::kFourCCDivi) return AV_CODEC_ID_MPEG4;
  if (fourcc == ipc::kFourCCJpeg) return AV_CODEC_ID_MJPEG;
  return AV_CODEC_ID_NONE;
}

std::string AvErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof(text));
  return text;
}

}  // namespace

bool IsContainerFile(const std::string& path) {
  return EndsWith(path, ".mkv") || EndsWith(path, ".mp4");
}

std::vector<std::uint8_t> H264ParameterSets(std::span<const std::uint8_t> access_unit) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  std::vector<std::uint8_t> sets;
  const std::vector<std::size_t> starts = NalUnitStarts(access_unit);
  for (std::size_t n = 0; n < starts.size(); ++n) {
    const std::size_t begin = starts[n];
    if (begin >= access_unit.size()) break;
    // The unit ends where the next start code (with the zero byte of a four-byte one) begins.
    std::size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : access_unit.size();
    while (end > begin && access_unit[end - 1] == 0) --end;
    const unsigned type = access_unit[begin] & 0x1f;  // nal_unit_type, RFC 6184 section 1.3
    if (type == 7 || type == 8) {
      sets.insert(sets.end(), std::begin(kStartCode), std::end(kStartCode));
      sets.insert(sets.end(), access_unit.begin() + static_cast<std::ptrdiff_t>(begin),
                  access_unit.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  return sets;
}

std::vector<std::uint8_t> Mpeg4Configuration(std::span<const std::uint8_t> frame) {
  for (const std::size_t start : NalUnitStarts(frame)) {
    if (start < frame.size() && frame[start] == 0xB6) {  // vop_start_code
      return std::vector<std::uint8_t>(frame.begin(),
                                       frame.begin() + static_cast<std::ptrdiff_t>(start - 3));
    }
  }
  return {};
}

Rate EstimateFrameRate(std::span<const std::int64_t> times_ms, Rate asked) {
  std::vector<std::int64_t> spacing;
  for (std::size_t i = 1; i < times_ms.size(); ++i) {
    if (times_ms[i] > times_ms[i - 1]) spacing.push_back(times_ms[i] - times_ms[i - 1]);
  }
  if (spacing.empty()) return asked;
  // The frame times are arrival times: a late frame and the burst after it, or the burst of a
  // stream that has just started, give spacings far from the camera's interval. Average the
  // spacings within 25 % of the median.
  std::sort(spacing.begin(), spacing.end());
  const double median = static_cast<double>(spacing[spacing.size() / 2]);
  double sum = 0;
  int count = 0;
  for (const std::int64_t d : spacing) {
    if (std::fabs(static_cast<double>(d) - median) <= 0.25 * median) {
      sum += static_cast<double>(d);
      ++count;
    }
  }
  const double spacing_ms = sum / count;  // the median itself always counts
  const double fps = 1000.0 / spacing_ms;
  const double asked_fps = static_cast<double>(asked.num) / asked.den;
  if (std::fabs(fps - asked_fps) <= 0.1 * asked_fps) return asked;
  const double whole = std::round(fps);
  // Millisecond times of a 30 fps camera are 33 and 34 ms apart: snap to the whole rate.
  if (whole >= 1 && std::fabs(fps - whole) <= 0.02 * whole) return {static_cast<int>(whole), 1};
  return {1000, static_cast<int>(std::lround(spacing_ms))};
}

std::int64_t FrameClock::Next(std::int64_t time_ms) {
  const double elapsed_ms = static_cast<double>(time_ms - first_ms_);
  const double interval_ms = 1000.0 * rate_.den / rate_.num;
  const std::int64_t next = last_ + 1;
  if (elapsed_ms - static_cast<double>(next) * interval_ms > kResyncMs) {
    last_ = std::llround(elapsed_ms / interval_ms);
  } else {
    last_ = next;
  }
  return last_;
}

ContainerWriter::ContainerWriter(std::string path, unsigned asked_fps)
    : path_(std::move(path)), asked_fps_(asked_fps == 0 ? 25 : asked_fps) {}

ContainerWriter::~ContainerWriter() {
  Close();
  av_packet_free(&pending_);
  if (context_ != nullptr) {
    if (context_->pb != nullptr) avio_closep(&context_->pb);
    avformat_free_context(context_);
  }
}

bool ContainerWriter::Fail(const std::string& what, int av_error) {
  failed_ = true;
  error_ = what + (av_error != 0 ? ": " + AvErrorText(av_error) : std::string());
  return false;
}

bool ContainerWriter::Write(const Frame& frame) {
  if (failed_ || closed_) return !failed_;
  if (frame.data_size == 0 || frame.data_size > frame.data.size()) return true;
  const bool key = IsKeyFrame(frame.fourcc);
  if (fourcc_ == 0) {
    // A decoder can start only at a key frame.
    if (!key || CodecOf(frame.fourcc) == AV_CODEC_ID_NONE) {
      ++skipped_;
      return true;
    }
    fourcc_ = frame.fourcc;
    width_ = frame.width;
    height_ = frame.height;
  }
  Buffered buffered{std::vector<std::uint8_t>(frame.data.begin(),
                                              frame.data.begin() + frame.data_size),
                    ToUnixMillis(frame.time), key};
  if (started_) return Mux(buffered);

  head_bytes_ += buffered.data.size();
  head_.push_back(std::move(buffered));
  const bool enough = head_.size() >= kHeadFrames ||
                      head_.back().time_ms - head_.front().time_ms >= kHeadSpanMs ||
                      head_bytes_ >= kHeadMaxBytes;
  return !enough || Start();
}

bool ContainerWriter::Start() {
  started_ = true;
  std::vector<std::int64_t> times;
  for (const Buffered& b : head_) times.push_back(b.time_ms);
  rate_ = EstimateFrameRate(times, Rate{static_cast<int>(asked_fps_), 1});

  const AVCodecID codec = CodecOf(fourcc_);
  const std::span<const std::uint8_t> key_frame(head_.front().data);
  std::vector<std::uint8_t> extradata;
  if (codec == AV_CODEC_ID_H264) {
    extradata = H264ParameterSets(key_frame);
    if (extradata.empty()) {
      return Fail("the first key frame carries no H.264 SPS/PPS; record to .h264 instead", 0);
    }
  } else if (codec == AV_CODEC_ID_MPEG4) {
    extradata = Mpeg4Configuration(key_frame);
  }

  int error = avformat_alloc_output_context2(&context_, nullptr, nullptr, path_.c_str());
  if (error < 0 || context_ == nullptr) return Fail("no muxer for " + path_, error);
  AVStream* stream = avformat_new_stream(context_, nullptr);
  if (stream == nullptr) return Fail("cannot add a stream", AVERROR(ENOMEM));
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = codec;
  par->width = static_cast<int>(width_);
  par->height = static_cast<int>(height_);
  if (!extradata.empty()) {
    par->extradata =
        static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return Fail("out of memory", AVERROR(ENOMEM));
    std::memcpy(par->extradata, extradata.data(), extradata.size());
    par->extradata_size = static_cast<int>(extradata.size());
  }
  // One tick per frame interval (see Mux).
  stream->time_base = AVRational{rate_.den, rate_.num};
  stream->avg_frame_rate = AVRational{rate_.num, rate_.den};
  error = avio_open(&context_->pb, path_.c_str(), AVIO_FLAG_WRITE);
  if (error < 0) return Fail("cannot create " + path_, error);
  error = avformat_write_header(context_, nullptr);
  if (error < 0) return Fail("cannot write the header of " + path_, error);

  clock_.emplace(rate_, head_.front().time_ms);
  std::vector<Buffered> head = std::move(head_);
  head_.clear();
  for (const Buffered& b : head) {
    if (!Mux(b)) return false;
  }
  return true;
}

bool ContainerWriter::Mux(const Buffered& frame) {
  const std::int64_t pts = clock_->Next(frame.time_ms);
  if (pending_ != nullptr && !WritePending(pts - last_pts_)) return false;
  pending_ = av_packet_alloc();
  if (pending_ == nullptr || av_new_packet(pending_, static_cast<int>(frame.data.size())) < 0) {
    return Fail("out of memory", AVERROR(ENOMEM));
  }
  std::memcpy(pending_->data, frame.data.data(), frame.data.size());
  pending_->pts = pending_->dts = pts;
  pending_->flags = frame.key ? AV_PKT_FLAG_KEY : 0;
  pending_->stream_index = 0;
  last_pts_ = pts;
  return true;
}

bool ContainerWriter::WritePending(std::int64_t duration) {
  AVStream* stream = context_->streams[0];
  pending_->duration = duration;
  av_packet_rescale_ts(pending_, AVRational{rate_.den, rate_.num}, stream->time_base);
  const int error = av_interleaved_write_frame(context_, pending_);
  av_packet_free(&pending_);
  if (error < 0) return Fail("cannot write to " + path_, error);
  return true;
}

bool ContainerWriter::Close() {
  if (closed_) return !failed_;
  closed_ = true;
  if (failed_) return false;
  if (!started_) {
    if (head_.empty()) return Fail("no key frame arrived: " + path_ + " was not written", 0);
    if (!Start()) return false;
  }
  // The last frame lasts one frame interval.
  if (pending_ != nullptr && !WritePending(1)) return false;
  int error = av_write_trailer(context_);
  if (error < 0) return Fail("cannot finish " + path_, error);
  error = avio_closep(&context_->pb);
  if (error < 0) return Fail("cannot close " + path_, error);
  return true;
}

}  // namespace tollivar_host
