#pragma once

// An IDriver for tests of the objects the driver serves (channels, I/O, PTZ, parsers): it keeps
// every log line, including level 4, and answers the device data from its public fields.

#include <condition_variable>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "core/custom_parameter.h"
#include "core/idriver.h"

namespace korvane::testing {

class FakeDriver : public IDriver {
 public:
  struct Line {
    int level;
    std::string text;
    bool operator==(const Line&) const = default;
  };

  DEVICE_INFO device;
  std::uint32_t channel_count = 1;
  std::uint32_t inputs = 0;
  std::uint32_t outputs = 0;
  std::int32_t codec = 3;
  bool option_flag = false;
  ipcapture::IFrameFactory* frame_factory = nullptr;
  std::map<std::int32_t, std::string> custom;

  void DebugMessage(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args).value_or(std::string());
    va_end(args);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(Line{level, std::move(text)});
    }
    changed_.notify_all();
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

  // Forgets the lines logged so far (a harness reused from one fuzz input to the next).
  void ClearLines() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }

  // Waits up to `timeout` until at least `count` lines were logged.
  bool WaitForLines(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
  }

  std::string GetDriverName() override { return "Tollivar"; }
  const DEVICE_INFO* GetDeviceInfo() override { return &device; }
  std::pair<std::uint32_t, std::uint32_t> GetIOCounts() override { return {inputs, outputs}; }
  ipcapture::IFrameFactory* GetHostContext() override { return frame_factory; }
  bool GetOptionFlag() override { return option_flag; }
  std::int32_t GetCodecType() override { return codec; }
  std::uint32_t GetChannelCount() override { return channel_count; }
  std::string GetAddressAndPort() override {
    return device.address + ":" + std::to_string(device.port);
  }
  std::string GetCustomParameter(std::int32_t key) override {
    auto it = custom.find(key);
    return it == custom.end() ? std::string() : CustomParameterText(it->second);
  }
  std::int32_t GetCustomParameterInt(std::int32_t key) override {
    auto it = custom.find(key);
    return it == custom.end() ? kCustomParameterAbsent : ParseCustomParameterInt(it->second);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Line> lines_;
};

}  // namespace korvane::testing
