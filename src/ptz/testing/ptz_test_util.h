#pragma once

// Helpers of the PTZ tests: a scripted camera that answers every ptzCtl request, and an
// IPrepositionComm that records preset requests and can refuse them.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/testing/scripted_http_server.h"
#include "ptz/ptz_item.h"

namespace korvane::testing {

// A camera on 127.0.0.1 that answers 200 to every request (or `status` when set).
class ScriptedPtzCamera {
 public:
  ScriptedPtzCamera()
      : server_([this](const ScriptedRequest&) {
          std::unique_lock<std::mutex> guard(mutex_);
          if (delay_.count() > 0) {
            const auto delay = delay_;
            guard.unlock();
            std::this_thread::sleep_for(delay);  // one request at a time, like a busy head
            guard.lock();
          }
          return status_ == 200 ? ScriptedReply::Ok("OK\r\n")
                                : ScriptedReply::Status(status_, "Refused", {}, "no\r\n");
        }) {}

  std::uint16_t port() const { return server_.port(); }
  void SetStatus(int status) {
    std::lock_guard<std::mutex> guard(mutex_);
    status_ = status;
  }
  // Each answer leaves this long after its request arrived.
  void SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> guard(mutex_);
    delay_ = delay;
  }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const auto& request : server_.Requests()) targets.push_back(request.target);
    return targets;
  }
  // Waits (at most `limit`) until `count` requests arrived; returns the targets seen.
  std::vector<std::string> WaitForTargets(std::size_t count,
                                          std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (server_.Requests().size() < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Targets();
  }

 private:
  mutable std::mutex mutex_;
  int status_ = 200;
  std::chrono::milliseconds delay_{0};
  ScriptedHttpServer server_;
};

// How many threads of this process have a name that starts with `prefix` (Linux keeps 15
// characters of a thread's name; Windows its whole description).
int CountThreadsNamed(const std::string& prefix);

// "/cnb-cgi/ptzCtl?cmd=<cmd>&id=1&ps=<speed>&ts=<speed>&pr=<pr>"
inline std::string PtzTarget(unsigned cmd, unsigned speed = 1, unsigned pr = 1) {
  return "/cnb-cgi/ptzCtl?cmd=" + std::to_string(cmd) + "&id=1&ps=" + std::to_string(speed) +
         "&ts=" + std::to_string(speed) + "&pr=" + std::to_string(pr);
}

// Records preset requests; answers `accept` to each.
class RecordingPrepositionComm : public IPrepositionComm {
 public:
  struct Call {
    char kind;  // 'S' set, 'G' go to, 'C' clear
    std::uint32_t slot;
    std::string name;
    bool operator==(const Call&) const = default;
  };

  bool accept = true;
  std::vector<Call> calls;
  std::vector<std::pair<int, std::string>> lines;

  bool SetPreposition(std::uint32_t slot, const std::string& name) override {
    calls.push_back({'S', slot, name});
    return accept;
  }
  bool GoToPreposition(std::uint32_t slot, const std::string& name, std::int32_t) override {
    calls.push_back({'G', slot, name});
    return accept;
  }
  bool ClearPreposition(std::uint32_t slot, const std::string& name) override {
    calls.push_back({'C', slot, name});
    return accept;
  }
  void DebugMessage(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));
};

}  // namespace korvane::testing
