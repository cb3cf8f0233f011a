#include "channels/base_camera_channel.h"

#include <utility>

#include "base/socket.h"

namespace korvane {
namespace {

// Releases a CLock at scope exit after a successful TryLock(). Built without taking the lock:
// the analysis follows a try-lock by a member function, not by a constructor.
class SCOPED_CAPABILITY CTryLockGuard {
 public:
  explicit CTryLockGuard(CLock& lock) EXCLUDES(lock) : lock_(lock) {}
  ~CTryLockGuard() RELEASE() {
    if (owned_) lock_.Unlock();
  }
  CTryLockGuard(const CTryLockGuard&) = delete;
  CTryLockGuard& operator=(const CTryLockGuard&) = delete;
  // Takes the lock if it is free or already owned by the caller; never blocks. Once only.
  bool TryLock() TRY_ACQUIRE(true) {
    owned_ = lock_.TryLock();
    return owned_;
  }

 private:
  CLock& lock_;
  bool owned_ = false;
};

}  // namespace

CBaseCameraChannel::CBaseCameraChannel(std::uint32_t index, IDriver* driver,
                                       ipcapture::IFrameSink* sink, IClock& clock)
    : clock_(clock), sink_(sink), index_(index), driver_(driver), last_frame_time_(clock) {}

CBaseCameraChannel::~CBaseCameraChannel() {
  CBaseCameraChannel::Stop();
  // Still there only when the channel is destroyed on its own capture thread, which cannot join
  // itself.
  if (thread_.joinable()) thread_.detach();
}

bool CBaseCameraChannel::Start(const ChannelSettings* settings) {
  host_thread_.Assume();
  Stop();
  {
    CAutoLock guard(state_lock_);
    failure_ = {};  // a new run: its own reasons, each logged again
  }
  if (settings != nullptr) settings_ = *settings;
  if (!sockets_started_) sockets_started_ = StartSocketLayer();

  const bool started = StartCaptureThread();
  if (!started && sockets_started_) {
    StopSocketLayer();
    sockets_started_ = false;
  }
  return started;
}

void CBaseCameraChannel::Stop() {
  host_thread_.Assume();
  SetState(kChannelStopped);
  // Signalled before the offline line: a frame still in delivery on another thread must not
  // report the camera online again after it (SetCameraState refuses that once stopping).
  stop_event_.Set();
  OnStopRequested();
  SetCameraState(false);
  StopThread();
  if (sockets_started_) {
    StopSocketLayer();
    sockets_started_ = false;
  }
}

bool CBaseCameraChannel::ChangeSettings(const ChannelSettings* settings) {
  ChannelSettings changed = settings_;
  if (settings != nullptr) {
    changed.frameIntervalMs = settings->frameIntervalMs;
    changed.width = settings->width;
    changed.height = settings->height;
  }
  SetState(kChannelStopped);
  StopThread();
  // Stored only once the old capture thread is gone: it reads the settings without a lock.
  settings_ = changed;
  return StartCaptureThread();
}

std::int32_t CBaseCameraChannel::GetState() {
  CAutoLock guard(state_lock_);
  return state_;
}

void CBaseCameraChannel::SetState(std::int32_t state) {
  CAutoLock guard(state_lock_);
  state_ = state;
}

std::string CBaseCameraChannel::GetFailureText() {
  CAutoLock guard(state_lock_);
  return state_ == kChannelReceiving ? std::string() : failure_.Text();
}

void CBaseCameraChannel::ReportFailure(const CFailureReason& reason) {
  static constexpr char kName[] = "korvane::CBaseCameraChannel::ReportFailure";
  {
    CAutoLock guard(state_lock_);
    if (!reason.IsSet() || reason == failure_) return;
    failure_ = reason;
  }
  // The reason may quote the camera: it goes in as an argument, never as the format.
  driver_->DebugMessage(kLogWarning, "%s: %s gives no video: %s", kName, DeviceName().c_str(),
                        reason.Text().c_str());
}

void CBaseCameraChannel::ClearFailure() {
  static constexpr char kName[] = "korvane::CBaseCameraChannel::ClearFailure";
  CFailureReason was;
  {
    CAutoLock guard(state_lock_);
    if (!failure_.IsSet()) return;
    was = std::exchange(failure_, CFailureReason());
  }
  driver_->DebugMessage(kLogInfo, "%s: %s gives video again (after %s)", kName,
                        DeviceName().c_str(), was.Text().c_str());
}

bool CBaseCameraChannel::IsOnline() {
  CAutoLock guard(state_lock_);
  return online_;
}

std::string CBaseCameraChannel::DeviceName(bool capital) const {
  const std::string& address = driver_->GetDeviceInfo()->address;
  if (driver_->GetChannelCount() > 1) {
    return (capital ? "Video-server " : "video-server ") + address + " (channel " +
           std::to_string(index_) + ")";
  }
  return (capital ? "Camera " : "camera ") + address;
}

void CBaseCameraChannel::SetCameraState(bool online) {
  static constexpr char kName[] = "korvane::CBaseCameraChannel::SetCameraState";
  std::int32_t state;
  {
    // Test and store in one step, so each change is logged exactly once whichever threads
    // report it. The line itself is written after the lock is released.
    CAutoLock guard(state_lock_);
    if (online == online_) return;
    if (online && stop_event_.IsSet()) return;  // the channel is stopping
    online_ = online;
    state = state_;
  }
  const std::string device = DeviceName(state != kChannelSignalLost || online);
  if (online) {
    driver_->DebugMessage(kLogInfo, "%s: %s is online", kName, device.c_str());
  } else if (state == kChannelSignalLost) {
    driver_->DebugMessage(kLogError, "%s: Signal was lost for %s", kName, device.c_str());
  } else if (state == kChannelStopped) {
    driver_->DebugMessage(kLogInfo, "%s: %s is offline. Channel was stopped", kName,
                          device.c_str());
  } else {
    driver_->DebugMessage(kLogError, "%s: %s is offline or failed", kName, device.c_str());
  }
}

bool CBaseCameraChannel::StartCaptureThread() {
  // Only tried: a start that meets a stop in progress fails instead of waiting for it.
  CTryLockGuard guard(thread_lock_);
  if (!guard.TryLock()) return false;
  if (thread_.joinable()) return false;  // a capture thread is already there

  stop_event_.Reset();
  exited_event_.Reset();
  try {
    thread_ = std::thread(&CBaseCameraChannel::ThreadEntry, this);
  } catch (...) {
    return false;
  }
  return thread_.joinable();
}

void CBaseCameraChannel::ThreadEntry() {
  thread_id_.store(std::this_thread::get_id(), std::memory_order_release);
  CaptureLoop();
  exited_event_.Set();
}

void CBaseCameraChannel::StopThread() {
  static constexpr char kName[] = "korvane::CBaseCameraChannel::StopThread";
  stop_event_.Set();

  // On the capture thread itself the thread lock may be held by an owner that is waiting for
  // this very thread: only the stop event is set, the thread stays to be joined by its owner.
  if (thread_id_.load(std::memory_order_acquire) == std::this_thread::get_id()) {
    OnStopping();
    return;
  }

  CAutoLock guard(thread_lock_);
  if (!thread_.joinable()) return;
  OnStopping();

  const std::uint32_t grace_ms = 2 * driver_->GetDeviceInfo()->requestTimeoutMs;
  if (!exited_event_.Wait(grace_ms)) {
    const std::string device = DeviceName(/*capital=*/false);
    driver_->DebugMessage(kLogWarning,
                          "%s: Video capture thread for %s cannot be stopped and will be "
                          "terminated now",
                          kName, device.c_str());
    // The thread is not killed (that would leak whatever it holds): every wait of the capture
    // loop watches the stop event, so it ends; keep waiting for it.
    exited_event_.Wait(kInfinite);
  }
  thread_.join();
  thread_id_.store(std::thread::id(), std::memory_order_release);
}

}  // namespace korvane
