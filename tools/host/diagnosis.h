#pragma once

// Why a channel got no frame: tollivar-host's own checks of the camera, step by step as the
// driver goes (HTTP connection, login, parameter list, encoder update, RTSP connection,
// DESCRIBE, media), and the first failing step with a hint for the operator. The driver logs
// only state changes, not a refused login or a closed port, so the host asks the camera itself.

#include <atomic>
#include <cstdint>
#include <string>

namespace tollivar_host {

enum class Reach { kNotTried, kOk, kRefused, kTimedOut, kUnresolved, kNoAnswer, kOther };

// What the checks saw. Statuses are 0 when the request got no answer.
struct Findings {
  Reach http = Reach::kNotTried;
  int list_status = 0;        // GET Param.cgi?action=list with the credentials
  std::string auth_offered;   // schemes of the camera's WWW-Authenticate, e.g. "Digest"
  bool had_credentials = false;
  Reach update = Reach::kNotTried;
  int update_status = 0;      // GET Param.cgi?action=update writing back the frame rate
  std::string update_reply;   // first line of its body
  Reach rtsp = Reach::kNotTried;
  int describe_status = 0;
  bool describe_has_video = false;
  std::string error_text;     // transport error of the failing request
};

// Where the camera is and what the driver asks of it.
struct Target {
  std::string address;
  unsigned http_port = 80;
  unsigned rtsp_port = 554;
  std::string user;
  std::string password;
  std::string codec = "h264";  // h264, mjpeg or mpeg4
  int stream_mode = 4;
  std::string transport;       // udp (or empty), tcp, rtsp
};

struct Diagnosis {
  std::string step;     // http-connect, http-login, http-list, encoder-update, rtsp-connect,
                        // rtsp-describe, rtsp-media
  std::string problem;  // what failed
  std::string hint;     // what to do
};

// The RTSP URL of the stream the driver plays for `target` (its codec, stream mode and port).
std::string StreamUrl(const Target& target);

// The first failing step of `findings`. Pure: the table of messages lives here.
Diagnosis Diagnose(const Findings& findings, const Target& target);

// Runs the checks against the camera, each request bounded by a few seconds, stopping early
// when `stop` is set; stops at the first failing step.
Findings RunChecks(const Target& target, const std::atomic<bool>& stop);

// {"step":...,"problem":...,"hint":...}
std::string DiagnosisJson(const Diagnosis& diagnosis);

}  // namespace tollivar_host
