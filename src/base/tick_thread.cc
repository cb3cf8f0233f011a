#include "base/tick_thread.h"

namespace korvane {

void CTickThread::Run() {
  if (tick_at_start_) {
    OnTick();
  }
  // A set stop event ends the loop; a time-out (or a failed wait) is the next tick.
  while (!StopEvent().Wait(tick_interval_ms_)) {
    OnTick();
  }
}

}  // namespace korvane
