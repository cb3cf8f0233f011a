#include "camera/cnb_camera_properties.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "camera/http_utils.h"
#include "camera/param_reply.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

namespace ipc = ipcapture;

constexpr char kManufacturer[] = "CNB";

// Parameter keys of the list.
constexpr char kKeyModelName[] = "sysinfo.modelname";
constexpr char kKeyPlatform[] = "sysinfo.platform";
constexpr char kKeyCameraType[] = "ctype";
constexpr char kKeyRtspPort[] = "rtp.rtspport";
constexpr char kKeyOutputFormat[] = "condition.outputformat";
constexpr char kKeyInputFormat[] = "condition.inputformat";
constexpr char kKeyPtzCamera[] = "ptzcfg.cameraid";
constexpr char kKeyMacAddress[] = "network.ethaddress";
constexpr char kKeyFrameRate[] = "video.framerate";
constexpr char kKeyResolution[] = "video.resolution";

struct FirmwarePart {
  const char* key;
  const char* label;
};
constexpr FirmwarePart kFirmwareParts[] = {
    {"firmware.boot", "boot: "},  {"firmware.kern", " kernel: "}, {"firmware.root", " root: "},
    {"firmware.locl", " local: "}, {"firmware.view", " view: "},
};

// Platform names in the order they are tested: a value naming several takes the first.
struct PlatformName {
  const char* text;
  int32_t kind;
};
constexpr PlatformName kPlatformNames[] = {
    {"A_TYPE", kPlatformA}, {"G_TYPE", kPlatformG}, {"T_TYPE", kPlatformT}, {"X_TYPE", kPlatformX}};
constexpr char kD1CameraType[] = "d1";

// The video standard values contain '1' for NTSC.
constexpr char kNtscMark = '1';

constexpr uint32_t kNtscRate = 30;
constexpr uint32_t kPalRate = 25;
constexpr uint16_t kNtscLines = 480;
constexpr uint16_t kPalLines = 576;
constexpr uint16_t kNtscCifLines = 240;
constexpr uint16_t kPalCifLines = 288;

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// A listed value that can go back into an update unchanged: a positive decimal number. Anything
// else is the camera's own text and is not sent back.
std::string RestorableNumber(const std::string& value) {
  if (value.empty() || value.size() > 9) return {};
  if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {};
  }
  if (value.find_first_not_of('0') == std::string::npos) return {};
  return value;
}

}  // namespace

CCNBCameraProperties::CCNBCameraProperties(const DEVICE_INFO& device, bool ntsc)
    : CBaseCameraProperties(device, ntsc), sender_(device) {
  // A stop cuts the request in flight instead of waiting for a slow camera.
  sender_.SetAbortCheck([this] { return StopEvent().IsSet(); });
}

CCNBCameraProperties::~CCNBCameraProperties() = default;

bool CCNBCameraProperties::QueryProperties(int32_t* failureCode) {
  int32_t ignored = ipc::kQueryOtherFailure;
  int32_t& code = failureCode != nullptr ? *failureCode : ignored;

  // Stopped before it began (the host gave up at once): not one request.
  if (IsStopped()) return false;
  if (!ReadList(&code)) return false;

  if (!IsStopped()) {
    if (!SendUpdate(kWriteTestPath, /*wantSuccessBody=*/false)) {
      // A stop cuts the request short: that is no verdict on the credentials.
      if (!IsStopped()) code = ipc::kQueryLoginFailed;
      RestoreVideoSettings();
      return false;
    }
  }
  if (!IsStopped()) {
    FillCodecs();
    FillResolutionsAndFrameRates();
    completionX_ = completionY_ = completionZ_ = 1;
  }
  RestoreVideoSettings();
  return !IsStopped();
}

int32_t CCNBCameraProperties::ListFailureCode() const {
  if (IsStopped()) return ipc::kQueryOtherFailure;
  const uint32_t status = sender_.StatusCode();
  if (status == 401 || status == 403) return ipc::kQueryLoginFailed;
  if (sender_.ConnectFailed()) return ipc::kQueryDeviceOffline;
  return ipc::kQueryOtherFailure;
}

bool CCNBCameraProperties::ReadList(int32_t* failureCode) {
  std::string list;
  if (!RequestGetText(sender_, list, kParamListPath) || list.empty()) {
    *failureCode = ListFailureCode();
    return false;
  }

  const std::string modelName = GetReplyParam(list, kKeyModelName);
  ReadPlatform(list);
  if (platformKind_ == kPlatformUnknown) {
    *failureCode = ipc::kQueryOtherFailure;
    return false;
  }
  manufacturer_ = kManufacturer;
  model_ = modelName.empty() ? platform_ : modelName;

  ReadFirmware(list);

  if (!GetReplyParam(list, kKeyRtspPort).empty()) {
    const int port = GetParamInt(kKeyRtspPort, " = ", list, "\r\n");
    if (port >= 1 && port <= 65534) rtspPort_ = port;
  }

  std::string standard = GetReplyParam(list, kKeyOutputFormat);
  if (standard.empty()) standard = GetReplyParam(list, kKeyInputFormat);
  ntsc_ = standard.find(kNtscMark) != std::string::npos;

  if (!GetReplyParam(list, kKeyPtzCamera).empty()) capabilities_.ptz = true;

  const std::string mac = GetReplyParam(list, kKeyMacAddress);
  if (!mac.empty()) macAddress_ = ToUpperCopy(RemoveChars(":", mac));

  listedFrameRate_ = RestorableNumber(GetReplyParam(list, kKeyFrameRate));
  listedResolution_ = RestorableNumber(GetReplyParam(list, kKeyResolution));
  return true;
}

