#include "host_objects.h"


#include <cstring>

namespace tollivar_host {

// Days-from-civil over the proleptic Gregorian calendar.
std::int64_t ToUnixMillis(const ipc::SYSTEMTIME& t) {
  std::int64_t y = t.wYear;
  const unsigned m = t.wMonth;
  const unsigned d = t.wDay;
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + t.wSecond * 1000 +
         t.wMilliseconds;
}

bool IsKeyFrame(std::uint32_t fourcc) {
  return fourcc == ipc::kFourCCH264 || fourcc == ipc::kFourCCDivx ||
         fourcc == ipc::kFourCCJpeg;
}

std::string FourCCText(std::uint32_t fourcc) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((fourcc >> (8 * i)) & 0xff);
    text += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text;
}

void MessageSink::OnDebugInfo(ipc::CDebugInfoIf* info) {
  if (info == nullptr) return;
  const int level = info->GetLevel();
  const char* text = info->GetText();
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.emplace_back(text != nullptr ? text : "");
  if (level <= max_level_) {
    static const char* const kNames[] = {"?", "error", "warning", "info", "debug"};
    const char* name = level >= 1 && level <= 4 ? kNames[level] : kNames[0];
    std::fprintf(stderr, "%s[%s] %s\n", terminal_ ? "\r\033[K" : "", name,
                 text != nullptr ? text : "");
  }
}

int MessageSink::CountLinesContaining(const std::string& needle) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const auto& line : lines_) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

void Frame::Clear() {
  data_size = 0;
  time = {};
  fourcc = width = height = size_class = 0;
}

ipc::IMediaFrame* FrameFactory::CreateFrame(std::uint32_t fourcc, std::uint32_t capacity,
                                            const char* /*driver_name*/) {
  if (capacity > kMaxCapacity) return nullptr;
  std::unique_ptr<Frame> frame;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!free_.empty()) {
      frame = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!frame) {
    frame = std::make_unique<Frame>();
    ++created_;
  }
  frame->Clear();
  frame->fourcc = fourcc;
  if (frame->data.size() < capacity) frame->data.resize(capacity);
  ++outstanding_;
  return frame.release();
}

void FrameFactory::ReleaseFrame(ipc::IMediaFrame* frame) {
  if (frame == nullptr) return;
  --outstanding_;
  std::unique_ptr<Frame> owned(static_cast<Frame*>(frame));
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.size() < 64) free_.push_back(std::move(owned));
}

bool FrameSink::PutFrame(ipc::IMediaFrame* frame) {
  auto* f = static_cast<Frame*>(frame);
  if (f == nullptr || f->data_size > f->data.size()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (out_ != nullptr && f->data_size > 0 &&
      std::fwrite(f->data.data(), 1, f->data_size, out_) != f->data_size) {
    stats_.write_failed = true;
  }
  if (output_ != nullptr && !stats_.write_failed && !output_->Write(*f)) {
    stats_.write_failed = true;
  }
  ++stats_.frames;
  if (IsKeyFrame(f->fourcc)) ++stats_.key_frames;
  stats_.bytes += f->data_size;
  stats_.fourcc = f->fourcc;
  stats_.width = f->width;
  stats_.height = f->height;
  const std::int64_t ms = ToUnixMillis(f->time);
  if (last_time_ms_ >= 0 && ms <= last_time_ms_) ++stats_.time_not_increasing;
  last_time_ms_ = ms;
  if (stats_.first_time_ms < 0) stats_.first_time_ms = ms;
  stats_.last_time_ms = ms;
  return true;
}

FrameSink::Stats FrameSink::GetStats() {
  std::lock_guard<std::mutex> lock(mutex_);
  Stats s = stats_;
  s.signal_lost = signal_lost_;
  return s;
}

std::optional<DriverLibrary> LoadDriverLibrary(const std::string& path) {
  std::string error;
  DriverLibrary loaded;
  loaded.library = SharedLibrary::Open(path, &error);
  if (!loaded.library) {
    std::fprintf(stderr, "tollivar-host: cannot load %s: %s\n", path.c_str(), error.c_str());
    return std::nullopt;
  }
  loaded.create = reinterpret_cast<ipc::IIPCaptureDriverEx4* (*)()>(
      loaded.library->Symbol("CreateIPCaptureEx3"));
  loaded.destroy = reinterpret_cast<void (*)(ipc::IIPCaptureDriver*)>(
      loaded.library->Symbol("DeleteIPCaptureEx3"));
  if (loaded.create == nullptr || loaded.destroy == nullptr) {
    std::fprintf(stderr, "tollivar-host: %s lacks the driver entry points\n", path.c_str());
    return std::nullopt;
  }
  return loaded;
}

}  // namespace tollivar_host
