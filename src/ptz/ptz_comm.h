#pragma once

#include <cstdint>
#include <string>

#include "base/lock.h"
#include "camera/http_sender.h"
#include "ptz/base_ptz_comm.h"

namespace korvane {

// Camera speed for a host speed: host speeds 1..16 spread over the camera's 1..63. Host values
// outside 1..16 are clamped first (0 would otherwise wrap to 65533 on the wire).
std::uint16_t PtzCameraSpeed(std::int32_t host_speed);

// The PTZ command thread of a CNB camera: each item becomes requests to
// "/cnb-cgi/ptzCtl?cmd=%u&id=1&ps=%u&ts=%u&pr=%u".
class CPTZComm : public CBasePTZComm {
 public:
  static constexpr std::int32_t kMinHostSpeed = 1;
  static constexpr std::int32_t kMaxHostSpeed = 16;

  // Camera command codes.
  enum Command : std::uint16_t {
    kCmdFocusAuto = 34,   // sent when focusManual is cleared
    kCmdFocusManual = 35,
    kCmdIrisAuto = 36,    // sent when irisManual is cleared
    kCmdIrisManual = 37,
    kCmdZoomDirection9 = 53,
    kCmdZoomDirection8 = 55,
    kCmdFocusNear = 57,
    kCmdFocusFar = 59,
    kCmdIrisOpen = 61,
    kCmdIrisClose = 63,
    kCmdPresetStore = 100,
    kCmdPresetRemove = 101,
    kCmdPresetRecall = 102,
    kCmdStop = 255,
  };

  // owner must outlive this object; its DEVICE_INFO is copied for the HTTP sender.
  CPTZComm(IDriver* owner, const CPtzCapabilities& capabilities, std::uint16_t channel);
  ~CPTZComm() override;

  bool SetPreposition(std::uint32_t slot, const std::string& name) override;
  bool GoToPreposition(std::uint32_t slot, const std::string& name, std::int32_t value) override;
  bool ClearPreposition(std::uint32_t slot, const std::string& name) override;

  // Camera command for a move direction 0..9; 0 for any other direction.
  static std::uint16_t MoveCommand(std::int32_t direction);

 protected:
  void HandleWorkItem(CPTZItem* item) override;

 private:
  void ProcessMoveCommand(const CPTZItem& item);
  void ProcessFocusCommand(const CPTZItem& item);
  void ProcessIrisCommand(const CPTZItem& item);
  // One request; nothing is sent once the stop event is set. True when the camera answered 2xx.
  bool SendCommand(std::uint16_t cmd, std::uint16_t speed, std::uint16_t pr);
  bool SendPresetCommand(std::uint16_t cmd, std::uint32_t slot);

  // The sender serves one request at a time: the command thread and preset callers take turns.
  CLock send_lock_;
  Web::CHttpSender sender_;
};

}  // namespace korvane
