// The HTTP half of the simulator: the camera CGI (Param.cgi, ptzCtl) on libmicrohttpd, with
// none, Basic or Digest authentication, fault switches and the /camsim/ inspection paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "base/mutex.h"
#include "options.h"
#include "params.h"
#include "ptz_head.h"
#include "request_log.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace camsim {

// What the inspection paths may do to the RTSP side.
struct MediaControl {
  std::function<void(int seconds)> pause;  // seconds <= 0: until resumed
  std::function<void()> resume;
  std::function<bool()> paused;
  std::function<void()> video_changed;  // after an update that touched video.*
  std::function<bool(bool refuse)> refuse_rtsp_credentials;  // false: RTSP has no auth
  std::function<bool()> refusing_rtsp_credentials;
};

class HttpSide {
 public:
  // params and log must outlive this object.
  HttpSide(const Options& options, ParamStore& params, RequestLog& log, MediaControl media);
  ~HttpSide();
  HttpSide(const HttpSide&) = delete;
  HttpSide& operator=(const HttpSide&) = delete;

  bool Start(std::string* error);
  // Waits for the running requests (a slow answer ends within a tenth of a second).
  void Stop();
  uint16_t port() const { return port_; }

  void SetFault(const HttpFault& fault);
  HttpFault fault() const;

  // The libmicrohttpd access handler; public for the C callback only. Returns an MHD_Result.
  int Handle(MHD_Connection* connection, const std::string& method, const std::string& target);

 private:
  struct Reply {
    Reply() = default;
    Reply(int s, std::string b, std::string type = "text/plain")
        : status(s), body(std::move(b)), content_type(std::move(type)) {}
    int status = 200;
    std::string body;
    std::string content_type = "text/plain";
    std::string location;
  };

  enum class AuthVerdict { kAccepted, kChallenge, kStaleNonce };

  int HandleInspection(MHD_Connection* connection, const std::string& query,
                       const std::string& path);
  std::string StateJson() const;
  Reply Route(const std::string& path, const std::string& query);
  AuthVerdict CheckCredentials(MHD_Connection* connection) const;
  int QueueChallenge(MHD_Connection* connection, bool stale) const;
  int Queue(MHD_Connection* connection, const Reply& reply) const;
  void LogRequest(const std::string& method, const std::string& path, const std::string& query,
                  bool has_auth, int status);
  bool SleepUnlessStopping(int seconds) const;

  const Options options_;
  ParamStore& params_;
  RequestLog& log_;
  MediaControl media_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  unsigned char digest_random_[32] = {};  // nonce seed; must live as long as the daemon
  mutable korvane::CMutex fault_lock_;
  HttpFault fault_ GUARDED_BY(fault_lock_);
  mutable PtzHead ptz_head_;  // the simulated head; locks itself
};

}  // namespace camsim
