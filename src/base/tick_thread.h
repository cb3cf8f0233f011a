#pragma once

#include <cstdint>

#include "base/base_thread.h"

namespace korvane {

// A thread that calls OnTick() every tick interval until the stop event is set. The interval is
// measured from the end of one OnTick() to the start of the next; stopping takes effect at once.
class CTickThread : public CBaseThread {
 public:
  static constexpr uint32_t kDefaultTickIntervalMs = 5000;

  explicit CTickThread(IDebugMessage* logger) : CBaseThread(logger) {}

  // Both may be changed before StartThread().
  void SetTickInterval(uint32_t interval_ms) { tick_interval_ms_ = interval_ms; }
  void SetTickAtStart(bool tick_at_start) { tick_at_start_ = tick_at_start; }
  uint32_t GetTickInterval() const { return tick_interval_ms_; }
  bool GetTickAtStart() const { return tick_at_start_; }

 protected:
  void Run() override;
  virtual void OnTick() = 0;

  uint32_t tick_interval_ms_ = kDefaultTickIntervalMs;
  bool tick_at_start_ = false;
};

}  // namespace korvane
