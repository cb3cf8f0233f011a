#include "record.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#if TOLLIVAR_HOST_CONTAINERS
#include "container_writer.h"
#endif
#include "diagnosis.h"
#include "host_objects.h"
#include "platform.h"

namespace tollivar_host {

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// Exit statuses of the record command (documented in its usage).
constexpr int kExitNoFrame = 1;
constexpr int kExitDriver = 3;
constexpr int kExitOutput = 4;

constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr auto kProgressPeriod = std::chrono::milliseconds(500);

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

const char* StateText(int state) {
  switch (state) {
    case 0: return "receiving";
    case 2: return "no signal";
    default: return "?";
  }
}

// The driver configuration file with --transport for the run, removed when the run ends. An
// existing file is the administrator's: it is left alone and wins.
class TransportConfig {
 public:
  explicit TransportConfig(const RecordOptions& o);
  ~TransportConfig() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  TransportConfig(const TransportConfig&) = delete;
  TransportConfig& operator=(const TransportConfig&) = delete;

 private:
  std::string path_;  // empty: nothing written
};

TransportConfig::TransportConfig(const RecordOptions& o) {
  if (o.transport.empty()) return;
  const std::string path = o.config_folder + "Tollivar.xml";
  std::error_code error;
  if (std::filesystem::exists(path, error)) {
    std::fprintf(stderr,
                 "tollivar-host: warning: %s exists and decides the transport; --transport %s "
                 "is not applied\n",
                 path.c_str(), o.transport.c_str());
    return;
  }
  const std::string tmp = path + ".tmp";
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(tmp.c_str(), "w"));
  if (!f) {
    std::fprintf(stderr, "tollivar-host: cannot write %s\n", tmp.c_str());
    return;
  }
  std::fprintf(f.get(),
               "<?xml version=\"1.0\"?>\n<Configuration>\n  <Device>\n    <VideoChannel>\n"
               "      <RTPMode>%s</RTPMode>\n    </VideoChannel>\n  </Device>\n"
               "</Configuration>\n",
               ModeText(o.transport));
  f.reset();
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return;
  }
  path_ = path;
}

// Where each channel's frames go: a container (.mkv, .mp4), standard output (-) or a raw
// stream file.
struct Outputs {
  std::vector<std::unique_ptr<std::FILE, FileCloser>> files;
#if TOLLIVAR_HOST_CONTAINERS
  std::vector<std::unique_ptr<ContainerWriter>> containers;
#endif
  std::vector<std::unique_ptr<FrameSink>> sinks;
};

std::optional<Outputs> OpenOutputs(const RecordOptions& o) {
  Outputs outputs;
  for (unsigned c = 0; c < o.channels; ++c) {
    const std::string name = ChannelFile(o.out, c, o.channels);
    if (o.out == "-") {
      outputs.sinks.push_back(std::make_unique<FrameSink>(c, stdout));
#if TOLLIVAR_HOST_CONTAINERS
    } else if (IsContainerFile(name)) {
      outputs.containers.push_back(std::make_unique<ContainerWriter>(name, o.fps));
      outputs.sinks.push_back(std::make_unique<FrameSink>(c, outputs.containers.back().get()));
#else
    } else if (name.ends_with(".mkv") || name.ends_with(".mp4")) {
      std::fprintf(stderr,
                   "tollivar-host: %s: this build writes raw streams only (.mkv and .mp4 need "
                   "FFmpeg's libraries)\n",
                   name.c_str());
      return std::nullopt;
#endif
    } else {
      std::FILE* f = std::fopen(name.c_str(), "wb");
      if (f == nullptr) {
        std::fprintf(stderr, "tollivar-host: cannot create %s\n", name.c_str());
        return std::nullopt;
      }
      // A few pictures per write call instead of two calls per picture (the default buffer is
      // smaller than a picture).
      std::setvbuf(f, nullptr, _IOFBF, size_t{256} * 1024);
      outputs.files.emplace_back(f);
      outputs.sinks.push_back(std::make_unique<FrameSink>(c, f));
    }
  }
  return outputs;
}

