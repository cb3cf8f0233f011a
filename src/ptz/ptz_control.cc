#include "ptz/ptz_control.h"

#include <cstring>
#include <new>
#include <string>

#include "ptz/ptz_comm.h"

namespace korvane {
namespace {

constexpr std::int32_t kNoDirection = 10;  // the host's "no direction": not a move

}  // namespace

CBasePTZControl::CBasePTZControl(IDriver* owner, std::int32_t channel)
    : owner_(owner), channel_(channel), presets_(channel) {}

CBasePTZControl::~CBasePTZControl() {
  // The thread's queued items point at this control: it ends before anything here goes.
  DestroyComm();
}

void CBasePTZControl::DestroyComm() {
  if (!comm_) return;
  presets_.SetComm(nullptr, presets_.GetMaximum());
  comm_->Close();
  comm_.reset();
}

bool CBasePTZControl::Initialize(TSmartPtr<CXMLPrepositionReader> reader) {
  try {
    comm_ = CreateComm();
    if (comm_ && comm_->Open() && reader) {
      presets_.SetComm(comm_.get(), comm_->Capabilities().maxPrepositions);
      presets_.SetStorage(std::move(reader));
      return true;
    }
  } catch (...) {
    // Out of memory while building the command thread: no control.
  }
  DestroyComm();
  return false;
}

std::int32_t CBasePTZControl::ForgetOnSuccess(std::int32_t result) {
  if (result == kPtzOk) presets_.ForgetCurrent();
  return result;
}

std::int32_t CBasePTZControl::IsPTZAvailable() {
  if (!comm_) return kPtzFailed;
  return comm_->IsPTZSupported(0) ? 1 : 0;
}

std::int32_t CBasePTZControl::Move(std::int32_t direction, std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  if (direction == kNoDirection) return kPtzInvalidArgument;
  const std::int32_t result = comm_->StartMove(direction, this, speed);
  if (result == kPtzOk) {
    if (direction == kPtzZoomDirectionA || direction == kPtzZoomDirectionB) {
      zooming_ = true;
    } else {
      moving_ = true;
    }
  }
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::Stop() {
  if (!comm_) return kPtzFailed;
  bool success = true;
  // Each flag stays set when its stop could not be queued, so a later Stop tries again.
  auto stop = [&](bool& flag, bool (CBasePTZComm::*queue_stop)(IIPParams*)) {
    if (!flag) return;
    const bool queued = (comm_.get()->*queue_stop)(this);
    if (queued) flag = false;
    success = success && queued;
  };
  stop(moving_, &CBasePTZComm::StopMoving);
  stop(zooming_, &CBasePTZComm::StopZooming);
  stop(iris_changing_, &CBasePTZComm::StopIrisChanging);
  stop(focusing_, &CBasePTZComm::StopFocusing);
  return success ? kPtzOk : kPtzFailed;
}

std::int32_t CBasePTZControl::CenterOn(std::int32_t a, std::int32_t b, std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  return ForgetOnSuccess(comm_->Center(this, a, b, speed));
}

std::int32_t CBasePTZControl::StartZoomCode8(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartMove(kPtzZoomDirectionA, this, speed);
  if (result == kPtzOk) zooming_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::StartZoomCode9(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartMove(kPtzZoomDirectionB, this, speed);
  if (result == kPtzOk) zooming_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::UnzoomView(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  return ForgetOnSuccess(comm_->Unzoom(this, speed));
}

std::int32_t CBasePTZControl::ZoomToArea(std::int32_t a, std::int32_t b, std::int32_t c,
                                         std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  return ForgetOnSuccess(comm_->AreaZoom(this, a, b, c, speed));
}

std::int32_t CBasePTZControl::StartFocusTrue(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartFocus(this, true, speed);
  if (result == kPtzOk) focusing_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::StartFocusFalse(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartFocus(this, false, speed);
  if (result == kPtzOk) focusing_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::StartIrisTrue(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartIris(this, true, speed);
  if (result == kPtzOk) iris_changing_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::StartIrisFalse(std::int32_t speed) {
  if (!comm_) return kPtzFailed;
  const std::int32_t result = comm_->StartIris(this, false, speed);
  if (result == kPtzOk) iris_changing_ = true;
  return ForgetOnSuccess(result);
}

std::int32_t CBasePTZControl::GetPTZCapabilities(ipcapture::PTZ_CAPABILITIES* capabilities) {
  if (!comm_) return kPtzFailed;
  if (capabilities == nullptr) return kPtzInvalidArgument;
  const std::int32_t result = comm_->GetCapabilities(capabilities);
  if (result == kPtzOk) {
    capabilities->maxPresets = presets_.GetMaximum();
    capabilities->presetCount = static_cast<std::uint32_t>(presets_.GetCount());
  }
  return result;
}

std::int32_t CBasePTZControl::GetPrepositionCount() { return presets_.GetCount(); }

std::int32_t CBasePTZControl::CopyName(bool found, const std::string& name, char* buffer,
                                       std::uint32_t buffer_size) {
  if (!found) return kPtzPresetFailed;
  if (buffer == nullptr || name.size() >= buffer_size) return kPtzInvalidArgument;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return kPtzOk;
}

std::int32_t CBasePTZControl::GetPrepositionName(std::uint32_t index, char* buffer,
                                                 std::uint32_t buffer_size) {
  try {
    std::string name;
    const bool found = presets_.GetNameAt(index, name);
    return CopyName(found, name, buffer, buffer_size);
  } catch (...) {
    return kPtzFailed;
  }
}

std::int32_t CBasePTZControl::GetCurrentPreposition(char* buffer, std::uint32_t buffer_size) {
  try {
    std::string name;
    const bool found = presets_.GetCurrentName(name);
    return CopyName(found, name, buffer, buffer_size);
  } catch (...) {
    return kPtzFailed;
  }
}

std::int32_t CBasePTZControl::RecallPreposition(std::int32_t value, const char* name) {
  if (name == nullptr) return kPtzInvalidArgument;
  try {
    return presets_.RecallByName(name, value) ? kPtzOk : kPtzPresetFailed;
  } catch (...) {
    return kPtzPresetFailed;
  }
}

std::int32_t CBasePTZControl::SavePreposition(const char* name) {
  if (name == nullptr) return kPtzInvalidArgument;
  try {
    return presets_.AddPreposition(name);
  } catch (...) {
    return kPtzFailed;
  }
}

std::int32_t CBasePTZControl::DeletePreposition(const char* name) {
  if (name == nullptr) return kPtzInvalidArgument;
  try {
    return presets_.RemoveByName(name) ? kPtzOk : kPtzPresetFailed;
  } catch (...) {
    return kPtzPresetFailed;
  }
}

std::int32_t CBasePTZControl::QueryOption(std::int32_t option) { return option == 1 ? 1 : 0; }

CPTZControl::~CPTZControl() {
  // The command thread reads the sender of the comm built here: stop it while this exists.
  DestroyComm();
}

std::unique_ptr<CBasePTZComm> CPTZControl::CreateComm() {
  return std::make_unique<CPTZComm>(Owner(), CPtzCapabilities(),
                                    static_cast<std::uint16_t>(GetChannel()));
}

}  // namespace korvane
