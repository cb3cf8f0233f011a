#include "ptz/base_ptz_comm.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "text/text_helpers.h"

namespace korvane {

CBasePTZComm::CBasePTZComm(const CPtzCapabilities& capabilities, IDriver* owner,
                           std::uint16_t channel)
    : CQueueThread<CPTZItem>(owner), channel_(channel), capabilities_(capabilities),
      owner_(owner) {}

CBasePTZComm::~CBasePTZComm() {
  if (opened_.exchange(false)) StopQueue();
}

bool CBasePTZComm::Open() {
  if (opened_.load(std::memory_order_acquire)) return true;
  const unsigned number = static_cast<unsigned>(channel_) + 1;
  const bool started = StartQueue(FormatString("BaseIPPTZThread_Ch%u", number));
  opened_.store(started, std::memory_order_release);
  if (!started) {
    DebugMessage(kLogError, "%s: unable to start thread for PTZ channel %u",
                 "korvane::CBasePTZComm::Open", number);
  }
  return started;
}

bool CBasePTZComm::Close() {
  if (!opened_.load(std::memory_order_acquire)) return false;
  const bool stopped = StopQueue();
  opened_.store(false, std::memory_order_release);
  return stopped;
}

bool CBasePTZComm::IsPTZSupported(std::int32_t) {
  const CPtzCapabilities& c = capabilities_;
  return c.canPan || c.canTilt || c.canZoom || c.canFocus || c.canIris;
}

std::int32_t CBasePTZComm::GetCapabilities(ipcapture::PTZ_CAPABILITIES* out) {
  if (out == nullptr) return kPtzInvalidArgument;
  out->unused6 = 0;
  out->maxPresets = 0;
  out->presetCount = 0;
  out->unused9 = 0;
  out->unused10 = 0;
  const CPtzCapabilities& c = capabilities_;
  out->hasPan = c.canPan ? 1 : 0;
  out->hasTilt = c.canTilt ? 1 : 0;
  out->hasZoom = c.canZoom ? 1 : 0;
  out->hasFocus = c.canFocus ? 1 : 0;
  out->hasIris = c.canIris ? 1 : 0;
  out->hasAreaZoom = c.canAreaZoom ? 1 : 0;
  out->hasCenter = c.canCenter ? 1 : 0;
  out->hasUnzoom = c.canUnzoom ? 1 : 0;
  out->maxPresets = c.maxPrepositions;
  return kPtzOk;
}

std::int32_t CBasePTZComm::PostGated(bool allowed, std::uint32_t type, const char* operation,
                                     std::uint32_t sub_type, std::int32_t speed,
                                     IIPParams* params, std::int32_t param1,
                                     std::int32_t param2, std::int32_t param3) {
  if (!allowed) return kPtzNotCapable;
  return PostCommand(type, operation, sub_type, speed, params, param1, param2, param3)
             ? kPtzOk
             : kPtzFailed;
}

std::int32_t CBasePTZComm::StartMove(std::int32_t direction, IIPParams* params,
                                     std::int32_t speed) {
  const bool zoom = direction == kPtzZoomDirectionA || direction == kPtzZoomDirectionB;
  const bool allowed = zoom ? capabilities_.canZoom : (capabilities_.canPan || capabilities_.canTilt);
  return PostGated(allowed, kPtzMove, "korvane::CBasePTZComm::StartMove", kPtzSubNone, speed,
                   params, direction);
}

std::int32_t CBasePTZComm::StartFocus(IIPParams* params, bool far, std::int32_t speed) {
  return PostGated(capabilities_.canFocus, kPtzFocus, "korvane::CBasePTZComm::StartFocus",
                   far ? kPtzFocusFar : kPtzFocusNear, speed, params);
}

std::int32_t CBasePTZComm::StartIris(IIPParams* params, bool open, std::int32_t speed) {
  return PostGated(capabilities_.canIris, kPtzIris, "korvane::CBasePTZComm::StartIris",
                   open ? kPtzIrisOpen : kPtzIrisClose, speed, params);
}

std::int32_t CBasePTZComm::AreaZoom(IIPParams* params, std::int32_t a, std::int32_t b,
                                    std::int32_t c, std::int32_t speed) {
  return PostGated(capabilities_.canAreaZoom, kPtzAreaZoom, "korvane::CBasePTZComm::AreaZoom",
                   kPtzSubNone, speed, params, a, b, c);
}

std::int32_t CBasePTZComm::Center(IIPParams* params, std::int32_t a, std::int32_t b,
                                  std::int32_t speed) {
  return PostGated(capabilities_.canCenter, kPtzCenter, "korvane::CBasePTZComm::Center",
                   kPtzSubNone, speed, params, a, b);
}

std::int32_t CBasePTZComm::Unzoom(IIPParams* params, std::int32_t speed) {
  return PostGated(capabilities_.canUnzoom, kPtzUnzoom, "korvane::CBasePTZComm::Unzoom",
                   kPtzSubNone, speed, params);
}

bool CBasePTZComm::StopMoving(IIPParams* params) {
  return PostCommand(kPtzStop, "korvane::CBasePTZComm::StopMoving", kPtzStopMove, 0, params);
}

bool CBasePTZComm::StopZooming(IIPParams* params) {
  return PostCommand(kPtzStop, "korvane::CBasePTZComm::StopZooming", kPtzStopZoom, 0, params);
}

bool CBasePTZComm::StopFocusing(IIPParams* params) {
  return PostCommand(kPtzStop, "korvane::CBasePTZComm::StopFocusing", kPtzStopFocus, 0, params);
}

bool CBasePTZComm::StopIrisChanging(IIPParams* params) {
  return PostCommand(kPtzStop, "korvane::CBasePTZComm::StopIrisChanging", kPtzStopIris, 0,
                     params);
}

bool CBasePTZComm::PostCommand(std::uint32_t type, const char* operation,
                               std::uint32_t sub_type, std::int32_t speed, IIPParams* params,
                               std::int32_t param1, std::int32_t param2, std::int32_t param3) {
  auto item = std::unique_ptr<CPTZItem>(new (std::nothrow) CPTZItem);
  bool added = false;
  if (item) {
    item->commandType = type;
    item->subType = sub_type;
    item->params = params;
    item->speed = speed;
    item->param1 = param1;
    item->param2 = param2;
    item->param3 = param3;
    // A full queue loses its oldest motion command, never a stop: a dropped stop would leave
    // the head moving until the next command.
    added = AddWorkItemBounded(std::move(item), kMaxQueuedItems,
                               [](const CPTZItem& queued) { return queued.commandType != kPtzStop; });
  }
  if (!added) {
    DebugMessage(kLogError, "%s: cannot send message (%d) to thread", operation,
                 static_cast<int>(type));
  }
  return added;
}

bool CBasePTZComm::ClearPreposition(std::uint32_t, const std::string&) { return true; }

void CBasePTZComm::DebugMessage(int level, const char* format, ...) {
  if (owner_ == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  owner_->DebugMessage(level, "%s", text.c_str());
}

}  // namespace korvane
