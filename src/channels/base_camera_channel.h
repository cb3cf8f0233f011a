#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/event.h"
#include "base/lock.h"
#include "base/thread_role.h"
#include "base/time.h"
#include "channels/camera_channel.h"
#include "core/failure_reason.h"
#include "core/idriver.h"
#include "tollivar/video_capture.h"

namespace korvane {

// Base of every camera channel: the capture thread with its bounded stop, the state the host
// polls, and the online/offline bookkeeping with its log lines. A derived class supplies the
// thread body (CaptureLoop), which watches StopEvent() in every wait.
//
// A derived class must call Stop() in its own destructor, so that the capture thread has ended
// before the parts CaptureLoop uses are destroyed.
class CBaseCameraChannel : public ICameraChannel {
 public:
  // `driver`, `sink` and `clock` must outlive the channel. The clock measures the capture loop's
  // watches and waits.
  CBaseCameraChannel(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink,
                     IClock& clock = SystemClock());
  ~CBaseCameraChannel() override;
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  // Ends a running capture, takes the settings and starts the capture thread.
  bool Start(const ChannelSettings* settings) override;
  // State 3, offline line if the camera was online, capture thread ended.
  void Stop() override;
  // Restarts the capture thread with the new frame interval and picture size; the quality stays.
  bool ChangeSettings(const ChannelSettings* settings) override;
  bool QueryExtensionA() override { return false; }
  bool QueryExtensionB() override { return false; }
  std::int32_t GetState() override;
  std::string GetFailureText() override;

  void SetState(std::int32_t state);
  // Records whether the camera delivers; writes one line per change.
  void SetCameraState(bool online);
  // False when a stop is in progress, a capture thread already exists or it cannot be started.
  bool StartCaptureThread();
  // Sets the stop event and waits for the capture thread. After twice the request time-out a
  // warning is logged and the wait goes on: the thread is never killed. Called on the capture
  // thread itself it only sets the stop event.
  void StopThread();

  // Keeps `reason` as the channel's failure; when it differs from the one kept, writes one
  // warning line naming the device and the reason (a retry that fails the same way writes none).
  void ReportFailure(const CFailureReason& reason);
  // Video flows: forgets the failure, with one information line when there was one.
  void ClearFailure();

  std::uint32_t GetChannelIndex() const { return index_; }
  bool IsOnline();

 protected:
  // The capture thread body. Returns when StopEvent() is set (or the capture has ended).
  virtual std::uint32_t CaptureLoop() = 0;
  // Called by StopThread before it waits for the thread.
  virtual void OnStopping() {}
  // Called by Stop once the stop event is set and before the offline line: returns when no
  // frame is on its way to the host any more (deliveries look at the stop event).
  virtual void OnStopRequested() {}

  IDriver* Driver() const { return driver_; }
  ipcapture::IFrameSink* FrameSink() const { return sink_; }
  // Written by Start and ChangeSettings only while no capture thread runs.
  const ChannelSettings& Settings() const { return settings_; }
  CManualEvent& StopEvent() { return stop_event_; }
  IClock& Clock() const { return clock_; }
  CTime& LastFrameTime() { return last_frame_time_; }
  // "Camera <address>", or "Video-server <address> (channel <n>)" on a multi-channel device;
  // with `capital` false the first letter is lower case.
  std::string DeviceName(bool capital = true) const;

 private:
  void ThreadEntry();

  IClock& clock_;
  ipcapture::IFrameSink* const sink_;
  // Start and Stop run on the host's calling thread (they own the capture thread's life).
  CThreadRole host_thread_;
  bool sockets_started_ GUARDED_BY(host_thread_) = false;
  bool online_ GUARDED_BY(state_lock_) = false;
  CLock state_lock_;
  std::int32_t state_ GUARDED_BY(state_lock_) = kChannelStopped;
  CFailureReason failure_ GUARDED_BY(state_lock_);
  CLock thread_lock_;
  std::thread thread_ GUARDED_BY(thread_lock_);
  // Set by the capture thread itself first thing, so it can recognise itself without a lock.
  std::atomic<std::thread::id> thread_id_{};
  const std::uint32_t index_;
  IDriver* const driver_;
  ChannelSettings settings_;
  CManualEvent stop_event_;
  // Set when CaptureLoop has returned: the waitable form of the thread.
  CManualEvent exited_event_;
  CTime last_frame_time_;
};

}  // namespace korvane
