#include "io.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "host_objects.h"
#include "option_table.h"
#include "platform.h"

namespace tollivar_host {

namespace {


// The wall-clock time of an event, UTC with milliseconds: 2026-12-08T09:40:12.345Z.
std::string TimeStamp() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[40];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
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
      const nlohmann::ordered_json event = {
          {"time", TimeStamp()}, {"event", "input"}, {"index", index}, {"state", state}};
      std::printf("%s\n", event.dump().c_str());
    } else {
      std::printf("%s input %u state %d\n", TimeStamp().c_str(), index, state);
    }
    std::fflush(stdout);
  }

  void OnIOError() override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++errors_;
    if (json_) {
      const nlohmann::ordered_json event = {{"time", TimeStamp()}, {"event", "io_error"}};
      std::printf("%s\n", event.dump().c_str());
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
  const auto set = [o](const std::string& value) {
    const auto eq = value.find('=');
    long long index = 0;
    long long state = 0;
    if (eq == std::string::npos || !ParseNumber(value.substr(0, eq), 0, 0xFFFFFFFFll, &index) ||
        !ParseNumber(value.substr(eq + 1), -0x80000000ll, 0x7FFFFFFFll, &state)) {
      std::fprintf(stderr, "tollivar-host: --set wants INDEX=STATE, got: %s\n", value.c_str());
      return false;
    }
    o->changes.emplace_back(static_cast<std::uint32_t>(index), static_cast<std::int32_t>(state));
    return true;
  };
  const std::vector<Option> options = {
      TextOption("--address", &o->address),     NumberOption("--port", 1, 65535, &o->port),
      TextOption("--user", &o->user),           TextOption("--password", &o->password),
      NumberOption("--inputs", 0, 256, &o->inputs),
      NumberOption("--outputs", 0, 256, &o->outputs), Option{"--set", true, set},
      NumberOption("--watch", 0, 86400, &o->watch_seconds), FlagOption("--json", &o->json),
      TextOption("--library", &o->library),     NumberOption("--log-level", 0, 4, &o->log_level),
  };
  const Parsed parsed = ParseOptions(argc, argv, options);
  if (parsed == Parsed::kHelp) {
    PrintIoUsage();
    return 1;
  }
  if (parsed == Parsed::kUsageError) return 2;
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

namespace {

// Queues every --set change; returns how many the driver refused.
unsigned QueueChanges(korvane::ICaptureIOApi* io, const IoOptions& o) {
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
  return refused;
}

struct IoRun {
  unsigned refused = 0;
  bool started = false;
  bool stopped = false;
  int status = 0;
};

// The exit status 1 when every change failed, by refusal or by an I/O error each.
int Verdict(const IoOptions& o, const IoRun& run, unsigned errors) {
  const unsigned changes = static_cast<unsigned>(o.changes.size());
  const unsigned sent = RequestsWhenEveryOneFails(o);
  if (changes > 0 && run.refused == changes) {
    std::fprintf(stderr, "tollivar-host: the driver refused every change\n");
    return 1;
  }
  if (sent > 0 && errors >= sent) {
    std::fprintf(stderr,
                 "tollivar-host: the driver reported an error for every change: %u I/O error(s) "
                 "for the %u change(s) it had to send; is the camera at %s:%u reachable, and "
                 "are the credentials right?\n",
                 errors, sent, o.address.c_str(), o.port);
    return 1;
  }
  return 0;
}

void PrintSummary(const IoOptions& o, const IoRun& run, IoEvents& events) {
  const unsigned changes = static_cast<unsigned>(o.changes.size());
  if (!o.json) {
    std::printf("summary: %u change(s) queued, %u refused, %u I/O error(s), %u input report(s)\n",
                changes - run.refused, run.refused, events.errors(), events.input_reports());
    return;
  }
  const nlohmann::ordered_json summary = {
      {"event", "summary"},          {"inputs", o.inputs},
      {"outputs", o.outputs},        {"changes", changes},
      {"refused", run.refused},      {"io_errors", events.errors()},
      {"input_reports", events.input_reports()}, {"started", run.started},
      {"stopped", run.stopped},      {"status", run.status}};
  std::printf("%s\n", summary.dump().c_str());
}

// Starts the I/O, queues the changes, watches for --watch seconds and stops it.
IoRun RunStartedIo(korvane::ICaptureIOApi* io, const IoOptions& o, IoEvents& events) {
  IoRun run;
  io->SetEventSink(&events);
  run.started = io->StartIO();
  if (!run.started) {
    std::fprintf(stderr, "tollivar-host: the driver could not start the I/O\n");
    run.status = 4;
  }
  run.refused = QueueChanges(io, o);
  const std::atomic<bool>& interrupted = WatchInterrupts();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(o.watch_seconds);
  while (!interrupted && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  run.stopped = io->StopIO();
  if (!run.stopped) {
    std::fprintf(stderr, "tollivar-host: the driver could not stop the I/O\n");
    if (run.status == 0) run.status = 4;
  }
  return run;
}

}  // namespace

int RunIo(const IoOptions& o) {
  const std::optional<DriverLibrary> library = LoadDriverLibrary(o.library);
  if (!library) return 3;
  MessageSink messages(o.log_level, false);
  FrameFactory factory;
  DeviceDescription device(o.address, o.port, o.user, o.password);
  device.inputs = o.inputs;
  device.outputs = o.outputs;
  device.custom = {"(none)", "(none)", "(none)", "(none)", "tollivar-host"};
  IoEvents events(o.json);
  IoRun run;
  {
    OpenedDriver driver(*library);
    if (driver.get() == nullptr || !driver->OpenDriver(&messages, &factory, &device)) {
      std::fprintf(stderr, "tollivar-host: the driver could not be opened\n");
      return 3;
    }
    korvane::ICaptureIOApi* io = driver->GetIOApi();
    if (io == nullptr) {
      std::fprintf(stderr, "tollivar-host: the driver offers no I/O object for this device\n");
      return 3;
    }
    run = RunStartedIo(io, o, events);
  }  // the driver is gone: no I/O thread runs, no event arrives any more
  if (run.status == 0) run.status = Verdict(o, run, events.errors());
  PrintSummary(o, run, events);
  return run.status;
}

}  // namespace tollivar_host
