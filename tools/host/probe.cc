#include "probe.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "library_path.h"
#include "option_table.h"
#include "platform.h"

namespace tollivar_host {

namespace ipc = korvane::ipcapture;

namespace {

using Clock = std::chrono::steady_clock;

// After Terminate, how long the query may take to report (it cuts its request at once).
constexpr auto kTerminateGrace = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kExitInterrupted = 130;

// The host's result objects: everything the driver writes lands in one report.
class ProbeResults final : public ipc::ICapabilityResults {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  explicit ProbeResults(ProbeReport& report) : report_(report) {
    for (int i = 0; i < 4; ++i) fields_[i].Bind(this, i);
  }

  void SetCapability(std::uint32_t id, std::uint32_t value) override {
    std::lock_guard guard(mutex_);
    report_.capabilities.emplace_back(id, value);
  }
  void SetModelName(const char* name) override {
    std::lock_guard guard(mutex_);
    report_.model = name != nullptr ? name : "";
  }
  ipc::ICapabilityTextField* GetConnectionField(std::uint32_t field) override {
    if (field < 1 || field > 4) return nullptr;
    return &fields_[field - 1];
  }
  ipc::ICapabilityPropertyItem* GetPropertyItem(std::uint32_t id) override {
    std::lock_guard guard(mutex_);
    auto& item = items_[id];
    if (!item) {
      report_.properties.push_back({id, {}, {}, -1});
      item = std::make_unique<Item>(*this, report_.properties.size() - 1);
    }
    return item.get();
  }
  ipc::ICapabilityResolutionList* GetResolutionList() override { return &resolutions_; }
  ipc::ICapabilityFrameRateList* GetFrameRateList(std::uint32_t) override { return &rates_; }

 private:
  class Field final : public ipc::ICapabilityTextField {
   TOLLIVAR_IMPLEMENTS_SLOT0()
   public:
    void Bind(ProbeResults* owner, int index) {
      owner_ = owner;
      index_ = index;
    }
    void SetText(const char* text) override {
      std::lock_guard guard(owner_->mutex_);
      owner_->report_.connection[index_] = text != nullptr ? text : "";
    }

   private:
    ProbeResults* owner_ = nullptr;
    int index_ = 0;
  };

  class Item final : public ipc::ICapabilityPropertyItem {
   TOLLIVAR_IMPLEMENTS_SLOT0()
   public:
    Item(ProbeResults& owner, size_t index) : owner_(owner), index_(index) {}
    void SetValue(const char* value) override {
      std::lock_guard guard(owner_.mutex_);
      Entry().value = value != nullptr ? value : "";
    }
    void SetFlag(std::int32_t flag) override {
      std::lock_guard guard(owner_.mutex_);
      Entry().flag = flag;
    }
    void SetName(const char* name) override {
      std::lock_guard guard(owner_.mutex_);
      Entry().name = name != nullptr ? name : "";
    }
    void SetOption(std::int32_t) override {}

   private:
    ProbeReport::Property& Entry() { return owner_.report_.properties[index_]; }
    ProbeResults& owner_;
    const size_t index_;
  };

  class Resolutions final : public ipc::ICapabilityResolutionList {
   TOLLIVAR_IMPLEMENTS_SLOT0()
   public:
    explicit Resolutions(ProbeResults& owner) : owner_(owner) {}
    void AddResolution(const char* text, std::uint32_t width, std::uint32_t height,
                       std::uint32_t frame_interval_ms) override {
      std::lock_guard guard(owner_.mutex_);
      owner_.report_.resolutions.push_back(
          {text != nullptr ? text : "", width, height, frame_interval_ms});
    }

   private:
    ProbeResults& owner_;
  };

