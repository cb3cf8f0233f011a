#include "io.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "host_objects.h"

namespace tollivar_host {

namespace {


std::atomic<bool> g_io_interrupted{false};

void OnIoSignal(int) { g_io_interrupted = true; }

// The wall-clock time of an event, UTC with milliseconds: 2026-12-08T09:40:12.345Z.
std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof(text) - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

// Prints every input change and I/O error as it arrives (on the driver's I/O threads).
class IoEvents final : public korvane::ICaptureIOEvents {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  explicit IoEvents(bool json) : json_(json) {}

  void OnInputStateChanged(std::uint32_t index, std::int32_t state) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++input_reports_;
    if (json_) {
      std::printf("{\"time\":\"%s\",\"event\":\"input\",\"index\":%u,\"state\":%d}\n",
                  TimeStamp().c_str(), index, state);
    } else {
      std::printf("%s input %u state %d\n", TimeStamp().c_str(), index, state);
    }
    std::fflush(stdout);
  }

  void OnIOError() override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++errors_;
    if (json_) {
      std::printf("{\"time\":\"%s\",\"event\":\"io_error\"}\n", TimeStamp().c_str());
    } else {
      std::printf("%s I/O error\n", TimeStamp().c_str());
    }
    std::fflush(stdout);
  }

  unsigned errors() {
    std::lock_guard<std::mutex> guard(mutex_);
    return errors_;
  }
  unsigned input_reports() {
    std::lock_guard<std::mutex> guard(mutex_);
    return input_reports_;
  }

 private:
  const bool json_;
  std::mutex mutex_;
  unsigned errors_ = 0;
  unsigned input_reports_ = 0;
};

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// How many changes the driver sends to the camera when every one of them fails. A failure puts
// every output back at 0, so then every output's start change (0 to 1) is sent, and every queued
// change of a known output to a state other than 0; a change to 0 finds the output there already.
unsigned RequestsWhenEveryOneFails(const IoOptions& o) {
  unsigned sent = o.outputs;
  for (const auto& [index, state] : o.changes) {
    if (index < o.outputs && state != 0) ++sent;
  }
  return sent;
}

}  // namespace

void PrintIoUsage() {
  std::fputs(
      "usage: tollivar-host io --address A --port P [--user U --password W] [--inputs N]\n"
      "                        [--outputs M] [--set INDEX=STATE ...] [--watch SECONDS] [--json]\n"
      "\n"
      "Opens the driver for a device with N digital inputs and M outputs, starts its I/O (every\n"
      "output is put in state 1), queues the --set changes in order, prints every input change\n"
      "and I/O error with its time while it watches, then stops the I/O.\n"
      "\n"
      "options of io:\n"
      "  --address A        camera host name or address\n"
      "  --port P           camera HTTP port\n"
      "  --user U           user name\n"
      "  --password W       password\n"
      "  --inputs N         number of digital inputs (default 0)\n"
      "  --outputs M        number of digital outputs (default 0); N + M must not be 0\n"
      "  --set INDEX=STATE  queue a change of output INDEX to STATE (1 active, other values\n"
      "                     inactive); may be repeated\n"
      "  --watch SECONDS    how long the I/O runs after the changes are queued (default 2); the\n"
      "                     changes must reach the camera within it\n"
      "  --json             events and the summary as JSON lines on stdout\n"
      "  --library PATH     libtollivar.so to load (default: beside the build tree)\n"
      "  --log-level L      driver log lines shown, 1 errors .. 3 information (default 3)\n"
      "\n"
      "Exit status: 0 done; 1 every change failed: the driver refused every --set change, or\n"
      "reported an I/O error for every change it had to send (each output's start change, and\n"
      "each change to a state other than 0, since a failure puts every output back at 0);\n"
      "2 bad command line; 3 the driver could not be loaded or opened; 4 the I/O could not be\n"
      "started or stopped.\n",
      stderr);
}

