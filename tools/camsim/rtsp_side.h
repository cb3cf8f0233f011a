// The RTSP half of the simulator: GStreamer RTSP servers on the camera's stream paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "clip.h"
#include "options.h"
#include "params.h"
#include "request_log.h"
#include "stream_pipelines.h"

typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMediaFactory GstRTSPMediaFactory;
typedef struct _GstRTSPAuth GstRTSPAuth;

namespace camsim {

class RtspSide {
 public:
  // params and log must outlive this object.
  RtspSide(const Options& options, ParamStore& params, RequestLog& log);
  ~RtspSide();
  RtspSide(const RtspSide&) = delete;
  RtspSide& operator=(const RtspSide&) = delete;

  // Creates the servers and attaches them to the default main context. GStreamer must be
  // initialised. False (with *error) when a port cannot be bound.
  bool Start(std::string* error);
  uint16_t port() const { return ports_[0]; }
  uint16_t port_8554() const { return ports_.size() > 1 ? ports_[1] : 0; }
  uint16_t port_665() const { return ports_.size() > 2 ? ports_[2] : 0; }

  // New sessions get streams with the current encoder settings. Thread-safe.
  void Reconfigure();
  // Stops sending media (RTP) for `seconds`, or until ResumeMedia when seconds <= 0. Thread-safe.
  void PauseMedia(int seconds);
  void ResumeMedia();
  bool MediaPaused() const;

  // While refusing, the server accepts no credentials at all (every request needing them gets
  // 401). False when the servers run without authentication. Thread-safe.
  bool RefuseCredentials(bool refuse);
  bool RefusingCredentials() const;

  // Disconnects every client; their media are torn down.
  void CloseClients();

  // Called on streaming threads for every payloaded buffer.
  bool ShouldDropMedia() const;
  void LogRequest(uint16_t port, const void* context, const void* response);
  int session_timeout() const { return options_.session_timeout; }
  const StreamQuirks& quirks() const { return quirks_; }
  int rtp_reorder_percent() const { return options_.rtp_reorder; }
  const Hostile& hostile() const { return options_.hostile; }
  const std::string& address() const { return options_.address; }
  const Clip* clip() const { return clip_.get(); }

  // One listening server; handed to the GLib callbacks of its clients.
  struct Server {
    GstRTSPServer* server = nullptr;
    unsigned source_id = 0;
    uint16_t port = 0;
    RtspSide* owner = nullptr;
  };

 private:
  struct Mount {
    GstRTSPMediaFactory* factory;  // one reference of ours
    StreamKind kind;
  };

  void SetPasswordLocked(const std::string& old_password, const std::string& new_password)
      REQUIRES(auth_lock_);
  bool AddServer(uint16_t port, const std::vector<std::pair<std::string, StreamKind>>& paths,
                 std::string* error);
  GstRTSPMediaFactory* MakeFactory(StreamKind kind);
  std::string LaunchOf(StreamKind kind, const VideoConfig& video) const;
  bool LoadClip(std::string* error);

  const Options options_;
  const StreamQuirks quirks_;
  std::unique_ptr<Clip> clip_;  // the main stream's clip in pre-encoded or clip mode
  ParamStore& params_;
  RequestLog& log_;
  GstRTSPAuth* auth_ = nullptr;
  mutable korvane::CMutex auth_lock_;
  bool refusing_ GUARDED_BY(auth_lock_) = false;
  std::string refused_password_ GUARDED_BY(auth_lock_);
  std::vector<Mount> mounts_;
  std::vector<std::unique_ptr<Server>> servers_;
  std::vector<uint16_t> ports_;
  // Monotonic time (microseconds, g_get_monotonic_time) until which media is dropped; 0 none.
  std::atomic<int64_t> pause_until_us_{0};
};

}  // namespace camsim