DeviceDescription DescribeDevice(const RecordOptions& o) {
  DeviceDescription device(o.address, o.port, o.user, o.password);
  device.channels = o.channels;
  device.codec = o.codec == "mjpeg"   ? ipc::kCodecMjpeg
                 : o.codec == "mpeg4" ? ipc::kCodecMpeg4
                                      : ipc::kCodecH264;
  device.custom = {"(none)", "(none)",
                   o.rtsp_port >= 0 ? std::to_string(o.rtsp_port) : "(none)",
                   o.stream_mode >= 0 ? std::to_string(o.stream_mode) : "(none)",
                   "tollivar-host"};
  return device;
}

// The channels started on the capture object, stopped again when this ends.
class StartedChannels {
 public:
  explicit StartedChannels(ipc::IIPVideoCapture* capture) : capture_(capture) {}
  ~StartedChannels() {
    for (unsigned c = 0; c < started_.size(); ++c) {
      if (started_[c]) capture_->StopChannel(c);
    }
  }
  StartedChannels(const StartedChannels&) = delete;
  StartedChannels& operator=(const StartedChannels&) = delete;

  // Starts every channel into its sink; false when one could not be started.
  bool Start(const RecordOptions& o, const Outputs& outputs);

 private:
  ipc::IIPVideoCapture* const capture_;
  std::vector<bool> started_;
};

bool StartedChannels::Start(const RecordOptions& o, const Outputs& outputs) {
  const unsigned interval = 1000 / (o.fps == 0 ? 1 : o.fps);
  ChannelSettings settings(static_cast<std::uint16_t>(o.width),
                           static_cast<std::uint16_t>(o.height),
                           static_cast<std::uint16_t>(interval),
                           static_cast<std::uint16_t>(o.quality));
  bool all = true;
  for (unsigned c = 0; c < o.channels; ++c) {
    started_.push_back(capture_->StartChannel(c, outputs.sinks[c].get(), &settings));
    if (!started_.back()) {
      std::fprintf(stderr, "tollivar-host: channel %u could not be started\n", c);
      all = false;
    }
  }
  return all;
}

// What the run saw of each channel through GetChannelState.
struct ChannelWatch {
  std::vector<int> states;
  // The driver's reason while the channel had no video: the last one it gave.
  std::vector<std::string> reasons;
  double seconds = 0;
};

void PollStates(ipc::IIPVideoCapture* capture, ChannelWatch* watch) {
  for (unsigned c = 0; c < watch->states.size(); ++c) {
    std::int32_t state = 2;
    std::uint32_t code = 0;
    char text[512] = {};
    if (!capture->GetChannelState(c, &state, &code, text, sizeof(text))) continue;
    watch->states[c] = state;
    if (text[0] != '\0') watch->reasons[c] = text;
  }
}

// The progress line: per channel (at most four) its state, frames, frame and bit rate.
class Progress {
 public:
  Progress(const Outputs& outputs, MessageSink& messages)
      : outputs_(outputs), messages_(messages), last_(outputs.sinks.size()) {}
  void Print(const ChannelWatch& watch, Clock::time_point begin);

 private:
  const Outputs& outputs_;
  MessageSink& messages_;
  std::vector<FrameSink::Stats> last_;
  Clock::time_point last_print_ = Clock::now();
};

