#pragma once


#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/debug_message.h"
#include "base/event.h"

namespace korvane {

// Base of every worker thread of the driver.
//
// A derived class implements Run() and watches StopEvent() in every wait. The owner starts the
// thread with StartThread() and ends it with JoinThread() or StopThread(): both set the stop event
// and wait for Run() to return, bounded by a time-out after which a diagnostic is logged.
//
// No thread is ever killed: a POSIX thread cannot be terminated safely, and terminating one leaks
// the locks and memory it holds on any platform. Where a bounded stop runs out of time, the
// warning is logged and the wait goes on. That always ends, because every wait in the driver also
// watches its stop event and every blocking call has a time-out.
//
// JoinThread() and StopThread() called from the thread's own Run() only set the stop event and
// return false; they never wait on themselves.
class CBaseThread {
 public:
  static constexpr uint32_t kDestructionStopMs = 2000;

  // logger may be null; it is not owned and must outlive this object.
  explicit CBaseThread(IDebugMessage* logger);
  // Stops the thread (StopThread(kDestructionStopMs) of this class). Derived classes stop their
  // thread in their own destructor, before what Run() uses is destroyed.
  virtual ~CBaseThread();
  CBaseThread(const CBaseThread&) = delete;
  CBaseThread& operator=(const CBaseThread&) = delete;

  // Resets the stop event and starts a thread running Run(), named `name` (the OS name is cut to
  // 15 characters). False if the previous thread still runs, or if the start failed.
  virtual bool StartThread(const std::string& name);
  // Sets the stop event and waits for the thread; after timeout_ms it logs a warning and keeps
  // waiting, then logs when the thread ended. True when no thread is left (or none ran); false
  // when called from the thread itself.
  virtual bool JoinThread(uint32_t timeout_ms);
  // As JoinThread; after timeout_ms it logs that the thread will be terminated, then keeps waiting
  // (see the class comment).
  virtual bool StopThread(uint32_t timeout_ms);

  // Sets the stop event without waiting: lets an owner stop several threads at once before it
  // joins them one by one.
  void SignalStop() { stop_event_.Set(); }
  bool IsStopRequested() const { return stop_event_.IsSet(); }
  // True while a started thread has not yet returned from Run().
  bool IsRunning() const;
  const std::string& GetName() const { return name_; }
  // Kernel id of the running (or last) thread; 0 until the thread has started.
  uint32_t GetThreadId() const { return thread_id_.load(std::memory_order_acquire); }

 protected:
  // The thread body. Returns when the work is done or the stop event is set.
  virtual void Run() = 0;

  // For a thread that wakes for a burst of work and soon blocks again (a receive thread, once
  // per picture): when woken, it waits for the running thread of its CPU to block or to use up
  // its time slice instead of preempting it. Threads that hand work to each other then no longer
  // switch twice per hand-over (the woken one preempting the waker just before the waker would
  // have blocked anyway), and the host's busy threads are not cut into at every packet burst;
  // the delay is at most one time slice, and none on an idle CPU. Linux: SCHED_BATCH (the nice
  // value stays). Windows has no such policy; there the thread is left as it is. Best effort:
  // a refused change leaves the thread unchanged.
  static void DeferWakePreemption();

  // Manual-reset; set means stop. Reset by StartThread().
  CManualEvent& StopEvent() { return stop_event_; }
  IDebugMessage* Logger() const { return logger_; }

 private:
  enum class WaitKind { kJoin, kStop };

  // The new thread's body: names the thread, runs Run() (no exception leaves it) and sets the
  // exit event, last.
  void ThreadMain();
  bool WaitForEnd(uint32_t timeout_ms, WaitKind kind);
  bool IsCurrentThread() const;

  // The platform's part (base_thread_posix.cc, base_thread_win32.cc); the three ...Locked
  // functions require handle_mutex_.
  // Starts a thread that runs ThreadMain() and keeps its handle; false when none started.
  bool StartOsThreadLocked();
  // Joins a thread that has ended and forgets its handle.
  void ReleaseHandleLocked();
  // Lets a thread that cannot be joined (it destroys its own object) end on its own.
  void DetachHandleLocked();
  // Gives the calling thread its name in the OS (debuggers, ps, crash dumps).
  static void SetOsThreadName(const std::string& name);

  std::string name_;
  // Serialises StartThread/JoinThread/StopThread between owner threads.
  std::mutex handle_mutex_;
  // The platform thread, kept as an opaque number (pthread_t on POSIX, the HANDLE on Windows).
  std::uintptr_t handle_ = 0;
  // Written under handle_mutex_; read without it by IsRunning(), which must never block.
  std::atomic<bool> has_handle_{false};
  std::atomic<uint32_t> thread_id_{0};
  IDebugMessage* const logger_;
  CManualEvent stop_event_;
  // Set by the thread when Run() has returned: the waitable form of the thread handle.
  CManualEvent exited_event_;
};

}  // namespace korvane
