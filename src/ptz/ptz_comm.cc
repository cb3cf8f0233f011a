#include "ptz/ptz_comm.h"

#include <algorithm>
#include <limits>

#include "camera/http_utils.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

constexpr char kPtzRequestFormat[] = "/cnb-cgi/ptzCtl?cmd=%u&id=1&ps=%u&ts=%u&pr=%u";

// The eight pan and tilt directions 0..7 and their camera commands.
constexpr std::uint16_t kMoveCommands[] = {69, 71, 65, 67, 73, 75, 77, 79};

}  // namespace

std::uint16_t PtzCameraSpeed(std::int32_t host_speed) {
  const std::int32_t s =
      std::clamp(host_speed, CPTZComm::kMinHostSpeed, CPTZComm::kMaxHostSpeed);
  return static_cast<std::uint16_t>(1 + static_cast<int>((s - 1) * 62.0 / 15.0));
}

CPTZComm::CPTZComm(IDriver* owner, const CPtzCapabilities& capabilities, std::uint16_t channel)
    : CBasePTZComm(capabilities, owner, channel), sender_(*owner->GetDeviceInfo()) {
  // A stop must not wait for a slow camera.
  sender_.SetAbortCheck([this] { return IsStopRequested(); });
}

CPTZComm::~CPTZComm() {
  // The thread uses the sender: it ends before the sender goes.
  Close();
  StopQueue();
}

std::uint16_t CPTZComm::MoveCommand(std::int32_t direction) {
  if (direction >= 0 && direction < static_cast<std::int32_t>(std::size(kMoveCommands))) {
    return kMoveCommands[direction];
  }
  if (direction == kPtzZoomDirectionA) return kCmdZoomDirection8;
  if (direction == kPtzZoomDirectionB) return kCmdZoomDirection9;
  return 0;
}

void CPTZComm::HandleWorkItem(CPTZItem* item) {
  if (item == nullptr) return;
  switch (item->commandType) {
    case kPtzMove:
      ProcessMoveCommand(*item);
      break;
    case kPtzFocus:
      ProcessFocusCommand(*item);
      break;
    case kPtzIris:
      ProcessIrisCommand(*item);
      break;
    case kPtzStop:
      SendCommand(kCmdStop, 1, 1);  // one stop request ends every kind of motion
      break;
    default:
      DebugMessage(kLogError, "%s: unexpected command ID=%u", "korvane::CPTZComm::HandleWorkItem",
                   item->commandType);
      break;
  }
}

void CPTZComm::ProcessMoveCommand(const CPTZItem& item) {
  const std::uint16_t speed = PtzCameraSpeed(item.speed);
  // A move hands focus and iris back to the camera.
  if (item.params != nullptr && item.params->IsIrisManual()) {
    item.params->SetIrisManual(false);
    SendCommand(kCmdIrisAuto, 1, 1);
  }
  if (item.params != nullptr && item.params->IsFocusManual()) {
    item.params->SetFocusManual(false);
    SendCommand(kCmdFocusAuto, 1, 1);
  }
  const std::uint16_t cmd = MoveCommand(item.param1);
  if (cmd == 0) return;
  const bool zoom = item.param1 == kPtzZoomDirectionA || item.param1 == kPtzZoomDirectionB;
  SendCommand(cmd, zoom ? 1 : speed, 1);
}

void CPTZComm::ProcessFocusCommand(const CPTZItem& item) {
  if (item.params != nullptr && !item.params->IsFocusManual()) {
    item.params->SetFocusManual(true);
    SendCommand(kCmdFocusManual, 1, 1);
  }
  if (item.subType == kPtzFocusNear) {
    SendCommand(kCmdFocusNear, 1, 1);
  } else if (item.subType == kPtzFocusFar) {
    SendCommand(kCmdFocusFar, 1, 1);
  } else {
    DebugMessage(kLogError, "%s: Unexpected command subtype (Type=%d, Subtype=%d)",
                 "korvane::CPTZComm::ProcessFocusCommand", static_cast<int>(item.commandType),
                 static_cast<int>(item.subType));
  }
}

void CPTZComm::ProcessIrisCommand(const CPTZItem& item) {
  if (item.params != nullptr && !item.params->IsIrisManual()) {
    item.params->SetIrisManual(true);
    SendCommand(kCmdIrisManual, 1, 1);
  }
  if (item.subType == kPtzIrisOpen) {
    SendCommand(kCmdIrisOpen, 1, 1);
  } else if (item.subType == kPtzIrisClose) {
    SendCommand(kCmdIrisClose, 1, 1);
  } else {
    DebugMessage(kLogError, "%s: Unexpected command subtype (Type=%d, Subtype=%d)",
                 "korvane::CPTZComm::ProcessIrisCommand", static_cast<int>(item.commandType),
                 static_cast<int>(item.subType));
  }
}

bool CPTZComm::SendCommand(std::uint16_t cmd, std::uint16_t speed, std::uint16_t pr) {
  if (IsStopRequested()) return false;
  const std::string path = FormatString(kPtzRequestFormat, static_cast<unsigned>(cmd),
                                        static_cast<unsigned>(speed),
                                        static_cast<unsigned>(speed), static_cast<unsigned>(pr));
  CAutoLock guard(send_lock_);
  return RequestGet(path, sender_);
}

bool CPTZComm::SendPresetCommand(std::uint16_t cmd, std::uint32_t slot) {
  // The camera numbers its presets from 1 in 16 bits; a slot beyond that has no camera preset.
  if (slot >= std::numeric_limits<std::uint16_t>::max()) return false;
  // A preset is taken where the head stands: the moves and stops queued before this call reach
  // the camera first. A camera that holds them up delays the preset by one request time-out at
  // most; the preset request goes out then all the same.
  const std::uint32_t timeout_ms = Owner()->GetDeviceInfo()->requestTimeoutMs;
  WaitForEarlierItems(timeout_ms != 0 ? timeout_ms : DEVICE_INFO::kDefaultRequestTimeoutMs);
  return SendCommand(cmd, 1, static_cast<std::uint16_t>(slot + 1));
}

bool CPTZComm::SetPreposition(std::uint32_t slot, const std::string&) {
  return SendPresetCommand(kCmdPresetStore, slot);
}

bool CPTZComm::GoToPreposition(std::uint32_t slot, const std::string&, std::int32_t) {
  return SendPresetCommand(kCmdPresetRecall, slot);
}

bool CPTZComm::ClearPreposition(std::uint32_t slot, const std::string&) {
  return SendPresetCommand(kCmdPresetRemove, slot);
}

}  // namespace korvane
