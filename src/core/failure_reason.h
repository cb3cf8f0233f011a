#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// Why a connection attempt of a channel gave no video: the step that failed and what went
// wrong there, with the camera's own words where it gave any. The HTTP sender and the RTSP
// client make it, the channel keeps the latest one, logs it when it changes and hands it to the
// host as the state text ("<step>: <detail>", see Text()). It never holds a credential: the
// makers put in addresses, ports, paths, status codes, scheme names and quoted camera words
// only.
class CFailureReason {
 public:
  // In the order of one connection attempt. The names (StepName) begin the state text, so that
  // a host can tell the steps apart; they are part of what the operator guide documents.
  enum class Step : std::uint8_t {
    kNone,
    kHttpConnect,    // "http-connect": the camera's HTTP port was not reached
    kHttpLogin,      // "http-login": 401 or 403 to the encoder request
    kHttpRequest,    // "http-request": no answer, or another error status
    kEncoderUpdate,  // "encoder-update": an error status, or a reply other than "Success"
    kRtspConnect,    // "rtsp-connect": the RTSP port was not reached
    kRtspDescribe,   // "rtsp-describe": DESCRIBE failed or was refused
    kRtspStream,     // "rtsp-stream": no video medium, or none in a codec the driver reads
    kRtspSetup,      // "rtsp-setup"
    kRtspPlay,       // "rtsp-play"
    kRtspMedia,      // "rtsp-media": set up, but no frame within the first-frame wait
    kSignal,         // "signal": frames stopped coming
  };

  // Longest piece of the camera's own text kept in a reason.
  static constexpr std::size_t kMaxCameraWords = 80;

  CFailureReason() = default;
  CFailureReason(Step step, std::string detail) : step_(step), detail_(std::move(detail)) {}

  bool IsSet() const { return step_ != Step::kNone; }
  Step GetStep() const { return step_; }
  const std::string& Detail() const { return detail_; }
  // "<step name>: <detail>"; empty when no failure is set.
  std::string Text() const;

  static const char* StepName(Step step);
  // `words` as a quoted excerpt fit for a log line: the first line only, printable ASCII (others
  // as '?'), at most kMaxCameraWords characters ("..." marks a cut).
  static std::string CameraWords(std::string_view words);

  friend bool operator==(const CFailureReason&, const CFailureReason&) = default;

 private:
  Step step_ = Step::kNone;
  std::string detail_;
};

}  // namespace korvane
