// Test helpers of the simulator's own tests: the simulator as a child process, bounded command
// runs, and a minimal RTSP client that counts interleaved RTP packets.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "camsim_child.h"

namespace camsim::testing {

// Runs argv[0] with the arguments, stdout captured, killed after `timeout`.
struct CommandResult {
  int exit_code = -1;  // -1 when it did not exit normally (killed by the time-out)
  std::string out;
};
CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout);

// The simulator for its own tests: the common launcher, with both MJPEG ports on free ports too.
class CamsimProcess : public korvane::testing::CamsimChild {
 public:
  bool Start(const std::vector<std::string>& args);
  uint16_t rtsp_port() const { return RtspPort(); }
  uint16_t http_port() const { return HttpPort(); }
};

// Lines of a JSON-lines text that contain every one of the fragments.
std::vector<std::string> LinesWith(const std::string& text,
                                   const std::vector<std::string>& fragments);

// DESCRIBE, SETUP (RTP interleaved on channels 0-1) and PLAY on one TCP connection.
class InterleavedRtspClient {
 public:
  ~InterleavedRtspClient();
  bool Play(uint16_t port, const std::string& url);
  // The Session header of the SETUP answer, as received.
  const std::string& session_header() const { return session_header_; }
  // The SDP of the DESCRIBE answer.
  const std::string& sdp() const { return sdp_; }
  // Reads for `duration` and returns the number of RTP packets on channel 0.
  int CountRtp(std::chrono::milliseconds duration);
  // Reads for `duration` and returns the RTP packets (header included) on channel 0.
  std::vector<std::string> CollectRtp(std::chrono::milliseconds duration);
  // Text between the interleaved frames after PLAY (RTSP messages nobody asked for).
  const std::string& other_text() const { return other_text_; }

 private:
  std::optional<std::string> Request(const std::string& method, const std::string& url,
                                     const std::string& extra_headers);
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  int cseq_ = 0;
  std::string buffer_;
  std::string session_header_;
  std::string sdp_;
  std::string other_text_;
};

}  // namespace camsim::testing
