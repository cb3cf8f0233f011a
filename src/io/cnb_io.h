#pragma once

#include <cstdint>

#include "camera/http_sender.h"
#include "io/io_base.h"

namespace korvane {

// The digital I/O of a CNB camera.
//
// An output change switches the camera's alarm output with one Param.cgi update over the object's
// own HTTP sender. The camera has one alarm output setting, so every output index drives that
// same setting. Inputs are not read from the camera: after every start or reset each input is
// reported once, in the active state.
class CCNBIO : public CIOBase {
 public:
  // alarm.signaltype for the active state (1) and for every other state.
  static constexpr int kSignalTypeActive = 2;
  static constexpr int kSignalTypeInactive = 1;

  // `owner` is not owned and must outlive this object; its device record gives the camera's
  // address, port, credentials and request time-out.
  explicit CCNBIO(IDriver* owner);
  ~CCNBIO() override;

  bool SetOutputState(std::uint32_t index, std::int32_t state) override;
  bool GetInputStates(std::uint32_t count) override;

 private:
  // Used by the output worker only.
  Web::CHttpSender sender_;
};

}  // namespace korvane
