#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "base/mutex.h"
#include "camera/base_camera_properties.h"
#include "core/device_info.h"
#include "tollivar/capability_query.h"

namespace korvane {

// The capability query service behind the four C entry points: one query per cycle of
// Init ... Uninit, run on its own thread, which reads the camera (CCNBCameraProperties), writes
// the results into the host's object and reports the outcome through the host's callback.
//
// The entry points may be called from any host thread, also from within the callback. They
// share the state below with the query thread under `lock_`, which is never held while the
// camera, the host or a thread join is waited for. No thread is killed: Uninit stops the query
// (the HTTP request in flight is cut at once) and joins its thread.
class CCapabilityQuery {
 public:
  // Messages given to OnQueryFailed.
  static constexpr char kFailedToGetProperties[] = "Failed to get camera properties";
  static constexpr char kInternalError[] =
      "Failed to start capability fetching thread. Internal error occurs";
  static constexpr char kCreateFailed[] = "Failed to create camera properties object";
  static constexpr char kInvalidAddress[] = "Camera address is invalid!";
  static constexpr char kLoginFailedSuffix[] = ", login failed (invalid credentials)";
  static constexpr char kOfflineSuffix[] = ", device is offline or is in unaccessible subnet";
  static constexpr char kSaveFailed[] = "Failed to save capability query results";
  static constexpr char kUnhandledException[] =
      "Failed to get camera properties. Unhandled exception occurs.";
  // Request time-out of the query's camera requests.
  static constexpr uint32_t kRequestTimeoutMs = 5000;
  // Uninit's wait for the query thread. A stop cuts the thread's HTTP request at once, so it
  // ends well within this; past it Uninit goes on waiting, since a thread is never killed.
  static constexpr uint32_t kJoinTimeoutMs = 5000;

  CCapabilityQuery();
  // Uninit.
  ~CCapabilityQuery();
  CCapabilityQuery(const CCapabilityQuery&) = delete;
  CCapabilityQuery& operator=(const CCapabilityQuery&) = delete;

  // Stores the callback (null: the query runs without one) and the initial video standard (low
  // byte of `ntsc`). 0 when the cycle is already initialised (the first callback stays), else 1.
  int32_t Init(ipcapture::ICapabilityQueryEvents* events, int32_t ntsc);
  // Starts the query thread: 1 when started. 0 without a preceding Init, for a null or empty
  // address, port 0 (low 16 bits), a null user name or password, or when this cycle already
  // started a query.
  int32_t Start(const char* address, int32_t port, const char* userName, const char* password,
                ipcapture::ICapabilityResults* results);
  // Asks a running query to stop; does not wait. 1.
  int32_t Terminate();
  // Stops and joins the query, releases everything of the cycle. 1.
  int32_t Uninit();

  // True while a query thread exists that has not been joined (for tests: none after Uninit).
  bool HasThread() const;

  // True when the address holds a character that no camera address has (the colon among them,
  // so an address cannot carry a port).
  static bool IsInvalidAddress(std::string_view address);

 private:
  class QueryThread;
  enum class ThreadState { kNotStarted, kStarted, kReleased };

  void RunQuery();
  void Report(bool completed, int32_t code, const char* message);
  // Joins a thread left by an Uninit from its own callback (unless called on that thread).
  void ReapFinished();
  // Stops the property object (if any) and makes the thread's own creation of one see the stop.
  void StopLocked() REQUIRES(lock_);

  mutable CMutex lock_;
  bool initialised_ GUARDED_BY(lock_) = false;
  ipcapture::ICapabilityQueryEvents* events_ GUARDED_BY(lock_) = nullptr;
  bool ntsc_ GUARDED_BY(lock_) = false;
  ipcapture::ICapabilityResults* results_ GUARDED_BY(lock_) = nullptr;
  std::unique_ptr<DEVICE_INFO> device_ GUARDED_BY(lock_);
  // Shared with the query thread, which keeps its own reference while it queries.
  std::shared_ptr<CBaseCameraProperties> properties_ GUARDED_BY(lock_);
  bool stopRequested_ GUARDED_BY(lock_) = false;
  ThreadState threadState_ GUARDED_BY(lock_) = ThreadState::kNotStarted;
  std::unique_ptr<QueryThread> thread_ GUARDED_BY(lock_);
  // A thread whose Uninit came from within its own callback: joined by the next entry point
  // called on another thread, or by the destructor.
  std::unique_ptr<QueryThread> finishedThread_ GUARDED_BY(lock_);
};

}  // namespace korvane
