#pragma once

// Recordings in a container (.mkv, .mp4) through libavformat: the driver's frames are stream
// copied, stamped with the capture times the driver set, so that the file plays at the camera's
// own rate and can be seeked. Only tollivar-host links libavformat; the driver never does.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host_objects.h"

struct AVFormatContext;
struct AVPacket;

namespace tollivar_host {

// True for the file names recorded into a container (.mkv, .mp4); the other outputs are the
// raw elementary stream.
bool IsContainerFile(const std::string& path);

// The H.264 sequence and picture parameter sets (NAL unit types 7 and 8) of an Annex B access
// unit, each behind a four-byte start code: the codec configuration that .mkv and .mp4 need in
// their headers. Empty when the access unit has neither.
std::vector<std::uint8_t> H264ParameterSets(std::span<const std::uint8_t> access_unit);

// The MPEG-4 Visual (ISO/IEC 14496-2) configuration of a key frame: the visual object
// sequence and object layer headers before the first VOP start code (00 00 01 B6). Empty when
// the frame starts with the VOP.
std::vector<std::uint8_t> Mpeg4Configuration(std::span<const std::uint8_t> frame);

// Frames per second as a fraction {num, den} from capture times in milliseconds (increasing):
// the mean of the spacings near their median, snapped to a whole rate within 2 %. The rate
// `asked` of the camera when the times agree with it within 10 % or there are fewer than two
// distinct times.
struct Rate {
  int num;
  int den;
};
Rate EstimateFrameRate(std::span<const std::int64_t> times_ms, Rate asked);

// Time stamps of a container stream, in frame intervals of the estimated rate. The driver's
// capture times jitter by tens of milliseconds around the camera's clock (a late frame, then a
// burst): each frame takes the next interval, so the file plays evenly at the camera's rate.
// Only when the capture time runs more than kResyncMs ahead of the stamps (frames lost, the
// camera paused, a rate slightly above the estimate) do the stamps jump to the capture time,
// keeping the gap in the file.
class FrameClock {
 public:
  static constexpr std::int64_t kResyncMs = 250;
  FrameClock(Rate rate, std::int64_t first_ms) : rate_(rate), first_ms_(first_ms) {}
  std::int64_t Next(std::int64_t time_ms);

 private:
  const Rate rate_;
  const std::int64_t first_ms_;
  std::int64_t last_ = -1;
};

// One channel's container file. Frames before the first key frame are skipped (they cannot be
// decoded); the header is written once a few frames show the codec configuration and the rate.
class ContainerWriter final : public FrameOutput {
 public:
  // `asked_fps`: the frame rate asked of the camera (see EstimateFrameRate).
  ContainerWriter(std::string path, unsigned asked_fps);
  ~ContainerWriter() override;
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;

  bool Write(const Frame& frame) override;
  // Writes what is buffered and the container's index. False when the file is not complete;
  // `error()` says why.
  bool Close();

  const std::string& error() const { return error_; }
  std::uint64_t skipped_before_key_frame() const { return skipped_; }
  Rate rate() const { return rate_; }

 private:
  struct Buffered {
    std::vector<std::uint8_t> data;
    std::int64_t time_ms;
    bool key;
  };
  bool Start();
  bool Mux(const Buffered& frame);
  bool WritePending(std::int64_t duration);  // in frame intervals
  bool Fail(const std::string& what, int av_error);

  const std::string path_;
  const unsigned asked_fps_;
  std::uint32_t fourcc_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::vector<Buffered> head_;  // frames held until the header is written
  std::size_t head_bytes_ = 0;
  AVFormatContext* context_ = nullptr;
  AVPacket* pending_ = nullptr;  // the last frame, written when the next gives its duration
  bool started_ = false;
  bool failed_ = false;
  bool closed_ = false;
  std::optional<FrameClock> clock_;
  std::int64_t last_pts_ = -1;  // in frame intervals
  Rate rate_{0, 1};
  std::uint64_t skipped_ = 0;
  std::string error_;
};

}  // namespace tollivar_host
