#include "channels/common_channel.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/http_utils.h"
#include "camera/param_reply.h"
#include "text/text_helpers.h"

namespace korvane {

namespace {

using ParamPairs = std::vector<std::pair<std::string, std::string>>;

// Longest piece of a camera's reply quoted in a log line.
constexpr std::size_t kReplyExcerptChars = 64;

// The start of a reply's first line, printable ASCII only, for a log line.
std::string ReplyExcerpt(const std::vector<std::uint8_t>& body) {
  std::string excerpt;
  for (const std::uint8_t byte : body) {
    if (byte == '\r' || byte == '\n' || excerpt.size() == kReplyExcerptChars) break;
    excerpt += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
  }
  return excerpt;
}

void Append(ParamPairs& pairs, const char* key, std::uint32_t value) {
  pairs.emplace_back(key, std::to_string(value));
}

}  // namespace

std::pair<std::uint32_t, std::uint32_t> BitrateRange(std::uint32_t width, std::uint32_t height) {
  if (width <= 352) return {1, 8};
  if (width <= 720) return {1, 10};
  if (width <= 1280 && height <= 720) return {3, 12};
  if (width <= 1280) return {4, 15};
  return {4, 17};
}

std::string BuildEncoderRequest(std::int32_t codec, std::int32_t stream_mode,
                                const ChannelSettings& s) {
  const std::uint32_t rate = IntervalToRate(s.frameIntervalMs);
  const std::uint32_t index = ResolutionIndex(s.width, s.height);
  // The MPEG-4 encoder and the camera's second (MJPEG) stream take only the D1 family above
  // 719 pixels wide.
  const std::uint32_t d1_index = s.width > 719 ? 3 : index;
  const auto [min_rate, max_rate] = BitrateRange(s.width, s.height);
  const std::uint32_t bitrate = min_rate + (max_rate - min_rate) * s.quality / 100;
  const std::uint32_t quality = s.quality / 10 == 0 ? 1 : s.quality / 10;

  ParamPairs pairs;
  switch (codec) {
    case ipcapture::kCodecH264:
      if (stream_mode != 0) Append(pairs, "video.codec", 3);
      Append(pairs, "video.resolution", stream_mode == 1 && s.width > 720 ? 2 : index);
      Append(pairs, "video.framerate", rate);
      Append(pairs, "video.bitrate", bitrate);
      return MakeParamUpdatePath(pairs);
    case ipcapture::kCodecMjpeg:
      if (stream_mode != 0) {
        Append(pairs, "video.codec", 1);
        Append(pairs, "video.resolution", index);
        Append(pairs, "video.framerate", rate);
        Append(pairs, "video.quality", quality);
      } else {
        // The second stream carries the MJPEG picture; the main stream keeps its codec.
        Append(pairs, "video.resolution", d1_index);
        Append(pairs, "video.framerate", rate);
        Append(pairs, "video.dualcodecflag", 1);
        Append(pairs, "video.dualcodec", 1);
        Append(pairs, "video.dualresolution", d1_index);
        Append(pairs, "video.dualquality", quality);
      }
      return MakeParamUpdatePath(pairs);
    case ipcapture::kCodecMpeg4:
      Append(pairs, "video.codec", 2);
      Append(pairs, "video.resolution", d1_index);
      Append(pairs, "video.framerate", rate);
      Append(pairs, "video.bitrate", bitrate);
      return MakeParamUpdatePath(pairs);
    default:
      return {};
  }
}

StreamLocation StreamLocationFor(std::int32_t codec, std::int32_t stream_mode,
                                 std::uint16_t rtsp_port) {
  StreamLocation where;
  where.port = rtsp_port;
  switch (codec) {
    case ipcapture::kCodecH264:
      if (stream_mode == 0) where.path = "main";
      break;
    case ipcapture::kCodecMjpeg:
      if (stream_mode == 0) {
        where.path = "sub";
      } else if (stream_mode == 1) {
        where.port = kMjpegMode1Port;
      } else if (stream_mode == 2) {
        where.port = kMjpegMode2Port;
        where.path = "mjpeg";
      }
      break;
    case ipcapture::kCodecMpeg4:
      if (stream_mode == 2) where.path = "mpeg4";
      break;
    default:
      break;
  }
  return where;
}

CCommonChannel::CCommonChannel(std::uint32_t index, IDriver* driver,
                               ipcapture::IFrameSink* sink, std::int32_t codec)
    : CBaseRTSPChannel(index, driver, sink),
      codec_(codec),
      http_sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo())) {
  const std::int32_t mode = driver->GetCustomParameterInt(kParamStreamMode);
  if (mode != kCustomParameterAbsent) stream_mode_ = mode;
  // A stop does not wait for the encoder request to run out its time-out.
  http_sender_->SetAbortCheck([this] { return StopEvent().IsSet(); });
  http_sender_->SetLogger(driver);
}

