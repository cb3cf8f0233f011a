#pragma once

// The host side of the driver boundary: every host object the driver calls, implemented the
// way a recording server would, with nothing but the public headers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "library_path.h"
#include "platform.h"
#include "tollivar/tollivar.h"

namespace tollivar_host {

namespace ipc = korvane::ipcapture;

// Prints every log line of the driver to stderr with its level. Lines may come from any driver
// thread; a mutex keeps them whole and away from the progress line.
class MessageSink final : public ipc::IHostMessageSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  MessageSink(int max_level, bool terminal) : max_level_(max_level), terminal_(terminal) {}
  void OnDebugInfo(ipc::CDebugInfoIf* info) override;

  // Number of lines received whose text contains `needle`.
  int CountLinesContaining(const std::string& needle);
  std::mutex& output_mutex() { return mutex_; }

 private:
  const int max_level_;
  const bool terminal_;  // stderr is a terminal: clear the progress line first
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A frame with its own heap buffer. The factory keeps released frames and hands them out again,
// so steady-state recording allocates nothing per frame.
class Frame final : public ipc::IMediaFrame {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  std::uint8_t* GetData() override { return data.data(); }
  void SetDataSize(std::uint32_t size) override { data_size = size; }
  void SetTime(const ipc::SYSTEMTIME* utc) override {
    if (utc != nullptr) time = *utc;
  }
  void SetFourCC(std::uint32_t value) override { fourcc = value; }
  void SetHeight(std::uint32_t value) override { height = value; }
  void SetWidth(std::uint32_t value) override { width = value; }
  void SetSizeClass(std::uint32_t value) override { size_class = value; }

  void Clear();

  std::vector<std::uint8_t> data;
  std::uint32_t data_size = 0;
  ipc::SYSTEMTIME time{};
  std::uint32_t fourcc = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t size_class = 0;
};

class FrameFactory final : public ipc::IFrameFactory {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  ipc::IMediaFrame* CreateFrame(std::uint32_t fourcc, std::uint32_t capacity,
                                const char* driver_name) override;
  void ReleaseFrame(ipc::IMediaFrame* frame) override;

  std::uint64_t created() const { return created_; }
  std::uint64_t outstanding() const { return outstanding_; }

 private:
  static constexpr std::uint32_t kMaxCapacity = 64u << 20;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Frame>> free_;
  std::atomic<std::uint64_t> created_{0};
  std::atomic<std::int64_t> outstanding_{0};
};

// Where a channel's frames go besides the raw stream file: a container, say.
class FrameOutput {
 public:
  virtual ~FrameOutput() = default;
  // Called on the driver's capture thread, one frame at a time; false when writing failed.
  virtual bool Write(const Frame& frame) = 0;
};

// Writes the frames of one channel to a raw stream file (or a FrameOutput) and counts them.
class FrameSink final : public ipc::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  FrameSink(unsigned channel, std::FILE* out) : channel_(channel), out_(out) {}
  // `output` must outlive the sink's channel.
  FrameSink(unsigned channel, FrameOutput* output)
      : channel_(channel), out_(nullptr), output_(output) {}
  bool PutFrame(ipc::IMediaFrame* frame) override;
  void OnSignalLost() override { ++signal_lost_; }

  struct Stats {
    std::uint64_t frames = 0;
    std::uint64_t key_frames = 0;
    std::uint64_t bytes = 0;
    std::uint64_t signal_lost = 0;
    std::uint64_t time_not_increasing = 0;
    std::uint32_t fourcc = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // Frame times (ms since 1970) of the first and the last frame; -1 before the first.
    std::int64_t first_time_ms = -1;
    std::int64_t last_time_ms = -1;
    bool write_failed = false;
  };
  Stats GetStats();
  unsigned channel() const { return channel_; }

 private:
  const unsigned channel_;
  std::FILE* const out_;
  FrameOutput* const output_ = nullptr;
  std::mutex mutex_;
  Stats stats_;
  std::int64_t last_time_ms_ = -1;
  std::atomic<std::uint64_t> signal_lost_{0};
};

