#pragma once

// Runs cnb-camsim as a child process for integration tests: free ports on 127.0.0.1, a request
// log in a private temporary folder, started until it prints "ready", stopped with SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvane::testing {

// The raw text of `key`'s value in one flat JSON line: a string without its quotes (escapes kept),
// or a number or boolean as written. Empty when absent.
inline std::string JsonValue(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const size_t at = line.find(marker);
  if (at == std::string::npos) return {};
  size_t begin = at + marker.size();
  if (begin < line.size() && line[begin] == '"') {
    ++begin;
    size_t end = begin;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    return line.substr(begin, end - begin);
  }
  const size_t end = line.find_first_of(",}", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

class CamsimChild {
 public:
  CamsimChild() = default;
  ~CamsimChild() { Stop(); }
  CamsimChild(const CamsimChild&) = delete;
  CamsimChild& operator=(const CamsimChild&) = delete;

  static std::string BinaryPath() {
    const char* dir = std::getenv("TOLLIVAR_BINARY_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/tools/camsim/cnb-camsim";
  }

  // Starts the simulator with `args` (ports and the request log are added) and waits for its
  // "ready" line. False with *error set on failure.
  bool Start(const std::vector<std::string>& args, std::string* error) {
    std::string pattern = (std::filesystem::temp_directory_path() / "camsim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      *error = "no temporary folder";
      return false;
    }
    folder_ = pattern;
    const std::string output = folder_ + "/output.txt";
    std::vector<std::string> argv = {BinaryPath(),
                                     "--address",
                                     "127.0.0.1",
                                     "--rtsp-port",
                                     "0",
                                     "--http-port",
                                     "0",
                                     "--log-requests",
                                     folder_ + "/requests.jsonl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      *error = "cannot run " + argv[0];
      return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      const std::string text = ReadFile(output);
      const size_t ready = text.find("ready");
      if (ready != std::string::npos && text.find('\n', ready) != std::string::npos) {
        rtsp_port_ = static_cast<uint16_t>(std::atoi(PortAfter(text, "rtsp=").c_str()));
        http_port_ = static_cast<uint16_t>(std::atoi(PortAfter(text, "http=").c_str()));
        return rtsp_port_ != 0;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *error = "cnb-camsim ended: " + text;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *error = "cnb-camsim printed no ready line";
    Stop();
    return false;
  }

  // SIGTERM, then a bounded wait; a child that hangs is killed so that the test run ends.
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      pid_ = -1;
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      folder_.clear();
    }
  }

  uint16_t RtspPort() const { return rtsp_port_; }
  uint16_t HttpPort() const { return http_port_; }

  // The RTSP lines of the request log, oldest first.
  std::vector<std::string> RtspRequests() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(folder_ + "/requests.jsonl"));
    for (std::string line; std::getline(in, line);) {
      if (JsonValue(line, "proto") == "rtsp") lines.push_back(line);
    }
    return lines;
  }

 private:
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::string PortAfter(const std::string& text, const std::string& key) {
    const size_t at = text.find(key);
    return at == std::string::npos ? std::string() : text.substr(at + key.size(), 5);
  }

  pid_t pid_ = -1;
  std::string folder_;
  uint16_t rtsp_port_ = 0;
  uint16_t http_port_ = 0;
};

}  // namespace korvane::testing
