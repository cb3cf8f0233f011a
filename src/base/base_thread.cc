// The thread's life and the bounded stop; the OS thread itself is made in
// base_thread_posix.cc / base_thread_win32.cc.

#include <exception>
#include <string>

#include "base/base_thread.h"
#include "base/lock.h"

namespace korvane {

namespace {

// Linux thread names hold 15 characters plus the terminating zero; the names are cut there on
// every platform, so that they read the same everywhere.
constexpr size_t kMaxOsThreadName = 15;

}  // namespace

CBaseThread::CBaseThread(IDebugMessage* logger) : logger_(logger) {}

CBaseThread::~CBaseThread() {
  CBaseThread::StopThread(kDestructionStopMs);
  std::lock_guard<std::mutex> guard(handle_mutex_);
  if (has_handle_) {
    // Only left when the object is destroyed by its own thread, which cannot wait on itself:
    // let the thread release its resources when it ends. It must not touch the object again.
    DetachHandleLocked();
  }
}

bool CBaseThread::IsCurrentThread() const {
  // Kernel ids are unique among live threads only; a thread that has ended may share its id with
  // a later one, so only a thread still inside ThreadMain can match.
  return thread_id_.load(std::memory_order_acquire) == CurrentThreadId() &&
         !exited_event_.IsSet();
}

bool CBaseThread::IsRunning() const {
  // No lock: an owner may hold handle_mutex_ for as long as a join lasts.
  return has_handle_.load() && !exited_event_.IsSet();
}

bool CBaseThread::StartThread(const std::string& name) {
  stop_event_.Reset();
  std::lock_guard<std::mutex> guard(handle_mutex_);
  if (has_handle_) {
    if (!exited_event_.IsSet()) {
      return false;  // the previous thread still runs
    }
    ReleaseHandleLocked();
  }
  name_ = name;
  exited_event_.Reset();
  thread_id_.store(0, std::memory_order_release);
  if (!StartOsThreadLocked()) {
    return false;
  }
  has_handle_ = true;
  return true;
}

void CBaseThread::ThreadMain() {
  thread_id_.store(CurrentThreadId(), std::memory_order_release);
  if (!name_.empty()) {
    SetOsThreadName(name_.substr(0, kMaxOsThreadName));
  }
  // An exception must not leave the thread: it would end the whole process.
  try {
    Run();
  } catch (const std::exception& e) {
    if (logger_ != nullptr) {
      logger_->DebugMessage(kLogError,
                            "%s: Thread (id=%u, name=\"%s\") ended with an exception: %s",
                            "korvane::CBaseThread::ThreadEntry", GetThreadId(), name_.c_str(),
                            e.what());
    }
  } catch (...) {
    if (logger_ != nullptr) {
      logger_->DebugMessage(kLogError, "%s: Thread (id=%u, name=\"%s\") ended with an exception",
                            "korvane::CBaseThread::ThreadEntry", GetThreadId(), name_.c_str());
    }
  }
  // Last access to *this: the owner may destroy the object as soon as this is set.
  exited_event_.Set();
}

bool CBaseThread::JoinThread(uint32_t timeout_ms) { return WaitForEnd(timeout_ms, WaitKind::kJoin); }

bool CBaseThread::StopThread(uint32_t timeout_ms) { return WaitForEnd(timeout_ms, WaitKind::kStop); }

bool CBaseThread::WaitForEnd(uint32_t timeout_ms, WaitKind kind) {
  stop_event_.Set();
  if (IsCurrentThread()) {
    return false;  // a thread never waits on itself
  }
  std::lock_guard<std::mutex> guard(handle_mutex_);
  if (!has_handle_) {
    return true;
  }
  if (!exited_event_.Wait(timeout_ms)) {
    const unsigned long timeout = timeout_ms;
    if (kind == WaitKind::kJoin) {
      if (logger_ != nullptr) {
        logger_->DebugMessage(
            kLogWarning, "%s: Thread (id=%u, name=\"%s\") was not stopped during %lu milliseconds",
            "korvane::CBaseThread::JoinThread", GetThreadId(), name_.c_str(), timeout);
      }
      exited_event_.Wait(kInfinite);
      if (logger_ != nullptr) {
        logger_->DebugMessage(kLogInfo, "%s: Thread (id=%u, name=\"%s\") was stopped correctly",
                              "korvane::CBaseThread::JoinThread", GetThreadId(), name_.c_str());
      }
    } else {
      if (logger_ != nullptr) {
        logger_->DebugMessage(kLogWarning,
                              "%s: Thread (id=%u, name=\"%s\") was not stopped during %lu "
                              "milliseconds and will be terminated!",
                              "korvane::CBaseThread::StopThread", GetThreadId(), name_.c_str(),
                              timeout);
      }
      // Not terminated (see the class comment): the stop event is set and every wait of Run()
      // watches it, so the thread ends by itself.
      exited_event_.Wait(kInfinite);
    }
  }
  ReleaseHandleLocked();
  return true;
}

}  // namespace korvane