// The device description handed to OpenDriver.
class DeviceDescription final : public ipc::IDeviceDescription,
                                public ipc::IDeviceModelInfo,
                                public ipc::IConnectionSettings {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  DeviceDescription() = default;
  // The camera at `address`:`port` (HTTP) with its login.
  DeviceDescription(std::string address_, std::uint32_t port_, std::string user_,
                    std::string password_)
      : address(std::move(address_)), port(port_), user(std::move(user_)),
        password(std::move(password_)) {}

  std::string model = "CNB network camera";
  std::uint32_t channels = 1;
  std::string address = "127.0.0.1";
  std::uint32_t port = 80;
  std::int32_t codec = ipc::kCodecH264;
  std::string user;
  std::string password;
  std::vector<std::string> custom;  // custom parameter 1, 2, ...
  std::uint32_t inputs = 0;         // digital inputs
  std::uint32_t outputs = 0;        // digital outputs

  ipc::IDeviceModelInfo* GetModelInfo() override { return this; }
  ipc::IConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetCustomParameter(std::uint32_t index) override {
    return index >= 1 && index <= custom.size() ? custom[index - 1].c_str() : nullptr;
  }
  const char* GetModelName() override { return model.c_str(); }
  std::uint32_t GetVideoChannelCount() override { return channels; }
  std::uint32_t GetDigitalInputCount() override { return inputs; }
  std::uint32_t GetDigitalOutputCount() override { return outputs; }
  const char* GetAddress() override { return address.c_str(); }
  std::uint32_t GetPort() override { return port; }
  std::int32_t GetCodecType() override { return codec; }
  const char* GetUserName() override { return user.c_str(); }
  const char* GetPassword() override { return password.c_str(); }
};

// The stream wanted from a channel.
class ChannelSettings final : public ipc::IChannelSettings,
                              public ipc::IVideoFormat,
                              public ipc::IResolution,
                              public ipc::IStreamSettings {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  ChannelSettings(std::uint16_t width, std::uint16_t height, std::uint16_t interval_ms,
                  std::uint16_t quality)
      : width_(width), height_(height), interval_ms_(interval_ms), quality_(quality) {}
  ipc::IVideoFormat* GetVideoFormat() override { return this; }
  ipc::IStreamSettings* GetStreamSettings() override { return this; }
  ipc::IResolution* GetResolution() override { return this; }
  std::uint16_t GetWidth() override { return width_; }
  std::uint16_t GetHeight() override { return height_; }
  std::uint16_t GetFrameInterval() override { return interval_ms_; }
  std::uint16_t GetQuality() override { return quality_; }
  std::uint32_t GetCompanionWanted() override { return 0; }

 private:
  const std::uint16_t width_;
  const std::uint16_t height_;
  const std::uint16_t interval_ms_;
  const std::uint16_t quality_;
};

bool IsKeyFrame(std::uint32_t fourcc);
// Milliseconds since 1970 of a UTC calendar time.
std::int64_t ToUnixMillis(const ipc::SYSTEMTIME& t);
std::string FourCCText(std::uint32_t fourcc);

// The driver library and its two driver entry points; unloaded when destroyed.
struct DriverLibrary {
  std::unique_ptr<SharedLibrary> library;
  ipc::IIPCaptureDriverEx4* (*create)() = nullptr;
  void (*destroy)(ipc::IIPCaptureDriver*) = nullptr;
};

// Loads `path` and looks up "CreateIPCaptureEx3" and "DeleteIPCaptureEx3". On failure it says
// why on stderr and returns nothing.
std::optional<DriverLibrary> LoadDriverLibrary(const std::string& path);

// A driver object made by the library's factory, given back to it when this ends. Must end
// before the library.
class OpenedDriver {
 public:
  explicit OpenedDriver(const DriverLibrary& library)
      : destroy_(library.destroy), driver_(library.create()) {}
  ~OpenedDriver() {
    if (driver_ != nullptr) destroy_(driver_);
  }
  OpenedDriver(const OpenedDriver&) = delete;
  OpenedDriver& operator=(const OpenedDriver&) = delete;
  ipc::IIPCaptureDriverEx4* get() const { return driver_; }
  ipc::IIPCaptureDriverEx4* operator->() const { return driver_; }

 private:
  void (*const destroy_)(ipc::IIPCaptureDriver*);
  ipc::IIPCaptureDriverEx4* const driver_;
};

}  // namespace tollivar_host