  class Rates final : public ipc::ICapabilityFrameRateList {
   TOLLIVAR_IMPLEMENTS_SLOT0()
   public:
    explicit Rates(ProbeResults& owner) : owner_(owner) {}
    void SetDefaultFrameInterval(std::uint32_t ms) override {
      std::lock_guard guard(owner_.mutex_);
      owner_.report_.default_frame_interval_ms = ms;
    }
    void AddFrameInterval(std::uint32_t ms) override {
      std::lock_guard guard(owner_.mutex_);
      owner_.report_.frame_intervals_ms.push_back(ms);
    }

   private:
    ProbeResults& owner_;
  };

  std::mutex mutex_;
  ProbeReport& report_;
  Field fields_[4] = {};
  std::map<std::uint32_t, std::unique_ptr<Item>> items_;
  Resolutions resolutions_{*this};
  Rates rates_{*this};
};

// The callback: the first outcome wakes the waiting host thread.
class ProbeEvents final : public ipc::ICapabilityQueryEvents {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  void OnQueryCompleted() override { Record(true, 0, ""); }
  void OnQueryFailed(std::int32_t code, const char* message) override {
    Record(false, code, message != nullptr ? message : "");
  }

  // Waits until an outcome arrived or `until`; true when one did.
  bool WaitUntil(Clock::time_point until) {
    std::unique_lock guard(mutex_);
    return changed_.wait_until(guard, until, [this] { return reported_; });
  }
  void CopyTo(ProbeReport& report) {
    std::lock_guard guard(mutex_);
    if (!reported_) return;
    report.outcome = completed_ ? ProbeReport::Outcome::kCompleted : ProbeReport::Outcome::kFailed;
    report.failure_code = code_;
    report.failure_message = message_;
  }

