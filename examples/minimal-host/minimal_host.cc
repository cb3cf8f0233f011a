// minimal-host: the smallest recording host of libtollivar. It opens one camera, records its
// first video channel for N seconds, counts the frames and prints the driver's log lines.
//
//   minimal-host ADDRESS HTTP_PORT RTSP_PORT USER PASSWORD SECONDS
//
// It uses only the public headers and links the library (Tollivar::tollivar or pkg-config).
#include <tollivar/tollivar.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ipc = korvane::ipcapture;

// Log lines arrive on any driver thread; the text is valid only during the call.
struct LogSink : ipc::IHostMessageSink {
  std::mutex mutex;
  void OnDebugInfo(ipc::CDebugInfoIf* info) override {
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "[level %u] %s\n", info->GetLevel(),
                 info->GetText() != nullptr ? info->GetText() : "");
  }
};

// A frame owns its buffer. The driver takes one from the factory, fills it, hands it to the
// sink and gives it back with ReleaseFrame, all on its capture thread.
struct Frame : ipc::IMediaFrame {
  std::vector<std::uint8_t> data;
  std::uint32_t size = 0;
  std::uint8_t* GetData() override { return data.data(); }
  void SetDataSize(std::uint32_t s) override { size = s; }
  void SetTime(const ipc::SYSTEMTIME*) override {}
  void SetFourCC(std::uint32_t) override {}
  void SetHeight(std::uint32_t) override {}
  void SetWidth(std::uint32_t) override {}
  void SetSizeClass(std::uint32_t) override {}
};

struct Factory : ipc::IFrameFactory {
  ipc::IMediaFrame* CreateFrame(std::uint32_t, std::uint32_t capacity, const char*) override {
    auto* frame = new Frame;
    frame->data.resize(capacity);
    return frame;
  }
  void ReleaseFrame(ipc::IMediaFrame* frame) override { delete static_cast<Frame*>(frame); }
};

struct Sink : ipc::IFrameSink {
  std::atomic<unsigned long> frames{0}, bytes{0};
  bool PutFrame(ipc::IMediaFrame* frame) override {
    ++frames;
    bytes += static_cast<Frame*>(frame)->size;
    return true;
  }
  void OnSignalLost() override { std::fputs("signal lost\n", stderr); }
};

// The camera: one channel, H.264; custom parameter 3 is the RTSP port.
struct Device : ipc::IDeviceDescription, ipc::IDeviceModelInfo, ipc::IConnectionSettings {
  std::string address, user, password, rtsp_port;
  std::uint32_t port = 80;
  ipc::IDeviceModelInfo* GetModelInfo() override { return this; }
  ipc::IConnectionSettings* GetConnectionSettings() override { return this; }
  const char* GetCustomParameter(std::uint32_t index) override {
    if (index == 1 || index == 2) return "(none)";
    return index == 3 ? rtsp_port.c_str() : nullptr;
  }
  const char* GetModelName() override { return "CNB network camera"; }
  std::uint32_t GetVideoChannelCount() override { return 1; }
  std::uint32_t GetDigitalInputCount() override { return 0; }
  std::uint32_t GetDigitalOutputCount() override { return 0; }
  const char* GetAddress() override { return address.c_str(); }
  std::uint32_t GetPort() override { return port; }
  std::int32_t GetCodecType() override { return ipc::kCodecH264; }
  const char* GetUserName() override { return user.c_str(); }
  const char* GetPassword() override { return password.c_str(); }
};

// 1280x720 at 25 frames per second (40 ms), quality 50 %.
struct Settings : ipc::IChannelSettings, ipc::IVideoFormat, ipc::IResolution,
                  ipc::IStreamSettings {
  ipc::IVideoFormat* GetVideoFormat() override { return this; }
  ipc::IStreamSettings* GetStreamSettings() override { return this; }
  ipc::IResolution* GetResolution() override { return this; }
  std::uint16_t GetWidth() override { return 1280; }
  std::uint16_t GetHeight() override { return 720; }
  std::uint16_t GetFrameInterval() override { return 40; }
  std::uint16_t GetQuality() override { return 50; }
  std::uint32_t GetCompanionWanted() override { return 0; }
};

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fputs("usage: minimal-host ADDRESS HTTP_PORT RTSP_PORT USER PASSWORD SECONDS\n", stderr);
    return 2;
  }
  // The host objects are declared before the driver so that they outlive it.
  LogSink log;
  Factory factory;
  Sink sink;
  Settings settings;
  Device device;
  device.address = argv[1];
  device.port = static_cast<std::uint32_t>(std::atoi(argv[2]));
  device.rtsp_port = argv[3];
  device.user = argv[4];
  device.password = argv[5];
  const int seconds = std::atoi(argv[6]);

  ipc::IIPCaptureDriverEx4* driver = CreateIPCaptureEx3();
  if (driver == nullptr || !driver->OpenDriver(&log, &factory, &device)) {
    std::fputs("minimal-host: the driver could not be opened\n", stderr);
    DeleteIPCaptureEx3(driver);
    return 1;
  }
  ipc::IIPVideoCapture* capture = driver->GetVideoCapture();  // owned by the driver
  if (!capture->StartChannel(0, &sink, &settings)) {
    std::fputs("minimal-host: channel 0 did not start\n", stderr);
    DeleteIPCaptureEx3(driver);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  capture->StopChannel(0);  // no frame arrives after this returns
  DeleteIPCaptureEx3(driver);
  std::printf("frames received: %lu (%lu bytes)\n", sink.frames.load(), sink.bytes.load());
  return sink.frames > 0 ? 0 : 1;
}
