#pragma once

// Runs the fault relay (tools/relay/faultrelay.py) as a child process between the driver and the
// camera simulator: a free RTSP port on 127.0.0.1, its output in a private temporary file,
// started until it prints "ready", stopped with SIGTERM (it then prints its counters).

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace korvane::testing {

class RelayChild {
 public:
  RelayChild() = default;
  ~RelayChild() { Stop(); }
  RelayChild(const RelayChild&) = delete;
  RelayChild& operator=(const RelayChild&) = delete;

  // Relays to the camera's RTSP port with the fault options in `args`. False with *error set.
  bool Start(std::uint16_t camera_rtsp_port, const std::vector<std::string>& args,
             std::string* error) {
    std::string pattern = (std::filesystem::temp_directory_path() / "relay-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      *error = "no temporary folder";
      return false;
    }
    folder_ = pattern;
    const std::string output = folder_ + "/output.txt";
    std::vector<std::string> argv = {"python3", FAULTRELAY_SCRIPT, "--target-port",
                                     std::to_string(camera_rtsp_port)};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = SpawnWithOutput(argv, output, /*search_path=*/true);
    if (pid_ < 0) {
      *error = "cannot run python3";
      return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
      const std::string text = Output();
      const size_t at = text.find("faultrelay ready rtsp=");
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::atoi(text.c_str() + at + 22));
        return port_ != 0;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *error = "faultrelay ended: " + text;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "faultrelay printed no ready line";
    Stop();
    return false;
  }

  // SIGTERM and a bounded wait (SIGKILL after 10 s); returns everything it printed, the JSON
  // line of counters last.
  std::string Stop() {
    TerminateChild(pid_, std::chrono::seconds(10));
    pid_ = -1;
    std::string text = Output();
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      folder_.clear();
    }
    return text;
  }

  std::uint16_t Port() const { return port_; }

  // The relay's counters now (a JSON object on one line, printed on SIGUSR1); empty when it
  // does not answer within 3 s.
  std::string Counters() {
    const auto count_lines = [](const std::string& text) {
      size_t n = 0;
      for (size_t at = text.find("\n{"); at != std::string::npos; at = text.find("\n{", at + 1)) ++n;
      return n;
    };
    const size_t before = count_lines(Output());
    if (pid_ <= 0 || kill(pid_, SIGUSR1) != 0) return {};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
      const std::string text = Output();
      if (count_lines(text) > before && text.back() == '\n') {
        const size_t last = text.rfind("\n{");
        return text.substr(last + 1, text.find('\n', last + 1) - last - 1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
  }

  // What the relay printed so far.
  std::string Output() const {
    std::ifstream in(folder_ + "/output.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::string folder_;
};

}  // namespace korvane::testing
