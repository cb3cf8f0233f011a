#pragma once

// Why a channel got no frame, for the operator: the driver's own reason (the text of
// GetChannelState, "<step>: <detail>") and what to do about it. The driver knows every step it
// took; the host asks the camera itself only for what the driver cannot know: which codec the
// camera's encoder runs, when the stream the driver asked for is missing or has no video it
// reads.

#include <atomic>
#include <string>

#include <nlohmann/json.hpp>

namespace tollivar_host {

// Where the camera is and how the host asked for the stream.
struct Target {
  std::string address;
  unsigned http_port = 80;
  std::string user;
  std::string password;
  std::string transport;  // udp (or empty), tcp, rtsp
};

struct Diagnosis {
  std::string step;     // the driver's step: http-connect, http-login, http-request,
                        // rtsp-connect, rtsp-describe, rtsp-stream, rtsp-setup, rtsp-play,
                        // rtsp-media, signal; "driver" when it gave no reason
  std::string problem;  // what failed, in the driver's words
  std::string hint;     // what to do
};

// The driver's reason split into step and problem, with the hint of the first matching row of
// the host's table. `camera_codec` is the camera's video.codec as the host read it (empty when
// not read), added to the hint where it explains the failure.
Diagnosis Diagnose(const std::string& driver_reason, const Target& target,
                   const std::string& camera_codec = {});

// Whether the camera's encoder setting explains a failure of `step` (a missing stream, a
// description without usable video).
bool WantsCameraCodec(const Diagnosis& diagnosis);

// The camera's video.codec from /cgi-bin/Param.cgi?action=list with the target's login; empty
// when it cannot be read. Bounded by a few seconds, ended early when `stop` is set.
std::string ReadCameraCodec(const Target& target, const std::atomic<bool>& stop);

// {"step":...,"problem":...,"hint":...}
nlohmann::ordered_json DiagnosisJson(const Diagnosis& diagnosis);

}  // namespace tollivar_host
