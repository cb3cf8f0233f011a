#pragma once

// A recording host for integration tests: loads libtollivar with dlopen and drives it through
// the exported entry points and the public headers only, with the reference host's objects.

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_objects.h"
#include "tollivar/tollivar.h"

namespace korvane::testing {

namespace ipc = korvane::ipcapture;

// The loaded library; loaded once per process and never unloaded.
class DriverLibrary {
 public:
  using CreateFn = ipc::IIPCaptureDriverEx4* (*)();
  using DeleteFn = void (*)(ipc::IIPCaptureDriver*);

  static DriverLibrary& Get() {
    static DriverLibrary library;
    return library;
  }
  bool Loaded() const { return create != nullptr && destroy != nullptr; }
  std::string error;
  CreateFn create = nullptr;
  DeleteFn destroy = nullptr;

 private:
  DriverLibrary() {
    void* handle = dlopen(TOLLIVAR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      error = dlerror();
      return;
    }
    create = reinterpret_cast<CreateFn>(dlsym(handle, "CreateIPCapture"));
    destroy = reinterpret_cast<DeleteFn>(dlsym(handle, "DeleteIPCapture"));
  }
};

inline std::string ExecutableFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "./";
  buf[n] = '\0';
  const std::string path(buf);
  return path.substr(0, path.rfind('/') + 1);
}

inline int CountThreads() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The driver configuration file beside the test program, for the transport of a test; removed
// again when the object goes.
class TransportConfig {
 public:
  explicit TransportConfig(const std::string& mode_text) : path_(ExecutableFolder() + "Tollivar.xml") {
    if (mode_text.empty()) {
      std::filesystem::remove(path_);
      return;
    }
    std::ofstream out(path_);
    out << "<?xml version=\"1.0\"?>\n<Configuration><Device><VideoChannel><RTPMode>" << mode_text
        << "</RTPMode></VideoChannel></Device></Configuration>\n";
  }
  ~TransportConfig() { std::filesystem::remove(path_); }
  TransportConfig(const TransportConfig&) = delete;
  TransportConfig& operator=(const TransportConfig&) = delete;

 private:
  std::string path_;
};

// One opened driver with its host objects and a frame file per channel.
class DriverSession {
 public:
  struct Options {
    std::int32_t codec = ipc::kCodecH264;
    std::uint32_t channels = 1;
    std::string address = "127.0.0.1";
    std::uint16_t http_port = 0;
    std::int32_t rtsp_port = -1;
    std::int32_t stream_mode = -1;
    std::string user;
    std::string password;
    std::uint16_t width = 640;
    std::uint16_t height = 480;
    std::uint16_t interval_ms = 40;
    std::uint16_t quality = 50;
  };

  explicit DriverSession(const Options& o)
      : options_(o),
        messages_(3, false),
        settings_(o.width, o.height, o.interval_ms, o.quality) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tollivar-rec-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
    device_.address = o.address;
    device_.port = o.http_port;
    device_.codec = o.codec;
    device_.channels = o.channels;
    device_.user = o.user;
    device_.password = o.password;
    device_.custom = {"(none)", "(none)",
                      o.rtsp_port >= 0 ? std::to_string(o.rtsp_port) : "(none)",
                      o.stream_mode >= 0 ? std::to_string(o.stream_mode) : "(none)", "test"};
    for (std::uint32_t c = 0; c < o.channels; ++c) {
      files_.push_back(std::fopen(FramePath(c).c_str(), "wb"));
      sinks_.push_back(std::make_unique<tollivar_host::FrameSink>(c, files_.back()));
    }
    auto& library = DriverLibrary::Get();
    if (library.Loaded()) driver_ = library.create();
    opened_ = driver_ != nullptr && driver_->OpenDriver(&messages_, &factory_, &device_);
  }

  ~DriverSession() {
    Close();
    for (std::FILE* f : files_) {
      if (f != nullptr) std::fclose(f);
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }

  bool Opened() const { return opened_; }
  ipc::IIPVideoCapture* Capture() { return driver_ != nullptr ? driver_->GetVideoCapture() : nullptr; }

  bool Start(std::uint32_t channel) {
    return opened_ && Capture()->StartChannel(channel, sinks_[channel].get(), &settings_);
  }
  bool Stop(std::uint32_t channel) { return opened_ && Capture()->StopChannel(channel); }
  std::int32_t State(std::uint32_t channel) {
    std::int32_t state = -1;
    std::uint32_t code = 7;
    char text[16] = "x";
    if (!Capture()->GetChannelState(channel, &state, &code, text, sizeof(text))) return -1;
    return state;
  }
  // Deletes the driver (stops every channel) and flushes the frame files.
  void Close() {
    if (driver_ != nullptr) {
      DriverLibrary::Get().destroy(driver_);
      driver_ = nullptr;
    }
    for (std::FILE* f : files_) {
      if (f != nullptr) std::fflush(f);
    }
  }

  tollivar_host::FrameSink::Stats Stats(std::uint32_t channel) {
    return sinks_[channel]->GetStats();
  }
  int LinesContaining(const std::string& text) { return messages_.CountLinesContaining(text); }
  std::string FramePath(std::uint32_t channel) const {
    return folder_ + "/channel" + std::to_string(channel) + ".bin";
  }
  std::uint64_t FramesOutstanding() const { return factory_.outstanding(); }

 private:
  Options options_;
  tollivar_host::MessageSink messages_;
  tollivar_host::FrameFactory factory_;
  tollivar_host::DeviceDescription device_;
  tollivar_host::ChannelSettings settings_;
  std::string folder_;
  std::vector<std::FILE*> files_;
  std::vector<std::unique_ptr<tollivar_host::FrameSink>> sinks_;
  ipc::IIPCaptureDriverEx4* driver_ = nullptr;
  bool opened_ = false;
};

// Output of a command line (stdout and stderr).
inline std::string RunCommand(const std::string& command) {
  std::string output;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return output;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) output.append(buf, n);
  pclose(pipe);
  return output;
}

}  // namespace korvane::testing
