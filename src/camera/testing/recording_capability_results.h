#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tollivar/capability_query.h"

// Host result and callback objects of the capability query for tests: every call is recorded
// as one line of text, in call order, so a test can compare the whole conversation.
namespace korvane::testing {

// Lines:
//   "model <name>"                      SetModelName
//   "field <n> <text>"                  GetConnectionField(n)->SetText
//   "capability <id> <value>"           SetCapability
//   "resolution <text> <w> <h> <ms>"    GetResolutionList()->AddResolution
//   "interval <ms>" / "default <ms>"    GetFrameRateList(1)->AddFrameInterval / SetDefault...
//   "item <id> name <text>", "item <id> option <n>", "item <id> flag <n>",
//   "item <id> value <text>"            GetPropertyItem(id)->...
//   "list <n>"                          GetFrameRateList(n) with n other than 1
class RecordingCapabilityResults : public ipcapture::ICapabilityResults {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  RecordingCapabilityResults();
  virtual ~RecordingCapabilityResults();

  void SetCapability(std::uint32_t id, std::uint32_t value) override;
  void SetModelName(const char* name) override;
  ipcapture::ICapabilityTextField* GetConnectionField(std::uint32_t field) override;
  ipcapture::ICapabilityPropertyItem* GetPropertyItem(std::uint32_t id) override;
  ipcapture::ICapabilityResolutionList* GetResolutionList() override;
  ipcapture::ICapabilityFrameRateList* GetFrameRateList(std::uint32_t list) override;

  std::vector<std::string> Lines() const;
  // The lines that start with `prefix` (such as "capability " or "resolution ").
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

  // Faults of a host: these getters return null; SetModelName throws.
  std::set<std::uint32_t> nullConnectionFields;
  std::set<std::uint32_t> nullPropertyItems;
  bool nullResolutionList = false;
  bool nullFrameRateList = false;
  bool throwOnModelName = false;

  void Add(std::string line);

 private:
  class TextField;
  class PropertyItem;
  class ResolutionList;
  class FrameRateList;

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::map<std::uint32_t, std::unique_ptr<TextField>> fields_;
  std::map<std::uint32_t, std::unique_ptr<PropertyItem>> items_;
  std::unique_ptr<ResolutionList> resolutions_;
  std::unique_ptr<FrameRateList> frameRates_;
};

// The outcome a query reported through its callback.
struct QueryOutcome {
  bool completed = false;
  std::int32_t code = -1;
  std::string message;
};

// Records the callback calls; a test waits for the first one.
class RecordingQueryEvents : public ipcapture::ICapabilityQueryEvents {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  void OnQueryCompleted() override;
  void OnQueryFailed(std::int32_t code, const char* message) override;

  // The first outcome, waiting at most `timeoutMs` for it.
  std::optional<QueryOutcome> WaitForOutcome(int timeoutMs);
  // Every outcome so far (a query reports exactly one).
  std::vector<QueryOutcome> Outcomes() const;

  // Called on the query thread inside the callback, after the outcome is recorded.
  std::function<void()> onOutcome;

 private:
  void Record(QueryOutcome outcome);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<QueryOutcome> outcomes_;
};

}  // namespace korvane::testing