 private:
  void Record(bool completed, std::int32_t code, const char* message) {
    {
      std::lock_guard guard(mutex_);
      if (reported_) return;
      reported_ = true;
      completed_ = completed;
      code_ = code;
      message_ = message;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool reported_ = false;
  bool completed_ = false;
  std::int32_t code_ = -1;
  std::string message_;
};

const char* OutcomeText(const ProbeReport& report) {
  switch (report.outcome) {
    case ProbeReport::Outcome::kCompleted: return "completed";
    case ProbeReport::Outcome::kFailed: return "failed";
    case ProbeReport::Outcome::kTimedOut: return "timed out";
    case ProbeReport::Outcome::kNotStarted: return "not started";
  }
  return "?";
}

// 0 when parsed, 1 on a usage error, -1 after --help.
int ParseProbe(int argc, char** argv, ProbeOptions* o) {
  const std::vector<Option> options = {
      TextOption("--address", &o->address),  NumberOption("--port", 1, 65535, &o->port),
      TextOption("--user", &o->user),        TextOption("--password", &o->password),
      NumberOption("--timeout", 1, 3600, &o->timeout_s), TextOption("--library", &o->library),
      FlagOption("--ntsc", &o->ntsc),        FlagOption("--json", &o->json),
  };
  const Parsed parsed = ParseOptions(argc, argv, options);
  if (parsed == Parsed::kHelp) {
    PrintProbeUsage();
    return -1;
  }
  if (parsed == Parsed::kUsageError) return 1;
  if (o->address.empty() || o->port == 0) {
    std::fputs("tollivar-host: probe needs --address and --port\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace

bool CapabilityQueryApi::Load(const SharedLibrary& library) {
  init = reinterpret_cast<decltype(init)>(library.Symbol("InitCapabilityQuery"));
  start = reinterpret_cast<decltype(start)>(library.Symbol("StartCapabilityQuery"));
  terminate = reinterpret_cast<decltype(terminate)>(library.Symbol("TerminateCapabilityQuery"));
  uninit = reinterpret_cast<decltype(uninit)>(library.Symbol("UninitCapabilityQuery"));
  return init != nullptr && start != nullptr && terminate != nullptr && uninit != nullptr;
}

std::vector<std::string> ProbeReport::Codecs() const {
  std::vector<std::string> names;
  for (const auto& [id, value] : capabilities) {
    if (value == 0) continue;
    if (id == 8) names.push_back("MJPEG");
    if (id == 6) names.push_back("MPEG-4");
    if (id == 7) names.push_back("H.264");
  }
  return names;
}

std::uint32_t RateOfInterval(std::uint32_t interval_ms) {
  if (interval_ms == 0) return 0;
  return static_cast<std::uint32_t>((2000ull + interval_ms) / (2ull * interval_ms));
}

ProbeReport RunProbe(const CapabilityQueryApi& api, const ProbeOptions& options,
                     const std::atomic<bool>* interrupt) {
  ProbeReport report;
  ProbeEvents events;
  auto results = std::make_unique<ProbeResults>(report);
  if (api.init(&events, options.ntsc ? 1 : 0) != 1) {
    report.failure_message = "another capability query is in progress in this process";
    return report;
  }
  if (api.start(options.address.c_str(), static_cast<std::int32_t>(options.port),
                options.user.c_str(), options.password.c_str(), results.get()) != 1) {
    api.uninit();
    report.failure_message = "the query was not started (check the address and port)";
    return report;
  }

  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.timeout_s);
  bool terminated = false;
  Clock::time_point give_up = deadline + kTerminateGrace;
  while (!events.WaitUntil(std::min(Clock::now() + kPollInterval, give_up))) {
    const Clock::time_point now = Clock::now();
    if (now >= give_up) break;
    const bool interrupted = interrupt != nullptr && interrupt->load();
    if (!terminated && (interrupted || now >= deadline)) {
      terminated = true;
      report.interrupted = interrupted;
      api.terminate();
      give_up = std::min(give_up, now + kTerminateGrace);
    }
  }
  // Joins the query thread: from here on nothing writes into the report.
  api.uninit();
  events.CopyTo(report);
  if (report.outcome == ProbeReport::Outcome::kNotStarted) {
    report.outcome = ProbeReport::Outcome::kTimedOut;
    report.failure_message = "no answer from the query";
  } else if (terminated && !report.interrupted && report.outcome == ProbeReport::Outcome::kFailed) {
    report.outcome = ProbeReport::Outcome::kTimedOut;
  }
  return report;
}

std::string ProbeJson(const ProbeReport& r) {
  using Json = nlohmann::ordered_json;
  Json out = {{"result", OutcomeText(r)}};
  if (r.outcome != ProbeReport::Outcome::kCompleted) {
    out["code"] = r.failure_code;
    out["message"] = r.failure_message;
  }
  if (r.interrupted) out["interrupted"] = true;
  out["model"] = r.model;
  out["address"] = r.connection[0];
  out["port"] = r.connection[1];
  out["user"] = r.connection[2];
  out["codecs"] = r.Codecs();
  out["resolutions"] = Json::array();
  for (const ProbeReport::Resolution& e : r.resolutions) {
    out["resolutions"].push_back({{"size", e.text}, {"width", e.width}, {"height", e.height},
                                  {"frame_interval_ms", e.frame_interval_ms}});
  }
  out["frame_rates"] = Json::array();
  for (const std::uint32_t ms : r.frame_intervals_ms) out["frame_rates"].push_back(RateOfInterval(ms));
  out["frame_intervals_ms"] = r.frame_intervals_ms;
  out["default_frame_rate"] = RateOfInterval(r.default_frame_interval_ms);
  out["default_frame_interval_ms"] = r.default_frame_interval_ms;
  out["capabilities"] = Json::array();
  for (const auto& [id, value] : r.capabilities) out["capabilities"].push_back({id, value});
  out["properties"] = Json::array();
  for (const ProbeReport::Property& p : r.properties) {
    out["properties"].push_back(
        {{"id", p.id}, {"name", p.name}, {"value", p.value}, {"flag", p.flag}});
  }
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ProbeText(const ProbeReport& r) {
  std::string out;
  auto line = [&out](const std::string& label, const std::string& value) {
    out += label;
    out.append(label.size() < 14 ? 14 - label.size() : 1, ' ');
    out += value + "\n";
  };
  line("model:", r.model);
  std::string codecs;
  for (const std::string& name : r.Codecs()) codecs += (codecs.empty() ? "" : " ") + name;
  line("codecs:", codecs);
  out += "resolutions:\n";
  for (const ProbeReport::Resolution& e : r.resolutions) {
    out += "  " + e.text + "  " + std::to_string(e.frame_interval_ms) + " ms (" +
           std::to_string(RateOfInterval(e.frame_interval_ms)) + " fps)\n";
  }
  std::string rates;
  for (const std::uint32_t ms : r.frame_intervals_ms) {
    rates += (rates.empty() ? "" : " ") + std::to_string(RateOfInterval(ms));
  }
  line("frame rates:", rates + " fps");
  line("default rate:", std::to_string(RateOfInterval(r.default_frame_interval_ms)) + " fps (" +
                            std::to_string(r.default_frame_interval_ms) + " ms)");
  std::string capabilities;
  for (const auto& [id, value] : r.capabilities) {
    capabilities += (capabilities.empty() ? "" : " ") + std::to_string(id) + "=" +
                    std::to_string(value);
  }
  line("capabilities:", capabilities);
  out += "properties:\n";
  for (const ProbeReport::Property& p : r.properties) {
    out += "  " + std::to_string(p.id) + " " + p.name + ": " + p.value + "\n";
  }
  return out;
}

void PrintProbeUsage() {
  std::fputs(
      "usage: tollivar-host probe --address A --port P --user U --password W [--ntsc] [--json]\n"
      "                           [--timeout S] [--library PATH]\n"
      "\n"
      "Asks a CNB camera what it is and can do through the driver's capability query and\n"
      "prints model, codecs, resolutions, frame rates, capability ids and device properties.\n"
      "\n"
      "  --ntsc             assume NTSC until the camera tells its video standard\n"
      "  --json             print one JSON object on stdout\n"
      "  --timeout S        give up after S seconds (default 30)\n"
      "  --library PATH     libtollivar.so to load (default: beside the build tree)\n"
      "exit codes: 0 answered, 1 usage error, 2 the query failed, 130 interrupted (Ctrl-C)\n",
      stderr);
}

int Probe(int argc, char** argv, const std::string& program_folder) {
  ProbeOptions options;
  const int parsed = ParseProbe(argc, argv, &options);
  if (parsed < 0) return 0;
  if (parsed != 0) return 1;
  if (options.library.empty()) options.library = DefaultLibrary(program_folder);

  std::string error;
  ProbeReport report;
  {
    const std::unique_ptr<SharedLibrary> library = SharedLibrary::Open(options.library, &error);
    if (!library) {
      std::fprintf(stderr, "tollivar-host: cannot load %s: %s\n", options.library.c_str(),
                   error.c_str());
      return 2;
    }
    CapabilityQueryApi api;
    if (!api.Load(*library)) {
      std::fprintf(stderr, "tollivar-host: %s lacks the capability query entry points\n",
                   options.library.c_str());
      return 2;
    }
    report = RunProbe(api, options, &WatchInterrupts());
  }
  if (options.json) {
    std::printf("%s\n", ProbeJson(report).c_str());
  } else if (report.outcome == ProbeReport::Outcome::kCompleted) {
    std::fputs(ProbeText(report).c_str(), stdout);
  }
  if (report.outcome == ProbeReport::Outcome::kCompleted) return 0;
  if (report.interrupted) {
    std::fputs("tollivar-host: probe interrupted\n", stderr);
    return kExitInterrupted;
  }
  std::fprintf(stderr, "tollivar-host: probe %s: code %d: %s\n", OutcomeText(report),
               static_cast<int>(report.failure_code), report.failure_message.c_str());
  return 2;
}

}  // namespace tollivar_host
