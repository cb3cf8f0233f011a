// Test helpers: cnb-camsim as a child process, bounded command runs, and a minimal RTSP client
// that counts interleaved RTP packets.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace camsim::testing {

// Runs argv[0] with the arguments, stdout captured, killed after `timeout`.
struct CommandResult {
  int exit_code = -1;  // -1 when it did not exit normally (killed by the time-out)
  std::string out;
};
CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout);

class CamsimProcess {
 public:
  CamsimProcess() = default;
  ~CamsimProcess();
  CamsimProcess(const CamsimProcess&) = delete;
  CamsimProcess& operator=(const CamsimProcess&) = delete;

  // Starts the simulator with free loopback ports (unless the arguments name them) and waits
  // for its "ready" line. False when it exits or stays silent.
  bool Start(const std::vector<std::string>& args);
  // SIGTERM, then waits; returns the exit code (-1 when it had to be killed).
  int Stop();

  uint16_t rtsp_port() const { return Port("rtsp"); }
  uint16_t http_port() const { return Port("http"); }
  uint16_t Port(const std::string& name) const;
  const std::string& log_path() const { return log_path_; }
  std::string ReadLog() const;
  std::string RtspUrl(const std::string& path, const std::string& credentials = "") const;
  std::string HttpUrl(const std::string& target) const;

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;  // the child's stdout
  std::map<std::string, uint16_t> ports_;
  std::string log_path_;
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

 private:
  std::optional<std::string> Request(const std::string& method, const std::string& url,
                                     const std::string& extra_headers);
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  int cseq_ = 0;
  std::string buffer_;
  std::string session_header_;
  std::string sdp_;
};

}  // namespace camsim::testing