void Progress::Print(const ChannelWatch& watch, Clock::time_point begin) {
  const auto now = Clock::now();
  if (now - last_print_ < kProgressPeriod) return;
  const double dt = std::chrono::duration<double>(now - last_print_).count();
  std::lock_guard<std::mutex> lock(messages_.output_mutex());
  std::string line;
  for (unsigned c = 0; c < last_.size() && c < 4; ++c) {
    const auto s = outputs_.sinks[c]->GetStats();
    const double fps = static_cast<double>(s.frames - last_[c].frames) / dt;
    const double kbps = static_cast<double>(s.bytes - last_[c].bytes) * 8 / dt / 1000;
    char buf[200];
    std::snprintf(buf, sizeof(buf), "ch%u %s: %llu frames %.1f fps %.0f kbit/s %llu key  ", c,
                  StateText(watch.states[c]), static_cast<unsigned long long>(s.frames), fps,
                  kbps, static_cast<unsigned long long>(s.key_frames));
    line += buf;
    last_[c] = s;
  }
  const double elapsed = std::chrono::duration<double>(now - begin).count();
  std::fprintf(stderr, "\r\033[K%5.1fs %s", elapsed, line.c_str());
  last_print_ = now;
}

// Records for --seconds or until interrupted, polling the channels' states.
ChannelWatch WatchChannels(ipc::IIPVideoCapture* capture, const RecordOptions& o,
                           const Outputs& outputs, MessageSink& messages,
                           const std::atomic<bool>& interrupted) {
  ChannelWatch watch{std::vector<int>(o.channels, 2), std::vector<std::string>(o.channels), 0};
  const bool progress = !o.quiet && IsTerminal(stderr);
  Progress line(outputs, messages);
  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(o.seconds);
  while (!interrupted && Clock::now() < end) {
    std::this_thread::sleep_for(kPollPeriod);
    PollStates(capture, &watch);
    if (progress) line.Print(watch, begin);
  }
  PollStates(capture, &watch);
  if (progress) std::fputs("\r\033[K", stderr);
  watch.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  return watch;
}

// Opens the driver, starts the channels and records; the exit status so far.
int RunDriver(const DriverLibrary& library, const RecordOptions& o, const Outputs& outputs,
              MessageSink& messages, FrameFactory& factory, ChannelWatch* watch) {
  DeviceDescription device = DescribeDevice(o);
  OpenedDriver driver(library);
  if (driver.get() == nullptr || !driver->OpenDriver(&messages, &factory, &device)) {
    std::fprintf(stderr, "tollivar-host: the driver could not be opened\n");
    return kExitDriver;
  }
  ipc::IIPVideoCapture* capture = driver->GetVideoCapture();
  if (capture == nullptr) {
    std::fprintf(stderr, "tollivar-host: the driver has no video capture object\n");
    return kExitDriver;
  }
  StartedChannels channels(capture);
  if (!channels.Start(o, outputs)) return kExitDriver;
  *watch = WatchChannels(capture, o, outputs, messages, WatchInterrupts());
  return 0;
}  // the channels stop, then the driver goes: no frame arrives any more

// Gives the containers their index; kExitOutput when one with frames is not complete.
int CloseOutputs(Outputs& outputs, bool to_stdout) {
  int status = 0;
  outputs.files.clear();
  if (to_stdout) std::fflush(stdout);
#if TOLLIVAR_HOST_CONTAINERS
  for (unsigned c = 0; c < outputs.containers.size(); ++c) {
    const auto& container = outputs.containers[c];
    // A channel without a frame gets no file; the summary says why.
    if (!container->Close() && outputs.sinks[c]->GetStats().frames > 0) {
      std::fprintf(stderr, "tollivar-host: %s\n", container->error().c_str());
      status = kExitOutput;
    }
  }
#endif
  return status;
}

Json ChannelSummary(unsigned c, const FrameSink::Stats& s, const std::string& file,
                    double elapsed) {
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
  return {{"channel", c},          {"frames", s.frames},
          {"key_frames", s.key_frames}, {"bytes", s.bytes},
          {"width", s.width},      {"height", s.height},
          {"fourcc", FourCCText(s.fourcc)}, {"signal_lost", s.signal_lost},
          {"time_not_increasing", s.time_not_increasing},
          {"first_frame_ms", s.first_time_ms}, {"last_frame_ms", s.last_time_ms},
          {"write_failed", s.write_failed}, {"file", file}};
}

