#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::testing {

// Runs cnb-camsim on free loopback ports for one test and stops it again.
class CamsimProcess {
 public:
  // Starts the simulator with `args` added to "--address 127.0.0.1 --rtsp-port 0
  // --http-port 0" and waits (bounded) for its "ready" line. Check Ready() afterwards.
  explicit CamsimProcess(const std::vector<std::string>& args);
  ~CamsimProcess();
  CamsimProcess(const CamsimProcess&) = delete;
  CamsimProcess& operator=(const CamsimProcess&) = delete;

  bool Ready() const { return httpPort_ != 0; }
  uint16_t HttpPort() const { return httpPort_; }
  uint16_t RtspPort() const { return rtspPort_; }
  // What the simulator printed before it was ready (for failure messages).
  const std::string& Output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  uint16_t httpPort_ = 0;
  uint16_t rtspPort_ = 0;
  std::string output_;
};

}  // namespace korvane::testing
