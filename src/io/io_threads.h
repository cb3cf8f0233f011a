#pragma once

// The two worker threads of the digital I/O object, each bound to one member function of its
// owner: the input poller ticks it, the output handler calls it for every queued change.

#include <cstdint>

#include "base/queue_thread.h"
#include "base/tick_thread.h"
#include "io/output_state.h"

namespace korvane {

template <typename Owner>
class TTickThread : public CTickThread {
 public:
  using Callback = void (Owner::*)();

  explicit TTickThread(IDebugMessage* logger) : CTickThread(logger) {}
  ~TTickThread() override { JoinThread(kDestructionStopMs); }

  // `owner` must outlive the thread's run.
  void Bind(Owner* owner, Callback callback) {
    owner_ = owner;
    callback_ = callback;
  }

 protected:
  void OnTick() override {
    if (owner_ == nullptr || callback_ == nullptr) return;
    try {
      (owner_->*callback_)();
    } catch (...) {
      // One failed tick (a throwing host sink, an allocation failure) must not end the polling.
    }
  }

 private:
  Owner* owner_ = nullptr;
  Callback callback_ = nullptr;
};

template <typename Owner>
class TOutputHandler : public CQueueThread<COutputState> {
 public:
  using Callback = void (Owner::*)(std::uint32_t index, std::int32_t state);

  explicit TOutputHandler(IDebugMessage* logger) : CQueueThread<COutputState>(logger) {}
  ~TOutputHandler() override { StopQueue(); }

  // `owner` must outlive the thread's run. A virtual `callback` is dispatched through the owner's
  // virtual table, so a subclass override is honoured.
  void Bind(Owner* owner, Callback callback) {
    owner_ = owner;
    callback_ = callback;
  }

 protected:
  void HandleWorkItem(COutputState* item) override {
    if (owner_ == nullptr || callback_ == nullptr || item == nullptr) return;
    (owner_->*callback_)(item->index, item->state);
  }

 private:
  Owner* owner_ = nullptr;
  Callback callback_ = nullptr;
};

}  // namespace korvane
