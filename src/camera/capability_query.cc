#include "camera/capability_query.h"

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/base_thread.h"
#include "camera/cnb_camera_properties.h"

namespace korvane {
namespace {

namespace ipc = ipcapture;

constexpr char kThreadName[] = "Capability query";

// Characters no camera host name or address contains, in the order they are tested.
constexpr std::string_view kInvalidAddressChars = "@#$%^&*(){}[]/\\+=|:;,~'\"!?";

}  // namespace

// The query thread: runs one query of its owner.
class CCapabilityQuery::QueryThread final : public CBaseThread {
 public:
  explicit QueryThread(CCapabilityQuery& owner) : CBaseThread(nullptr), owner_(owner) {}
  ~QueryThread() override { JoinThread(kJoinTimeoutMs); }

  // True when called on this thread while it runs the query.
  bool IsCurrent() const { return runningOn_.load() == std::this_thread::get_id(); }

 protected:
  void Run() override {
    runningOn_.store(std::this_thread::get_id());
    owner_.RunQuery();
    runningOn_.store(std::thread::id());
  }

 private:
  CCapabilityQuery& owner_;
  std::atomic<std::thread::id> runningOn_{};
};

CCapabilityQuery::CCapabilityQuery() = default;

CCapabilityQuery::~CCapabilityQuery() {
  Uninit();
  std::unique_ptr<QueryThread> finished;
  {
    CMutexLock guard(lock_);
    finished = std::move(finishedThread_);
  }
  // Destroyed by its own thread (the process ends inside the callback): it cannot be joined,
  // and its object must outlive it.
  if (finished && finished->IsCurrent()) (void)finished.release();
}

bool CCapabilityQuery::IsInvalidAddress(std::string_view address) {
  return address.find_first_of(kInvalidAddressChars) != std::string_view::npos;
}

void CCapabilityQuery::ReapFinished() {
  std::unique_ptr<QueryThread> finished;
  {
    CMutexLock guard(lock_);
    if (finishedThread_ && !finishedThread_->IsCurrent()) finished = std::move(finishedThread_);
  }
  finished.reset();  // joins
}

int32_t CCapabilityQuery::Init(ipc::ICapabilityQueryEvents* events, int32_t ntsc) {
  ReapFinished();
  CMutexLock guard(lock_);
  if (initialised_) return 0;
  initialised_ = true;
  events_ = events;
  ntsc_ = (static_cast<uint32_t>(ntsc) & 0xFFu) != 0;
  return 1;
}

int32_t CCapabilityQuery::Start(const char* address, int32_t port, const char* userName,
                                const char* password, ipc::ICapabilityResults* results) {
  ReapFinished();
  if (address == nullptr || userName == nullptr || password == nullptr) return 0;
  const auto port16 = static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu);
  if (*address == '\0' || port16 == 0) return 0;

  CMutexLock guard(lock_);
  if (!initialised_ || threadState_ == ThreadState::kStarted) return 0;
  results_ = results;
  if (!device_) device_ = std::make_unique<DEVICE_INFO>();
  device_->requestTimeoutMs = kRequestTimeoutMs;
  device_->address = address;
  device_->port = port16;
  device_->userName = userName;
  device_->password = password;

  // The thread waits for lock_ before it reads what was stored here.
  auto thread = std::make_unique<QueryThread>(*this);
  if (!thread->StartThread(kThreadName)) return 0;
  thread_ = std::move(thread);
  threadState_ = ThreadState::kStarted;
  return 1;
}

void CCapabilityQuery::StopLocked() {
  if (threadState_ != ThreadState::kStarted) return;
  stopRequested_ = true;
  if (properties_) properties_->Stop();
}

int32_t CCapabilityQuery::Terminate() {
  CMutexLock guard(lock_);
  StopLocked();
  return 1;
}

int32_t CCapabilityQuery::Uninit() {
  ReapFinished();
  std::unique_ptr<QueryThread> thread;
  {
    CMutexLock guard(lock_);
    StopLocked();
    if (thread_ && thread_->IsCurrent()) {
      // Called from the callback: the thread cannot join itself. It ends right after the
      // callback returns; the next entry point called elsewhere joins it.
      finishedThread_ = std::move(thread_);
    } else {
      thread = std::move(thread_);
    }
  }
  thread.reset();  // joins: the stop has cut the camera request in flight

  std::shared_ptr<CBaseCameraProperties> properties;
  {
    CMutexLock guard(lock_);
    properties = std::move(properties_);
    device_.reset();
    events_ = nullptr;
    results_ = nullptr;
    initialised_ = false;
    stopRequested_ = false;
    threadState_ = ThreadState::kReleased;
  }
  return 1;
}

bool CCapabilityQuery::HasThread() const {
  CMutexLock guard(lock_);
  return thread_ != nullptr || finishedThread_ != nullptr;
}

void CCapabilityQuery::RunQuery() {
  std::optional<DEVICE_INFO> device;
  ipc::ICapabilityResults* results = nullptr;
  bool ntsc = false;
  {
    CMutexLock guard(lock_);
    if (device_) device = *device_;
    results = results_;
    ntsc = ntsc_;
  }
  int32_t code = ipc::kQueryOtherFailure;
  if (!device || results == nullptr) {
    Report(false, code, kInternalError);
    return;
  }

  std::shared_ptr<CBaseCameraProperties> properties;
  try {
    properties = std::make_shared<CCNBCameraProperties>(*device, ntsc);
  } catch (...) {
    Report(false, code, kCreateFailed);
    return;
  }
  {
    CMutexLock guard(lock_);
    properties_ = properties;
    if (stopRequested_) properties->Stop();  // stopped before the object existed
  }

  if (IsInvalidAddress(device->address)) {
    Report(false, ipc::kQueryInvalidAddress, kInvalidAddress);
    return;
  }

  std::string message = kFailedToGetProperties;
  try {
    if (!properties->QueryProperties(&code)) {
      if (code == ipc::kQueryLoginFailed) message += kLoginFailedSuffix;
      if (code == ipc::kQueryDeviceOffline) message += kOfflineSuffix;
      Report(false, code, message.c_str());
      return;
    }
    if (SaveResults(results, *properties)) {
      Report(true, 0, nullptr);
      return;
    }
    message = kSaveFailed;
  } catch (...) {
    message = kUnhandledException;
  }
  Report(false, code, message.c_str());
}

void CCapabilityQuery::Report(bool completed, int32_t code, const char* message) {
  ipc::ICapabilityQueryEvents* events = nullptr;
  {
    CMutexLock guard(lock_);
    events = events_;
  }
  if (events == nullptr) return;
  // The host's exception must not end the thread (and with it the process).
  try {
    if (completed) {
      events->OnQueryCompleted();
    } else {
      events->OnQueryFailed(code, message);
    }
  } catch (...) {
  }
}

}  // namespace korvane