void CCNBCameraProperties::ReadPlatform(const std::string& list) {
  platform_ = GetReplyParam(list, kKeyPlatform);
  if (platform_.empty()) return;
  for (const PlatformName& name : kPlatformNames) {
    if (Contains(platform_, name.text)) {
      platformKind_ = name.kind;
      return;
    }
  }
  if (Contains(GetReplyParam(list, kKeyCameraType), kD1CameraType)) platformKind_ = kPlatformX;
}

void CCNBCameraProperties::ReadFirmware(const std::string& list) {
  for (const FirmwarePart& part : kFirmwareParts) {
    const std::string value = GetReplyParam(list, part.key);
    if (!value.empty()) firmware_ += part.label + value;
  }
}

void CCNBCameraProperties::FillCodecs() {
  switch (platformKind_) {
    case kPlatformA:
      codecs_ = {ipc::kCodecMjpeg, ipc::kCodecH264};
      break;
    case kPlatformG:
    case kPlatformX:
      codecs_ = {ipc::kCodecMjpeg, ipc::kCodecMpeg4, ipc::kCodecH264};
      break;
    case kPlatformT:
      codecs_ = {ipc::kCodecMpeg4, ipc::kCodecH264};
      break;
    default:
      break;
  }
}

void CCNBCameraProperties::FillResolutionsAndFrameRates() {
  const uint16_t lines = ntsc_ ? kNtscLines : kPalLines;
  const uint16_t cifLines = ntsc_ ? kNtscCifLines : kPalCifLines;
  const uint32_t limit = ntsc_ ? kNtscRate : kPalRate;
  const uint32_t interval = FrameIntervalOfRate(limit);

  if (platformKind_ == kPlatformA) {
    frameRates_ = ntsc_ ? std::set<uint32_t>{30, 15, 5, 1} : std::set<uint32_t>{25, 12, 5, 1};
    AddResolution(352, cifLines, interval);
    AddResolution(720, lines, interval);
    AddResolution(640, 480, interval);
    if (ProbeResolution(1920, 1080)) {
      AddResolution(1280, 720, interval);
      AddResolution(1280, 960, interval);
      AddResolution(1280, 1024, interval);
      AddResolution(1920, 1080, interval);
    } else {
      AddResolution(1024, 768, interval);
      AddResolution(1280, 1024, interval);
    }
    return;
  }
  if (platformKind_ != kPlatformG && platformKind_ != kPlatformT && platformKind_ != kPlatformX) {
    return;
  }
  for (uint32_t rate = 1; rate <= limit; ++rate) frameRates_.insert(rate);
  AddResolution(320, 240, interval);
  if (platformKind_ == kPlatformX) {
    AddResolution(720, lines, interval);
    return;
  }
  AddResolution(640, 480, interval);
  if (!ProbeResolution(1280, 1024)) return;
  AddResolution(1024, 768, interval);
  AddResolution(1280, 1024, interval);
}

bool CCNBCameraProperties::ProbeResolution(uint16_t width, uint16_t height) {
  const uint16_t index = ResolutionIndex(width, height);
  if (index == 0) return false;
  return SendUpdate(MakeParamUpdatePath({{kKeyResolution, std::to_string(index)}}),
                    /*wantSuccessBody=*/true);
}

bool CCNBCameraProperties::SendUpdate(const std::string& path, bool wantSuccessBody) {
  std::string body;
  const bool ok = wantSuccessBody
                      ? RequestGetText(sender_, body, path) && IsUpdateSuccessReply(body)
                      : RequestGet(path, sender_);
  // Only an answer with an error status proves that nothing was applied; an update that got
  // no answer may still have taken effect.
  const uint32_t status = sender_.StatusCode();
  if (status == 0 || status / 100 == 2) cameraChanged_ = true;
  return ok;
}

void CCNBCameraProperties::RestoreVideoSettings() {
  if (!cameraChanged_) return;
  cameraChanged_ = false;
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!listedFrameRate_.empty()) pairs.emplace_back(kKeyFrameRate, listedFrameRate_);
  if (!listedResolution_.empty()) pairs.emplace_back(kKeyResolution, listedResolution_);
  if (pairs.empty()) return;
  if (IsStopped()) {
    // The host stopped the query and waits for its end; the camera still gets its settings
    // back, but the stop event no longer cuts this request: its own deadline does.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(kStoppedWriteBackMs);
    sender_.SetAbortCheck([deadline] { return std::chrono::steady_clock::now() >= deadline; });
  }
  // Its outcome changes nothing in what is reported.
  (void)RequestGet(MakeParamUpdatePath(pairs), sender_);
}

bool CCNBCameraProperties::ReportProperties(ipc::ICapabilityResults* results) {
  if (results == nullptr) return false;
  struct Item {
    int32_t id;
    const char* name;
    std::string value;
    int32_t flag;
  };
  const Item items[] = {
      {1, "Device Video Standard", FormatString("%u", ntsc_ ? 1u : 0u), 0},
      {2, "Device Firmware", firmware_, 1},
      {3, "RTSP port", FormatString("%u", static_cast<unsigned>(rtspPort_)), 0},
      {4, "Device Platform", FormatString("%u", static_cast<unsigned>(platformKind_)), 0},
      {5, "Device MAC address", macAddress_, 1},
  };
  for (const Item& item : items) {
    if (!WritePropertyItem(results, item.id, item.value, item.flag, item.name)) return false;
  }
  return true;
}

}  // namespace korvane
