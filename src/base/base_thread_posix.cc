#include <pthread.h>

#include <type_traits>

#include <exception>
#include <string>

#include "base/base_thread.h"
#include "base/lock.h"

namespace korvane {

static_assert(std::is_integral_v<pthread_t> && sizeof(pthread_t) <= sizeof(std::uintptr_t),
              "the thread handle is kept as a number");

namespace {

// Linux thread names hold 15 characters plus the terminating zero.
constexpr size_t kMaxOsThreadName = 15;

}  // namespace

CBaseThread::CBaseThread(IDebugMessage* logger) : logger_(logger) {}

CBaseThread::~CBaseThread() {
  CBaseThread::StopThread(kDestructionStopMs);
  std::lock_guard<std::mutex> guard(handle_mutex_);
  if (has_handle_) {
    // Only left when the object is destroyed by its own thread, which cannot wait on itself:
    // let the thread release its resources when it ends. It must not touch the object again.
    pthread_detach(static_cast<pthread_t>(handle_));
    has_handle_ = false;
  }
}

bool CBaseThread::IsCurrentThread() const {
  // Kernel ids are unique among live threads only; a thread that has ended may share its id with
  // a later one, so only a thread still inside ThreadEntry can match.
  return thread_id_.load(std::memory_order_acquire) == CurrentThreadId() &&
         !exited_event_.IsSet();
}

bool CBaseThread::IsRunning() const {
  // No lock: an owner may hold handle_mutex_ for as long as a join lasts.
  return has_handle_.load() && !exited_event_.IsSet();
}

void CBaseThread::ReleaseHandleLocked() {
  // The thread has set its exit event, the last thing it does: the join returns promptly.
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  has_handle_ = false;
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
  pthread_t handle;
  if (pthread_create(&handle, nullptr, &CBaseThread::ThreadEntry, this) != 0) {
    return false;
  }
  handle_ = static_cast<std::uintptr_t>(handle);
  has_handle_ = true;
  return true;
}

void* CBaseThread::ThreadEntry(void* arg) {
  auto* self = static_cast<CBaseThread*>(arg);
  self->thread_id_.store(CurrentThreadId(), std::memory_order_release);
  if (!self->name_.empty()) {
    const std::string os_name = self->name_.substr(0, kMaxOsThreadName);
    pthread_setname_np(pthread_self(), os_name.c_str());
  }
  // An exception must not leave the thread: it would end the whole process.
  try {
    self->Run();
  } catch (const std::exception& e) {
    if (self->logger_ != nullptr) {
      self->logger_->DebugMessage(kLogError,
                                  "%s: Thread (id=%u, name=\"%s\") ended with an exception: %s",
                                  "korvane::CBaseThread::ThreadEntry", self->GetThreadId(),
                                  self->name_.c_str(), e.what());
    }
  } catch (...) {
    if (self->logger_ != nullptr) {
      self->logger_->DebugMessage(kLogError,
                                  "%s: Thread (id=%u, name=\"%s\") ended with an exception",
                                  "korvane::CBaseThread::ThreadEntry", self->GetThreadId(),
                                  self->name_.c_str());
    }
  }
  // Last access to *self: the owner may destroy the object as soon as this is set.
  self->exited_event_.Set();
  return nullptr;
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
