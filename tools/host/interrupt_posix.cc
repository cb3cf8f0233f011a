#include <csignal>

#include "platform.h"

namespace tollivar_host {

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

}  // namespace

const std::atomic<bool>& WatchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return g_interrupted;
}

}  // namespace tollivar_host
