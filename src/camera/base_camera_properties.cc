#include "camera/base_camera_properties.h"

#include <algorithm>

#include "text/text_helpers.h"

namespace korvane {
namespace {

namespace ipc = ipcapture;

// Capability ids of the host's result object.
enum : uint32_t {
  kCapabilityCompletionZ = 0,
  kCapabilityPtz = 1,
  kCapabilityCompletionX = 2,
  kCapabilityCompletionY = 3,
  kCapabilityAudioInputs = 4,
  kCapabilityFlagC = 5,
  kCapabilityMpeg4 = 6,
  kCapabilityH264 = 7,
  kCapabilityMjpeg = 8,
  kCapabilityFlagD = 11,
  kCapabilityFlagE = 12,
  kCapabilityValueB = 13,
  kCapabilityKindA1 = 14,
  kCapabilityKindA2 = 15,
  kCapabilityKindAOff = 17,
};

// Connection fields echoed back to the host.
enum : uint32_t {
  kFieldAddress = 1,
  kFieldPort = 2,
  kFieldUserName = 3,
  kFieldPassword = 4,
};

constexpr int32_t kAudioInputItem = 101;
constexpr int32_t kAudioOutputItem = 102;
constexpr char kAudioInputName[] = "Audio Input Parameters";
constexpr char kAudioOutputName[] = "Audio Output Parameters";
constexpr int32_t kFrameRateList = 1;
constexpr uint32_t kNtscFrameRate = 30;
constexpr uint32_t kPalFrameRate = 25;

bool SetConnectionField(ipc::ICapabilityResults* results, uint32_t field,
                        const std::string& text) {
  ipc::ICapabilityTextField* object = results->GetConnectionField(field);
  if (object == nullptr) return false;
  object->SetText(text.c_str());
  return true;
}

bool WriteModelName(ipc::ICapabilityResults* results, const std::string& manufacturer,
                    const std::string& model) {
  if (model.empty()) return false;
  const std::string name = manufacturer.empty() ? model : manufacturer + " " + model;
  results->SetModelName(name.c_str());
  return true;
}

bool WriteConnection(ipc::ICapabilityResults* results, const DEVICE_INFO& device) {
  return SetConnectionField(results, kFieldAddress, device.address) &&
         SetConnectionField(results, kFieldPort, FormatString("%hu", device.port)) &&
         SetConnectionField(results, kFieldUserName, device.userName) &&
         SetConnectionField(results, kFieldPassword, device.password);
}

bool WriteCodecs(ipc::ICapabilityResults* results, const std::set<uint32_t>& codecs,
                 int32_t completionZ) {
  if (codecs.empty()) return false;
  bool written = false;
  for (const uint32_t codec : codecs) {
    uint32_t id = 0;
    if (codec == ipc::kCodecMjpeg) {
      id = kCapabilityMjpeg;
    } else if (codec == ipc::kCodecMpeg4) {
      id = kCapabilityMpeg4;
    } else if (codec == ipc::kCodecH264) {
      id = kCapabilityH264;
    } else {
      continue;
    }
    results->SetCapability(id, 1);
    written = true;
  }
  if (!written || completionZ == 0) return false;
  results->SetCapability(kCapabilityCompletionZ, static_cast<uint32_t>(completionZ));
  return true;
}

bool WriteResolutions(ipc::ICapabilityResults* results,
                      const std::vector<CameraResolution>& resolutions,
                      const std::set<uint32_t>& frameRates, bool ntsc) {
  if (resolutions.empty()) return false;
  const uint32_t largestRate =
      frameRates.empty() ? (ntsc ? kNtscFrameRate : kPalFrameRate) : *frameRates.rbegin();
  ipc::ICapabilityResolutionList* list = results->GetResolutionList();
  if (list == nullptr) return false;
  for (const CameraResolution& entry : resolutions) {
    const std::string text = FormatString("%ux%u", static_cast<unsigned>(entry.width),
                                          static_cast<unsigned>(entry.height));
    const uint32_t interval =
        entry.frameIntervalMs != 0 ? entry.frameIntervalMs : FrameIntervalOfRate(largestRate);
    list->AddResolution(text.c_str(), entry.width, entry.height, interval);
  }
  return true;
}

}  // namespace

std::string CAudioCapabilities::ReportText() const {
  return FormatString("Count=%u; IsStereo=%u", channelCount, stereo ? 1u : 0u);
}

uint32_t FrameIntervalOfRate(uint32_t framesPerSecond) {
  // 1000 / rate rounded is the same computation as 1000 / interval rounded.
  return framesPerSecond == 0 ? 0 : IntervalToRate(framesPerSecond);
}

CBaseCameraProperties::CBaseCameraProperties(const DEVICE_INFO& device, bool ntsc)
    : device_(device), ntsc_(ntsc) {}

CBaseCameraProperties::~CBaseCameraProperties() = default;

void CBaseCameraProperties::Stop() {
  stopEvent_.Set();
  Cancel();
}

void CBaseCameraProperties::AddResolution(uint16_t width, uint16_t height,
                                          uint32_t frameIntervalMs) {
  if (width == 0 || height == 0) return;
  auto same = std::find_if(resolutions_.begin(), resolutions_.end(),
                           [&](const CameraResolution& entry) {
                             return entry.width == width && entry.height == height;
                           });
  if (same == resolutions_.end()) {
    resolutions_.push_back({width, height, frameIntervalMs});
  } else if (frameIntervalMs != 0 && frameIntervalMs < same->frameIntervalMs) {
    same->frameIntervalMs = frameIntervalMs;
  }
}

bool CBaseCameraProperties::ReportFrameRates(ipc::ICapabilityFrameRateList* list) {
  if (frameRates_.empty() || list == nullptr) return false;
  for (const uint32_t rate : frameRates_) list->AddFrameInterval(FrameIntervalOfRate(rate));
  const uint32_t wanted = defaultFrameRate_ != 0 ? defaultFrameRate_ : *frameRates_.rbegin() / 2;
  const auto chosen = frameRates_.lower_bound(wanted);
  if (chosen != frameRates_.end()) list->SetDefaultFrameInterval(FrameIntervalOfRate(*chosen));
  return true;
}

bool CBaseCameraProperties::WritePropertyItem(ipc::ICapabilityResults* results, int32_t id,
                                              const std::string& value, int32_t flag,
                                              const char* name) {
  if (id <= 0 || name == nullptr || *name == '\0') return true;
  ipc::ICapabilityPropertyItem* item = results->GetPropertyItem(static_cast<uint32_t>(id));
  if (item == nullptr) return false;
  item->SetName(name);
  item->SetOption(0);
  item->SetFlag(flag);
  item->SetValue(value.empty() ? kNoneValue : value.c_str());
  return true;
}

bool SaveResults(ipc::ICapabilityResults* results, CBaseCameraProperties& p) {
  if (results == nullptr) return false;
  if (!WriteModelName(results, p.manufacturer_, p.model_)) return false;
  if (!WriteConnection(results, p.device_)) return false;
  if (!WriteCodecs(results, p.codecs_, p.completionZ_)) return false;
  if (!WriteResolutions(results, p.resolutions_, p.frameRates_, p.ntsc_)) return false;
  if (!p.ReportFrameRates(results->GetFrameRateList(kFrameRateList))) return false;

  const CameraCapabilityBlock& caps = p.capabilities_;
  if (caps.ptz) results->SetCapability(kCapabilityPtz, 1);
  if (caps.c) results->SetCapability(kCapabilityFlagC, 1);
  results->SetCapability(kCapabilityFlagD, caps.d ? 1 : 0);
  results->SetCapability(kCapabilityFlagE, caps.e ? 1 : 0);
  if (p.completionX_ != 0) {
    results->SetCapability(kCapabilityCompletionX, static_cast<uint32_t>(p.completionX_));
  }
  if (p.completionY_ != 0) {
    results->SetCapability(kCapabilityCompletionY, static_cast<uint32_t>(p.completionY_));
  }
  if (caps.b != 0 && (caps.a == 1 || caps.a == 2)) {
    results->SetCapability(kCapabilityValueB, static_cast<uint32_t>(caps.b));
    results->SetCapability(caps.a == 1 ? kCapabilityKindA1 : kCapabilityKindA2, 1);
    results->SetCapability(kCapabilityKindAOff, 0);
  }
  if (p.audioInput_.channelCount != 0) {
    results->SetCapability(kCapabilityAudioInputs, p.audioInput_.channelCount);
    if (!CBaseCameraProperties::WritePropertyItem(results, kAudioInputItem,
                                                  p.audioInput_.ReportText(), 1,
                                                  kAudioInputName)) {
      return false;
    }
  }
  if (p.audioOutput_.channelCount != 0 &&
      !CBaseCameraProperties::WritePropertyItem(results, kAudioOutputItem,
                                                p.audioOutput_.ReportText(), 1,
                                                kAudioOutputName)) {
    return false;
  }
  return p.ReportProperties(results);
}

}  // namespace korvane