int ParseIo(int argc, char** argv, IoOptions* o) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    auto take = [&]() {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tollivar-host: %s needs a value\n", arg.c_str());
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto number = [&](long long min, long long max, long long* out) {
      if (!take()) return false;
      if (!ParseNumber(value, min, max, out)) {
        std::fprintf(stderr, "tollivar-host: %s: not a number in range: %s\n", arg.c_str(),
                     value.c_str());
        return false;
      }
      return true;
    };
    long long n = 0;
    if (arg == "--address") {
      if (!take()) return 2;
      o->address = value;
    } else if (arg == "--port") {
      if (!number(1, 65535, &n)) return 2;
      o->port = static_cast<unsigned>(n);
    } else if (arg == "--user") {
      if (!take()) return 2;
      o->user = value;
    } else if (arg == "--password") {
      if (!take()) return 2;
      o->password = value;
    } else if (arg == "--inputs") {
      if (!number(0, 256, &n)) return 2;
      o->inputs = static_cast<std::uint32_t>(n);
    } else if (arg == "--outputs") {
      if (!number(0, 256, &n)) return 2;
      o->outputs = static_cast<std::uint32_t>(n);
    } else if (arg == "--set") {
      if (!take()) return 2;
      const auto eq = value.find('=');
      long long index = 0;
      long long state = 0;
      if (eq == std::string::npos || !ParseNumber(value.substr(0, eq), 0, 0xFFFFFFFFll, &index) ||
          !ParseNumber(value.substr(eq + 1), -0x80000000ll, 0x7FFFFFFFll, &state)) {
        std::fprintf(stderr, "tollivar-host: --set wants INDEX=STATE, got: %s\n", value.c_str());
        return 2;
      }
      o->changes.emplace_back(static_cast<std::uint32_t>(index), static_cast<std::int32_t>(state));
    } else if (arg == "--watch") {
      if (!number(0, 86400, &n)) return 2;
      o->watch_seconds = static_cast<unsigned>(n);
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--library") {
      if (!take()) return 2;
      o->library = value;
    } else if (arg == "--log-level") {
      if (!number(0, 4, &n)) return 2;
      o->log_level = static_cast<int>(n);
    } else if (arg == "--help" || arg == "-h") {
      PrintIoUsage();
      return 1;
    } else {
      std::fprintf(stderr, "tollivar-host: unknown option: %s\n", arg.c_str());
      return 2;
    }
  }
  if (o->address.empty() || o->port == 0) {
    std::fputs("tollivar-host: io needs --address and --port\n", stderr);
    return 2;
  }
  if (o->inputs == 0 && o->outputs == 0) {
    std::fputs("tollivar-host: io needs a device with --inputs or --outputs\n", stderr);
    return 2;
  }
  return 0;
}

int RunIo(const IoOptions& o) {
  DriverLibrary library;
  if (!LoadDriverLibrary(o.library, &library)) return 3;
  void* const lib = library.handle;
  const auto create = library.create;
  const auto destroy = library.destroy;

  MessageSink messages(o.log_level, false);
  FrameFactory factory;
  DeviceDescription device;
  device.address = o.address;
  device.port = o.port;
  device.user = o.user;
  device.password = o.password;
  device.inputs = o.inputs;
  device.outputs = o.outputs;
  device.custom = {"(none)", "(none)", "(none)", "(none)", "tollivar-host"};
  IoEvents events(o.json);

  ipc::IIPCaptureDriverEx4* driver = create();
  if (driver == nullptr || !driver->OpenDriver(&messages, &factory, &device)) {
    std::fprintf(stderr, "tollivar-host: the driver could not be opened\n");
    if (driver != nullptr) destroy(driver);
    dlclose(lib);
    return 3;
  }
  korvane::ICaptureIOApi* io = driver->GetIOApi();
  if (io == nullptr) {
    std::fprintf(stderr, "tollivar-host: the driver offers no I/O object for this device\n");
    destroy(driver);
    dlclose(lib);
    return 3;
  }

  int status = 0;
  io->SetEventSink(&events);
  const bool started = io->StartIO();
  if (!started) {
    std::fprintf(stderr, "tollivar-host: the driver could not start the I/O\n");
    status = 4;
  }
  unsigned refused = 0;
  for (const auto& [index, state] : o.changes) {
    if (index >= o.outputs) {
      std::fprintf(stderr,
                   "tollivar-host: warning: output %u is not below --outputs %u; the driver "
                   "ignores the change\n",
                   index, o.outputs);
    }
    if (!io->QueueOutputState(index, state)) {
      std::fprintf(stderr, "tollivar-host: the driver refused the change %u=%d\n", index, state);
      ++refused;
    }
  }

  std::signal(SIGINT, OnIoSignal);
  std::signal(SIGTERM, OnIoSignal);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.watch_seconds);
  while (!g_io_interrupted && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  const bool stopped = io->StopIO();
  if (!stopped) {
    std::fprintf(stderr, "tollivar-host: the driver could not stop the I/O\n");
    if (status == 0) status = 4;
  }
  destroy(driver);  // no I/O thread runs past this: no event arrives any more

  const unsigned changes = static_cast<unsigned>(o.changes.size());
  const unsigned errors = events.errors();
  const unsigned sent = RequestsWhenEveryOneFails(o);
  if (status == 0 && changes > 0 && refused == changes) {
    std::fprintf(stderr, "tollivar-host: the driver refused every change\n");
    status = 1;
  } else if (status == 0 && sent > 0 && errors >= sent) {
    std::fprintf(stderr,
                 "tollivar-host: the driver reported an error for every change: %u I/O error(s) "
                 "for the %u change(s) it had to send; is the camera at %s:%u reachable, and "
                 "are the credentials right?\n",
                 errors, sent, o.address.c_str(), o.port);
    status = 1;
  }
  if (o.json) {
    std::printf(
        "{\"event\":\"summary\",\"inputs\":%u,\"outputs\":%u,\"changes\":%u,\"refused\":%u,"
        "\"io_errors\":%u,\"input_reports\":%u,\"started\":%s,\"stopped\":%s,\"status\":%d}\n",
        o.inputs, o.outputs, changes, refused, errors, events.input_reports(),
        started ? "true" : "false", stopped ? "true" : "false", status);
  } else {
    std::printf("summary: %u change(s) queued, %u refused, %u I/O error(s), %u input report(s)\n",
                changes - refused, refused, errors, events.input_reports());
  }
  dlclose(lib);
  return status;
}

}  // namespace tollivar_host