CCommonChannel::~CCommonChannel() { Stop(); }

bool CCommonChannel::ConfigureCamera() {
  const std::string path = BuildEncoderRequest(codec_, stream_mode_, Settings());
  return !path.empty() && SendEncoderRequest(path);
}

bool CCommonChannel::SendEncoderRequest(const std::string& path) {
  static constexpr char kName[] = "korvane::CCommonChannel::SendEncoderRequest";
  capture_thread_.Assume();
  CResultDef result;
  std::vector<std::uint8_t> body;
  SetAttemptNote({});  // this request's answer decides the note
  HUtils::RequestGetRD(path, *http_sender_, result, body, /*readBody=*/true);
  if (result.code == kRequestNotSent || result.code == kRequestNotProcessed) {
    CFailureReason failure = http_sender_->Failure();
    if (!failure.IsSet()) {
      failure = {CFailureReason::Step::kHttpRequest, "the encoder request was not sent"};
    } else if (failure.GetStep() == CFailureReason::Step::kHttpRequest &&
               http_sender_->StatusCode() != 0) {
      // An answer with an error status: the camera refused these settings.
      failure = {CFailureReason::Step::kEncoderUpdate, failure.Detail()};
    }
    FailAttempt(failure);
    return false;
  }
  const std::string_view reply(reinterpret_cast<const char*>(body.data()), body.size());
  if (result.code == kRequestOk && IsUpdateSuccessReply(reply)) {
    refusal_logged_ = false;
    return true;
  }
  // Streaming goes on with the camera's own settings; should it fail, this may be why.
  SetAttemptNote("the camera refused the encoder update (" +
                 std::string(CFailureReason::StepName(CFailureReason::Step::kEncoderUpdate)) +
                 ", reply " + CFailureReason::CameraWords(reply) + ")");
  // Answered, but not with "Success" (an error text, an empty or unreadable body): the camera
  // did not take the settings. Logged once per run of refusals, since every reconnection
  // repeats the request.
  if (!refusal_logged_) {
    refusal_logged_ = true;
    const DEVICE_INFO& device = *Driver()->GetDeviceInfo();
    Driver()->DebugMessage(kLogWarning,
                           "%s: device %s:%u did not accept the encoder settings \"%s\" "
                           "(reply \"%s\"); streaming goes on with the camera's settings",
                           kName, device.address.c_str(), static_cast<unsigned>(device.port),
                           path.c_str(), ReplyExcerpt(body).c_str());
  }
  return true;
}

void CCommonChannel::GetStreamParams(RTSPClientParams* params) {
  const std::int32_t port = Driver()->GetCustomParameterInt(kParamRtspPort);
  const std::uint16_t rtsp_port = port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port)
                                                            : kDefaultRtspPort;
  StreamLocation where = StreamLocationFor(codec_, stream_mode_, rtsp_port);
  params->Port = where.port;
  params->Path = std::move(where.path);
  switch (codec_) {
    case ipcapture::kCodecH264: params->Encoding = "H264"; break;
    case ipcapture::kCodecMjpeg: params->Encoding = "JPEG"; break;
    case ipcapture::kCodecMpeg4: params->Encoding = "MP4V-ES"; break;
    default: break;
  }
}

}  // namespace korvane
