#include "core/failure_reason.h"

namespace korvane {

const char* CFailureReason::StepName(Step step) {
  switch (step) {
    case Step::kNone: return "";
    case Step::kHttpConnect: return "http-connect";
    case Step::kHttpLogin: return "http-login";
    case Step::kHttpRequest: return "http-request";
    case Step::kEncoderUpdate: return "encoder-update";
    case Step::kRtspConnect: return "rtsp-connect";
    case Step::kRtspDescribe: return "rtsp-describe";
    case Step::kRtspStream: return "rtsp-stream";
    case Step::kRtspSetup: return "rtsp-setup";
    case Step::kRtspPlay: return "rtsp-play";
    case Step::kRtspMedia: return "rtsp-media";
    case Step::kSignal: return "signal";
  }
  return "";
}

std::string CFailureReason::Text() const {
  if (!IsSet()) return {};
  return std::string(StepName(step_)) + ": " + detail_;
}

std::string CFailureReason::CameraWords(std::string_view words) {
  std::string out = "\"";
  std::size_t kept = 0;
  for (const char ch : words) {
    if (ch == '\r' || ch == '\n') break;
    if (kept == kMaxCameraWords) {
      out += "...";
      break;
    }
    const auto byte = static_cast<unsigned char>(ch);
    out += byte >= 0x20 && byte < 0x7F ? ch : '?';
    ++kept;
  }
  return out + "\"";
}

}  // namespace korvane
