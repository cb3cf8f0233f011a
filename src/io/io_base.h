#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/lock.h"
#include "core/idriver.h"
#include "io/io_threads.h"
#include "tollivar/capture_io.h"

namespace korvane {

// The generic half of a device's digital I/O object.
//
// Owns two threads: an output worker that applies queued output changes one at a time, in the
// order queued, and an input poller that asks the device-specific half for the input states every
// 5000 ms (the first time as soon as it runs). It keeps the last state of every output and input,
// reports input changes to the host's event sink, and turns a failure into a reset of all known
// states, one OnIOError to the sink and one log line per streak of failures.
//
// Threads: the host calls the ICaptureIOApi operations; SetOutputStateWrapper runs on the output
// worker, GetInputStatesWrapper on the poller, and every sink call arrives on one of those two.
// The state maps, the sink and the error flags are shared by the three: they sit under one lock
// that is never held while the camera or the sink is called.
class CIOBase : public ICaptureIOApi {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  // The one state value the driver gives a meaning: every output is put in it at start, and
  // every input is reported in it.
  static constexpr std::int32_t kActiveState = 1;
  static constexpr std::uint32_t kInputStopMs = 5000;

  // `owner` is not owned and must outlive this object.
  explicit CIOBase(IDriver* owner);
  // Stops both threads before the members they use go away. A subclass whose overrides the
  // threads call must call StopThreads() in its own destructor.
  // Virtual in every build: on Windows the interfaces' destructors are not (see tollivar/abi.h).
  virtual ~CIOBase();
  CIOBase(const CIOBase&) = delete;
  CIOBase& operator=(const CIOBase&) = delete;

  // ICaptureIOApi
  bool SetEventSink(ICaptureIOEvents* sink) override;
  // Rebuilds the state maps, starts the threads and queues state 1 for every output. On an
  // object that is already started it returns true and changes nothing.
  bool StartIO() override;
  // Stops both threads (queued changes are dropped) and rebuilds the state maps with zeros.
  // False when a thread could not be stopped: asked from a sink call, on that very thread.
  bool StopIO() override;
  std::uint32_t GetInputCount() override;
  std::uint32_t GetOutputCount() override;
  // Queues the change for the output worker and returns at once. False (nothing queued) while
  // the object is not started.
  bool QueueOutputState(std::uint32_t index, std::int32_t state) override;

  // Runs on the output worker for each queued change: sends it unless the output is unknown or
  // already in that state.
  virtual void SetOutputStateWrapper(std::uint32_t index, std::int32_t state);
  // The device-specific change of one output; true on success.
  virtual bool SetOutputState(std::uint32_t index, std::int32_t state) = 0;
  // The device-specific reading of `count` inputs, which reports changes itself (through
  // ReportInputStates); true on success.
  virtual bool GetInputStates(std::uint32_t count) = 0;
  // Hooks called by StartIO and StopIO.
  virtual void OnStartIO() {}
  virtual void OnStopIO() {}

  // The poller's tick.
  void GetInputStatesWrapper();
  // Every output and every input of the device's current counts is known again, with state 0.
  void ResetStates();

  std::map<std::uint32_t, std::int32_t> OutputStatesSnapshot() const;
  std::map<std::uint32_t, std::int32_t> InputStatesSnapshot() const;

  // Tests poll faster than every 5000 ms. Call before StartIO.
  void SetInputPollIntervalForTesting(std::uint32_t interval_ms) {
    input_poller_.SetTickInterval(interval_ms);
  }

 protected:
  IDriver* Owner() const { return owner_; }

  // Stores states[i] for every known input i and reports each input whose state changed to the
  // sink, in ascending order, after the states are stored.
  void ReportInputStates(const std::vector<std::int32_t>& states);

  // True once StopIO (or destruction) began: a camera request of the output worker may give up.
  bool IsOutputStopRequested() const { return output_worker_.IsStopRequested(); }

  // Signals both threads and waits for them. Idempotent.
  void StopThreads();

 private:
  ICaptureIOEvents* Sink() const;
  // Clears the armed flag and returns its old value: true when this failure is to be logged.
  bool DisarmLocked(bool& armed) REQUIRES(state_lock_);
  std::string ThreadName(const char* base);

  IDriver* const owner_;
  TTickThread<CIOBase> input_poller_;
  TOutputHandler<CIOBase> output_worker_;

  mutable CLock state_lock_;
  std::map<std::uint32_t, std::int32_t> output_states_ GUARDED_BY(state_lock_);
  ICaptureIOEvents* sink_ GUARDED_BY(state_lock_) = nullptr;
  std::map<std::uint32_t, std::int32_t> input_states_ GUARDED_BY(state_lock_);
  bool input_error_armed_ GUARDED_BY(state_lock_) = true;
  bool output_error_armed_ GUARDED_BY(state_lock_) = true;

  // Between StartIO and StopIO.
  std::atomic<bool> started_{false};
};

}  // namespace korvane
