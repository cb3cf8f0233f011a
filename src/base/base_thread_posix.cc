#include <pthread.h>
#include <sched.h>

#include <type_traits>

#include "base/base_thread.h"

namespace korvane {

static_assert(std::is_integral_v<pthread_t> && sizeof(pthread_t) <= sizeof(std::uintptr_t),
              "the thread handle is kept as a number");

bool CBaseThread::StartOsThreadLocked() {
  auto entry = [](void* arg) -> void* {
    static_cast<CBaseThread*>(arg)->ThreadMain();
    return nullptr;
  };
  pthread_t handle;
  if (pthread_create(&handle, nullptr, entry, this) != 0) {
    return false;
  }
  handle_ = static_cast<std::uintptr_t>(handle);
  return true;
}

void CBaseThread::ReleaseHandleLocked() {
  // The thread has set its exit event, the last thing it does: the join returns promptly.
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  has_handle_ = false;
}

void CBaseThread::DetachHandleLocked() {
  pthread_detach(static_cast<pthread_t>(handle_));
  has_handle_ = false;
}

void CBaseThread::SetOsThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.c_str());
}

void CBaseThread::DeferWakePreemption() {
#if defined(SCHED_BATCH)
  // SCHED_BATCH takes priority 0; it keeps the thread's nice value and needs no privilege.
  sched_param param{};
  param.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
#endif
}

}  // namespace korvane
