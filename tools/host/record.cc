#include "record.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "container_writer.h"
#include "diagnosis.h"
#include "host_objects.h"
#include "json_text.h"

namespace tollivar_host {

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }


struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

std::string ChannelFile(const std::string& out, unsigned channel, unsigned channels) {
  if (channels <= 1) return out;
  const auto slash = out.rfind('/');
  const auto dot = out.rfind('.');
  const std::string suffix = "_ch" + std::to_string(channel);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return out + suffix;
  }
  return out.substr(0, dot) + suffix + out.substr(dot);
}

const char* ModeText(const std::string& transport) {
  if (transport == "tcp") return "RTPoverTCP";
  if (transport == "rtsp") return "RTPoverRTSP";
  return "RTPoverUDP";
}

// Writes the driver configuration file for the run. An existing file is the administrator's:
// it is left alone and wins. Returns the path to remove afterwards, or empty.
std::string WriteTransportConfig(const RecordOptions& o) {
  if (o.transport.empty()) return {};
  const std::string path = o.config_folder + "Tollivar.xml";
  if (access(path.c_str(), F_OK) == 0) {
    std::fprintf(stderr,
                 "tollivar-host: warning: %s exists and decides the transport; --transport %s "
                 "is not applied\n",
                 path.c_str(), o.transport.c_str());
    return {};
  }
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) {
    std::fprintf(stderr, "tollivar-host: cannot write %s\n", tmp.c_str());
    return {};
  }
  std::fprintf(f,
               "<?xml version=\"1.0\"?>\n<Configuration>\n  <Device>\n    <VideoChannel>\n"
               "      <RTPMode>%s</RTPMode>\n    </VideoChannel>\n  </Device>\n"
               "</Configuration>\n",
               ModeText(o.transport));
  std::fclose(f);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return {};
  }
  return path;
}

const char* StateText(int state) {
  switch (state) {
    case 0: return "receiving";
    case 2: return "no signal";
    default: return "?";
  }
}

}  // namespace

