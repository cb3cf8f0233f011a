#pragma once

// tollivar-host probe: asks a camera what it is and can do through the driver's capability
// query entry points, with result objects of this host, and prints what the camera reported.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

#include "tollivar/capability_query.h"

namespace tollivar_host {

struct ProbeOptions {
  std::string address;
  unsigned port = 0;
  std::string user;
  std::string password;  // never printed
  bool ntsc = false;     // the video standard assumed until the camera tells
  bool json = false;
  unsigned timeout_s = 30;
  std::string library;
};

// What the driver wrote into the host's result objects during one query, and its outcome.
struct ProbeReport {
  enum class Outcome { kNotStarted, kCompleted, kFailed, kTimedOut };
  struct Resolution {
    std::string text;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t frame_interval_ms = 0;
  };
  struct Property {
    std::uint32_t id = 0;
    std::string name;
    std::string value;
    std::int32_t flag = -1;
  };

  Outcome outcome = Outcome::kNotStarted;
  bool interrupted = false;
  std::int32_t failure_code = -1;
  std::string failure_message;

  std::string model;
  std::string connection[4];  // address, port, user name, password as echoed (1 to 4)
  std::vector<std::pair<std::uint32_t, std::uint32_t>> capabilities;  // in call order
  std::vector<Resolution> resolutions;
  std::vector<std::uint32_t> frame_intervals_ms;
  std::uint32_t default_frame_interval_ms = 0;  // 0: none set
  std::vector<Property> properties;  // in the order first asked for

  // Codec names from the capability ids, in call order.
  std::vector<std::string> Codecs() const;
};

// The four entry points of a loaded driver library.
struct CapabilityQueryApi {
  std::int32_t (*init)(korvane::ipcapture::ICapabilityQueryEvents*, std::int32_t) = nullptr;
  std::int32_t (*start)(const char*, std::int32_t, const char*, const char*,
                        korvane::ipcapture::ICapabilityResults*) = nullptr;
  std::int32_t (*terminate)() = nullptr;
  std::int32_t (*uninit)() = nullptr;

  // Looks the four up by name; false when one is missing.
  bool Load(const SharedLibrary& library);
};

// One query cycle: Init, Start, the wait for the callback (at most options.timeout_s, and while
// `interrupt` stays false; either ends it with Terminate), Uninit. `interrupt` may be null.
ProbeReport RunProbe(const CapabilityQueryApi& api, const ProbeOptions& options,
                     const std::atomic<bool>* interrupt);

// Frames per second of a frame interval: 1000 / interval, rounded.
std::uint32_t RateOfInterval(std::uint32_t interval_ms);

// The report as one JSON object (one line, no password), and as text for a terminal.
std::string ProbeJson(const ProbeReport& report);
std::string ProbeText(const ProbeReport& report);

void PrintProbeUsage();

// The probe command (argv after the word "probe"). Exit codes: 0 the camera answered, 1 usage
// error, 2 the query failed (or the library could not be loaded), 130 interrupted.
int Probe(int argc, char** argv, const std::string& program_folder);

}  // namespace tollivar_host
