#include "io/io_base.h"

#include <memory>
#include <utility>

namespace korvane {
namespace {

std::map<std::uint32_t, std::int32_t> ZeroStates(std::uint32_t count) {
  std::map<std::uint32_t, std::int32_t> states;
  for (std::uint32_t index = 0; index < count; ++index) states.emplace_hint(states.end(), index, 0);
  return states;
}

}  // namespace

CIOBase::CIOBase(IDriver* owner)
    : owner_(owner), input_poller_(owner), output_worker_(owner) {
  input_poller_.Bind(this, &CIOBase::GetInputStatesWrapper);
  output_worker_.Bind(this, &CIOBase::SetOutputStateWrapper);
  // Until StartIO nothing handles the queue: a change queued now would wait unhandled and then
  // run ahead of the start's own changes. The set stop event refuses it, as after StopIO.
  output_worker_.SignalStop();
}

CIOBase::~CIOBase() { StopThreads(); }

void CIOBase::StopThreads() {
  output_worker_.SignalStop();
  input_poller_.SignalStop();
  output_worker_.StopQueue();
  input_poller_.StopThread(kInputStopMs);
}

bool CIOBase::SetEventSink(ICaptureIOEvents* sink) {
  if (sink == nullptr) return false;
  CAutoLock guard(state_lock_);
  sink_ = sink;
  return true;
}

ICaptureIOEvents* CIOBase::Sink() const {
  CAutoLock guard(state_lock_);
  return sink_;
}

std::string CIOBase::ThreadName(const char* base) {
  return std::string(base) + " (" + owner_->GetDriverName() + ")";
}

bool CIOBase::StartIO() {
  // A second start would rebuild the maps with zeros while the outputs stay where the running
  // worker put them, and then fail to start the threads that already run.
  if (started_.exchange(true)) return true;
  try {
    ResetStates();
    OnStartIO();
    bool ok = true;
    const auto [inputs, outputs] = owner_->GetIOCounts();
    if (outputs > 0) {
      if (output_worker_.StartQueue(ThreadName("Digital Output thread"))) {
        const std::uint32_t count = GetOutputCount();
        for (std::uint32_t index = 0; index < count; ++index) {
          QueueOutputState(index, kActiveState);
        }
      } else {
        owner_->DebugMessage(kLogError, "%s: Start Output thread failed! Device %s",
                             "korvane::CIOBase::StartIO", owner_->GetAddressAndPort().c_str());
        ok = false;
      }
    }
    if (inputs > 0) {
      input_poller_.SetTickAtStart(true);
      if (!input_poller_.StartThread(ThreadName("Digital Input thread"))) {
        owner_->DebugMessage(kLogError, "%s: Start Input thread failed! Device %s",
                             "korvane::CIOBase::StartIO", owner_->GetAddressAndPort().c_str());
        ok = false;
      }
    }
    return ok;
  } catch (...) {
    return false;  // nothing may escape to the host
  }
}

bool CIOBase::StopIO() {
  // Both leave their waits at once; then each is joined.
  output_worker_.SignalStop();
  input_poller_.SignalStop();
  OnStopIO();
  bool ok = true;
  if (!output_worker_.StopQueue()) {
    owner_->DebugMessage(kLogError, "%s: Stop Output thread failed! Device %s",
                         "korvane::CIOBase::StopIO", owner_->GetAddressAndPort().c_str());
    ok = false;
  }
  if (!input_poller_.StopThread(kInputStopMs)) {
    owner_->DebugMessage(kLogError, "%s: Stop Input thread failed! Device %s",
                         "korvane::CIOBase::StopIO", owner_->GetAddressAndPort().c_str());
    ok = false;
  }
  try {
    ResetStates();
  } catch (...) {
    ok = false;
  }
  started_ = false;
  return ok;
}

std::uint32_t CIOBase::GetInputCount() { return owner_->GetIOCounts().first; }

std::uint32_t CIOBase::GetOutputCount() { return owner_->GetIOCounts().second; }

bool CIOBase::QueueOutputState(std::uint32_t index, std::int32_t state) {
  try {
    return output_worker_.AddWorkItem(std::make_unique<COutputState>(index, state));
  } catch (...) {
    return false;
  }
}

void CIOBase::ResetStates() {
  const auto [inputs, outputs] = owner_->GetIOCounts();
  // Built outside the lock; only the swap runs under it.
  auto output_states = ZeroStates(outputs);
  auto input_states = ZeroStates(inputs);
  {
    CAutoLock guard(state_lock_);
    output_states_.swap(output_states);
    input_states_.swap(input_states);
  }
}

bool CIOBase::DisarmLocked(bool& armed) {
  const bool was_armed = armed;
  armed = false;
  return was_armed;
}

void CIOBase::SetOutputStateWrapper(std::uint32_t index, std::int32_t state) {
  {
    CAutoLock guard(state_lock_);
    const auto it = output_states_.find(index);
    // Unknown: out of range, or queued before a reset to fewer outputs. Unchanged: nothing to
    // send.
    if (it == output_states_.end() || it->second == state) return;
    it->second = state;
  }
  if (SetOutputState(index, state)) {
    CAutoLock guard(state_lock_);
    output_error_armed_ = true;
    return;
  }
  // A request cut short by StopIO is dropped like the changes still queued; StopIO resets the
  // states itself.
  if (IsOutputStopRequested()) return;

  // Every output, the failed one included, is back at 0, so the next differing change is sent.
  ResetStates();
  bool log = false;
  ICaptureIOEvents* sink = nullptr;
  {
    CAutoLock guard(state_lock_);
    log = DisarmLocked(output_error_armed_);
    sink = sink_;
  }
  if (sink != nullptr) sink->OnIOError();
  if (log) {
    const DEVICE_INFO* device = owner_->GetDeviceInfo();
    owner_->DebugMessage(kLogError,
                         "%s: Unable to change output state for device %s:%u (output index %u)",
                         "korvane::CIOBase::SetOutputStateWrapper", device->address.c_str(),
                         static_cast<unsigned>(device->port), static_cast<unsigned>(index));
  }
}

void CIOBase::GetInputStatesWrapper() {
  if (GetInputStates(GetInputCount())) {
    CAutoLock guard(state_lock_);
    input_error_armed_ = true;
    return;
  }
  ResetStates();
  bool log = false;
  ICaptureIOEvents* sink = nullptr;
  {
    CAutoLock guard(state_lock_);
    log = DisarmLocked(input_error_armed_);
    sink = sink_;
  }
  if (sink != nullptr) sink->OnIOError();
  if (log) {
    const DEVICE_INFO* device = owner_->GetDeviceInfo();
    owner_->DebugMessage(kLogError, "%s: GetInputStates() method failed! Device %s:%u",
                         "korvane::CIOBase::GetInputStatesWrapper", device->address.c_str(),
                         static_cast<unsigned>(device->port));
  }
}

void CIOBase::ReportInputStates(const std::vector<std::int32_t>& states) {
  std::vector<std::uint32_t> changed;
  {
    CAutoLock guard(state_lock_);
    for (std::uint32_t index = 0; index < states.size(); ++index) {
      const auto it = input_states_.find(index);
      if (it == input_states_.end() || it->second == states[index]) continue;
      it->second = states[index];
      changed.push_back(index);
    }
  }
  ICaptureIOEvents* sink = Sink();
  if (sink == nullptr) return;
  for (const std::uint32_t index : changed) sink->OnInputStateChanged(index, states[index]);
}

std::map<std::uint32_t, std::int32_t> CIOBase::OutputStatesSnapshot() const {
  CAutoLock guard(state_lock_);
  return output_states_;
}

std::map<std::uint32_t, std::int32_t> CIOBase::InputStatesSnapshot() const {
  CAutoLock guard(state_lock_);
  return input_states_;
}

}  // namespace korvane