int Record(const RecordOptions& o) {
  DriverLibrary library;
  if (!LoadDriverLibrary(o.library, &library)) return 3;
  void* const lib = library.handle;
  const auto create = library.create;
  const auto destroy = library.destroy;

  const std::string config_written = WriteTransportConfig(o);

  MessageSink messages(o.log_level, isatty(STDERR_FILENO) != 0);
  FrameFactory factory;
  DeviceDescription device;
  device.address = o.address;
  device.port = o.port;
  device.user = o.user;
  device.password = o.password;
  device.channels = o.channels;
  device.codec = o.codec == "mjpeg" ? ipc::kCodecMjpeg
                 : o.codec == "mpeg4" ? ipc::kCodecMpeg4 : ipc::kCodecH264;
  device.custom = {"(none)", "(none)",
                   o.rtsp_port >= 0 ? std::to_string(o.rtsp_port) : "(none)",
                   o.stream_mode >= 0 ? std::to_string(o.stream_mode) : "(none)",
                   "tollivar-host"};

  // Outputs: a container per channel (.mkv, .mp4), standard output (-), or a raw stream file.
  const bool to_stdout = o.out == "-";
  std::vector<std::unique_ptr<std::FILE, FileCloser>> files;
  std::vector<std::unique_ptr<ContainerWriter>> containers;
  std::vector<std::unique_ptr<FrameSink>> sinks;
  for (unsigned c = 0; c < o.channels; ++c) {
    const std::string name = ChannelFile(o.out, c, o.channels);
    if (to_stdout) {
      sinks.push_back(std::make_unique<FrameSink>(c, stdout));
      continue;
    }
    if (IsContainerFile(name)) {
      containers.push_back(std::make_unique<ContainerWriter>(name, o.fps));
      sinks.push_back(std::make_unique<FrameSink>(c, containers.back().get()));
      continue;
    }
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) {
      std::fprintf(stderr, "tollivar-host: cannot create %s\n", name.c_str());
      if (!config_written.empty()) std::remove(config_written.c_str());
      dlclose(lib);
      return 3;
    }
    files.emplace_back(f);
    sinks.push_back(std::make_unique<FrameSink>(c, f));
  }

  ipc::IIPCaptureDriverEx4* driver = create();
  int status = 0;
  if (driver == nullptr || !driver->OpenDriver(&messages, &factory, &device)) {
    std::fprintf(stderr, "tollivar-host: the driver could not be opened\n");
    status = 3;
  }
  ipc::IIPVideoCapture* capture = status == 0 ? driver->GetVideoCapture() : nullptr;
  if (status == 0 && capture == nullptr) {
    std::fprintf(stderr, "tollivar-host: the driver has no video capture object\n");
    status = 3;
  }

  const unsigned interval = 1000 / (o.fps == 0 ? 1 : o.fps);
  ChannelSettings settings(static_cast<std::uint16_t>(o.width),
                           static_cast<std::uint16_t>(o.height),
                           static_cast<std::uint16_t>(interval),
                           static_cast<std::uint16_t>(o.quality));
  std::vector<bool> started(o.channels, false);
  if (status == 0) {
    for (unsigned c = 0; c < o.channels; ++c) {
      started[c] = capture->StartChannel(c, sinks[c].get(), &settings);
      if (!started[c]) {
        std::fprintf(stderr, "tollivar-host: channel %u could not be started\n", c);
        status = 3;
      }
    }
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const bool progress = !o.quiet && isatty(STDERR_FILENO);
  const auto begin = std::chrono::steady_clock::now();
  const auto end = begin + std::chrono::seconds(o.seconds);
  std::vector<int> states(o.channels, 2);
  // The driver's reason per channel while it has no video: the last one it gave.
  std::vector<std::string> reasons(o.channels);
  auto poll_states = [&] {
    for (unsigned c = 0; c < o.channels; ++c) {
      std::int32_t state = 2;
      std::uint32_t code = 0;
      char text[512] = {};
      if (!capture->GetChannelState(c, &state, &code, text, sizeof(text))) continue;
      states[c] = state;
      if (text[0] != '\0') reasons[c] = text;
    }
  };
  auto last_print = begin;
  std::vector<FrameSink::Stats> last_stats(o.channels);
  while (status == 0 && !g_interrupted && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    poll_states();
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - last_print >= std::chrono::milliseconds(500)) {
      const double dt = std::chrono::duration<double>(now - last_print).count();
      std::lock_guard<std::mutex> lock(messages.output_mutex());
      std::string line;
      for (unsigned c = 0; c < o.channels && c < 4; ++c) {
        const auto s = sinks[c]->GetStats();
        const double fps = static_cast<double>(s.frames - last_stats[c].frames) / dt;
        const double kbps = static_cast<double>(s.bytes - last_stats[c].bytes) * 8 / dt / 1000;
        char buf[200];
        std::snprintf(buf, sizeof(buf), "ch%u %s: %llu frames %.1f fps %.0f kbit/s %llu key  ", c,
                      StateText(states[c]), static_cast<unsigned long long>(s.frames), fps, kbps,
                      static_cast<unsigned long long>(s.key_frames));
        line += buf;
        last_stats[c] = s;
      }
      const double elapsed = std::chrono::duration<double>(now - begin).count();
      std::fprintf(stderr, "\r\033[K%5.1fs %s", elapsed, line.c_str());
      last_print = now;
    }
  }
  if (progress) std::fputs("\r\033[K", stderr);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  if (status == 0) poll_states();
  if (capture != nullptr) {
    for (unsigned c = 0; c < o.channels; ++c) {
      if (started[c]) capture->StopChannel(c);
    }
  }
  if (driver != nullptr) destroy(driver);
  files.clear();
  if (to_stdout) std::fflush(stdout);
  // The channels are stopped: no frame arrives any more, the containers get their index.
  for (unsigned c = 0; c < containers.size(); ++c) {
    const auto& container = containers[c];
    // A channel without a frame gets no file; the summary below says why.
    if (!container->Close() && sinks[c]->GetStats().frames > 0) {
      std::fprintf(stderr, "tollivar-host: %s\n", container->error().c_str());
      if (status == 0) status = 4;
    }
  }
  if (!config_written.empty()) std::remove(config_written.c_str());

  // Summary.
  std::uint64_t total_frames = 0;
  std::string json = "{\"seconds\":" + std::to_string(elapsed) + ",\"channels\":[";
  for (unsigned c = 0; c < o.channels; ++c) {
    const auto s = sinks[c]->GetStats();
    total_frames += s.frames;
    const std::string file = ChannelFile(o.out, c, o.channels);
    std::fprintf(stderr,
                 "channel %u: %llu frames (%llu key), %.1f fps, %.0f kbit/s, %ux%u %s, "
                 "signal lost %llu, non-increasing times %llu -> %s\n",
                 c, static_cast<unsigned long long>(s.frames),
                 static_cast<unsigned long long>(s.key_frames),
                 elapsed > 0 ? static_cast<double>(s.frames) / elapsed : 0.0,
                 elapsed > 0 ? static_cast<double>(s.bytes) * 8 / elapsed / 1000 : 0.0, s.width,
                 s.height, FourCCText(s.fourcc).c_str(),
                 static_cast<unsigned long long>(s.signal_lost),
                 static_cast<unsigned long long>(s.time_not_increasing), file.c_str());
    if (c > 0) json += ",";
    json += "{\"channel\":" + std::to_string(c) + ",\"frames\":" + std::to_string(s.frames) +
            ",\"key_frames\":" + std::to_string(s.key_frames) +
            ",\"bytes\":" + std::to_string(s.bytes) + ",\"width\":" + std::to_string(s.width) +
            ",\"height\":" + std::to_string(s.height) + ",\"fourcc\":\"" +
            FourCCText(s.fourcc) + "\",\"signal_lost\":" + std::to_string(s.signal_lost) +
            ",\"time_not_increasing\":" + std::to_string(s.time_not_increasing) +
            ",\"first_frame_ms\":" + std::to_string(s.first_time_ms) +
            ",\"last_frame_ms\":" + std::to_string(s.last_time_ms) +
            ",\"write_failed\":" + (s.write_failed ? "true" : "false") +
            ",\"file\":" + JsonText(file) + "}";
    if (s.write_failed) {
      std::fprintf(stderr, "tollivar-host: writing %s failed\n", file.c_str());
      if (status == 0) status = 4;
    }
    if (s.frames == 0 && status == 0) {
      std::fprintf(stderr, "tollivar-host: no frame arrived on channel %u from %s:%u\n", c,
                   o.address.c_str(), o.port);
      status = 1;
    }
  }
  // The driver says why a channel has no video; the host adds what to do, and asks the camera
  // only what the driver cannot know.
  std::string diagnosis_json = "null";
  if (status == 1 && !g_interrupted) {
    Target target;
    target.address = o.address;
    target.http_port = o.port;
    target.user = o.user;
    target.password = o.password;
    target.transport = o.transport;
    unsigned silent = 0;
    while (silent < o.channels && sinks[silent]->GetStats().frames > 0) ++silent;
    const std::string reason = silent < o.channels ? reasons[silent] : std::string();
    Diagnosis d = Diagnose(reason, target);
    if (WantsCameraCodec(d)) d = Diagnose(reason, target, ReadCameraCodec(target, g_interrupted));
    std::fprintf(stderr, "tollivar-host: %s failed: %s\ntollivar-host: what to do: %s\n",
                 d.step.c_str(), d.problem.c_str(), d.hint.c_str());
    diagnosis_json = DiagnosisJson(d).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  json += "],\"online_lines\":" + std::to_string(messages.CountLinesContaining(" is online")) +
          ",\"signal_lost_lines\":" +
          std::to_string(messages.CountLinesContaining("Signal was lost")) +
          ",\"frames_allocated\":" + std::to_string(factory.created()) +
          ",\"frames_outstanding\":" + std::to_string(factory.outstanding()) +
          ",\"total_frames\":" + std::to_string(total_frames) +
          ",\"diagnosis\":" + diagnosis_json + ",\"status\":" + std::to_string(status) + "}";
  // With the video on standard output the summary goes to standard error.
  if (o.json) std::fprintf(to_stdout ? stderr : stdout, "%s\n", json.c_str());
  dlclose(lib);
  return status;
}

}  // namespace tollivar_host
