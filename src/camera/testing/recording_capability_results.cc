#include "camera/testing/recording_capability_results.h"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace korvane::testing {

namespace ipc = ipcapture;

class RecordingCapabilityResults::TextField : public ipc::ICapabilityTextField {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  TextField(RecordingCapabilityResults& owner, std::uint32_t field)
      : owner_(owner), field_(field) {}
  void SetText(const char* text) override {
    owner_.Add("field " + std::to_string(field_) + " " + (text != nullptr ? text : "<null>"));
  }

 private:
  RecordingCapabilityResults& owner_;
  const std::uint32_t field_;
};

class RecordingCapabilityResults::PropertyItem : public ipc::ICapabilityPropertyItem {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  PropertyItem(RecordingCapabilityResults& owner, std::uint32_t id) : owner_(owner), id_(id) {}
  void SetValue(const char* value) override { Add("value", value); }
  void SetFlag(std::int32_t flag) override { Add("flag", std::to_string(flag).c_str()); }
  void SetName(const char* name) override { Add("name", name); }
  void SetOption(std::int32_t option) override { Add("option", std::to_string(option).c_str()); }

 private:
  void Add(const char* what, const char* text) {
    owner_.Add("item " + std::to_string(id_) + " " + what + " " +
               (text != nullptr ? text : "<null>"));
  }
  RecordingCapabilityResults& owner_;
  const std::uint32_t id_;
};

class RecordingCapabilityResults::ResolutionList : public ipc::ICapabilityResolutionList {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  explicit ResolutionList(RecordingCapabilityResults& owner) : owner_(owner) {}
  void AddResolution(const char* text, std::uint32_t width, std::uint32_t height,
                     std::uint32_t frame_interval_ms) override {
    owner_.Add("resolution " + std::string(text != nullptr ? text : "<null>") + " " +
               std::to_string(width) + " " + std::to_string(height) + " " +
               std::to_string(frame_interval_ms));
  }

 private:
  RecordingCapabilityResults& owner_;
};

class RecordingCapabilityResults::FrameRateList : public ipc::ICapabilityFrameRateList {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  explicit FrameRateList(RecordingCapabilityResults& owner) : owner_(owner) {}
  void SetDefaultFrameInterval(std::uint32_t ms) override {
    owner_.Add("default " + std::to_string(ms));
  }
  void AddFrameInterval(std::uint32_t ms) override { owner_.Add("interval " + std::to_string(ms)); }

 private:
  RecordingCapabilityResults& owner_;
};

RecordingCapabilityResults::RecordingCapabilityResults()
    : resolutions_(std::make_unique<ResolutionList>(*this)),
      frameRates_(std::make_unique<FrameRateList>(*this)) {}

RecordingCapabilityResults::~RecordingCapabilityResults() = default;

void RecordingCapabilityResults::Add(std::string line) {
  std::lock_guard guard(mutex_);
  lines_.push_back(std::move(line));
}

void RecordingCapabilityResults::SetCapability(std::uint32_t id, std::uint32_t value) {
  Add("capability " + std::to_string(id) + " " + std::to_string(value));
}

void RecordingCapabilityResults::SetModelName(const char* name) {
  if (throwOnModelName) throw std::runtime_error("host fault");
  Add(std::string("model ") + (name != nullptr ? name : "<null>"));
}

ipc::ICapabilityTextField* RecordingCapabilityResults::GetConnectionField(std::uint32_t field) {
  if (nullConnectionFields.contains(field)) return nullptr;
  std::lock_guard guard(mutex_);
  auto& slot = fields_[field];
  if (!slot) slot = std::make_unique<TextField>(*this, field);
  return slot.get();
}

ipc::ICapabilityPropertyItem* RecordingCapabilityResults::GetPropertyItem(std::uint32_t id) {
  if (nullPropertyItems.contains(id)) return nullptr;
  std::lock_guard guard(mutex_);
  auto& slot = items_[id];
  if (!slot) slot = std::make_unique<PropertyItem>(*this, id);
  return slot.get();
}

ipc::ICapabilityResolutionList* RecordingCapabilityResults::GetResolutionList() {
  return nullResolutionList ? nullptr : resolutions_.get();
}

ipc::ICapabilityFrameRateList* RecordingCapabilityResults::GetFrameRateList(std::uint32_t list) {
  if (list != 1) Add("list " + std::to_string(list));
  return nullFrameRateList ? nullptr : frameRates_.get();
}

std::vector<std::string> RecordingCapabilityResults::Lines() const {
  std::lock_guard guard(mutex_);
  return lines_;
}

std::vector<std::string> RecordingCapabilityResults::LinesStartingWith(
    const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : Lines()) {
    if (line.starts_with(prefix)) lines.push_back(line);
  }
  return lines;
}

void RecordingQueryEvents::OnQueryCompleted() { Record({true, -1, {}}); }

void RecordingQueryEvents::OnQueryFailed(std::int32_t code, const char* message) {
  Record({false, code, message != nullptr ? message : "<null>"});
}

void RecordingQueryEvents::Record(QueryOutcome outcome) {
  {
    std::lock_guard guard(mutex_);
    outcomes_.push_back(std::move(outcome));
  }
  changed_.notify_all();
  if (onOutcome) onOutcome();
}

std::optional<QueryOutcome> RecordingQueryEvents::WaitForOutcome(int timeoutMs) {
  std::unique_lock guard(mutex_);
  if (!changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [this] { return !outcomes_.empty(); })) {
    return std::nullopt;
  }
  return outcomes_.front();
}

std::vector<QueryOutcome> RecordingQueryEvents::Outcomes() const {
  std::lock_guard guard(mutex_);
  return outcomes_;
}

}  // namespace korvane::testing