// The driver's reason for the first channel without a frame, with what to do.
Json DiagnoseSilentChannel(const RecordOptions& o, const Outputs& outputs,
                           const ChannelWatch& watch, const std::atomic<bool>& interrupted) {
  Target target{o.address, o.port, o.user, o.password, o.transport};
  unsigned silent = 0;
  while (silent < o.channels && outputs.sinks[silent]->GetStats().frames > 0) ++silent;
  const std::string reason = silent < o.channels ? watch.reasons[silent] : std::string();
  Diagnosis d = Diagnose(reason, target);
  // The driver cannot know which codec the camera's encoder runs: the host asks it.
  if (WantsCameraCodec(d)) d = Diagnose(reason, target, ReadCameraCodec(target, interrupted));
  std::fprintf(stderr, "tollivar-host: %s failed: %s\ntollivar-host: what to do: %s\n",
               d.step.c_str(), d.problem.c_str(), d.hint.c_str());
  return DiagnosisJson(d);
}

// The per-channel lines and the JSON summary; the final exit status.
int Summarize(const RecordOptions& o, const Outputs& outputs, const ChannelWatch& watch,
              MessageSink& messages, const FrameFactory& factory, int status) {
  const std::atomic<bool>& interrupted = WatchInterrupts();
  Json channels = Json::array();
  std::uint64_t total_frames = 0;
  for (unsigned c = 0; c < o.channels; ++c) {
    const auto s = outputs.sinks[c]->GetStats();
    const std::string file = ChannelFile(o.out, c, o.channels);
    total_frames += s.frames;
    channels.push_back(ChannelSummary(c, s, file, watch.seconds));
    if (s.write_failed) {
      std::fprintf(stderr, "tollivar-host: writing %s failed\n", file.c_str());
      if (status == 0) status = kExitOutput;
    }
    if (s.frames == 0 && status == 0) {
      std::fprintf(stderr, "tollivar-host: no frame arrived on channel %u from %s:%u\n", c,
                   o.address.c_str(), o.port);
      status = kExitNoFrame;
    }
  }
  Json diagnosis = nullptr;
  if (status == kExitNoFrame && !interrupted) {
    diagnosis = DiagnoseSilentChannel(o, outputs, watch, interrupted);
  }
  const Json summary = {{"seconds", watch.seconds},
                        {"channels", channels},
                        {"online_lines", messages.CountLinesContaining(" is online")},
                        {"signal_lost_lines", messages.CountLinesContaining("Signal was lost")},
                        {"frames_allocated", factory.created()},
                        {"frames_outstanding", factory.outstanding()},
                        {"total_frames", total_frames},
                        {"diagnosis", diagnosis},
                        {"status", status}};
  // With the video on standard output the summary goes to standard error.
  if (o.json) {
    std::fprintf(o.out == "-" ? stderr : stdout, "%s\n",
                 summary.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  }
  return status;
}

}  // namespace

int Record(const RecordOptions& o) {
  const std::optional<DriverLibrary> library = LoadDriverLibrary(o.library);
  if (!library) return kExitDriver;
  const TransportConfig config(o);
  std::optional<Outputs> outputs = OpenOutputs(o);
  if (!outputs) return kExitDriver;

  MessageSink messages(o.log_level, IsTerminal(stderr));
  FrameFactory factory;
  ChannelWatch watch{std::vector<int>(o.channels, 2), std::vector<std::string>(o.channels), 0};
  int status = RunDriver(*library, o, *outputs, messages, factory, &watch);
  const int closed = CloseOutputs(*outputs, o.out == "-");
  if (status == 0) status = closed;
  return Summarize(o, *outputs, watch, messages, factory, status);
}

}  // namespace tollivar_host
