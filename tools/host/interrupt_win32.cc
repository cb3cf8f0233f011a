#include <windows.h>

#include "platform.h"

namespace tollivar_host {

namespace {

std::atomic<bool> g_interrupted{false};

// Runs on a thread of its own that the console starts; returning TRUE keeps the process alive
// so that the command ends its recording as after --seconds.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      g_interrupted = true;
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

const std::atomic<bool>& WatchInterrupts() {
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  return g_interrupted;
}

}  // namespace tollivar_host
