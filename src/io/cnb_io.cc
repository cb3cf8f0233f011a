#include "io/cnb_io.h"

#include <vector>

#include "camera/http_utils.h"
#include "text/text_helpers.h"

namespace korvane {

CCNBIO::CCNBIO(IDriver* owner) : CIOBase(owner), sender_(*owner->GetDeviceInfo()) {
  // StopIO must not wait for a camera that answers slowly.
  sender_.SetAbortCheck([this] { return IsOutputStopRequested(); });
}

CCNBIO::~CCNBIO() {
  // The output worker calls SetOutputState, which uses the sender: both threads end before the
  // sender and this part of the object go away.
  StopThreads();
}

bool CCNBIO::SetOutputState(std::uint32_t /*index*/, std::int32_t state) {
  const std::string path = FormatString(
      "/cgi-bin/Param.cgi?action=update&alarm.control=2&alarm.signaltype=%d",
      state == kActiveState ? kSignalTypeActive : kSignalTypeInactive);
  return RequestGet(path, sender_);
}

bool CCNBIO::GetInputStates(std::uint32_t count) {
  ReportInputStates(std::vector<std::int32_t>(count, kActiveState));
  return true;
}

}  // namespace korvane
