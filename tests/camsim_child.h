#pragma once

// Runs cnb-camsim as a child process for every test that needs the simulator (the driver's
// integration tests and the simulator's own): free ports on 127.0.0.1, a request log in a
// private temporary folder, started until it prints "ready", stopped with SIGTERM.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

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

// A GET to the simulator's inspection paths (/camsim/...; never authenticated) on `address`;
// the body of the answer, empty when there was none. Bounded by 5 s per read and write.
inline std::string InspectionGet(uint16_t port, const std::string& target,
                                 const char* address = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, address, &addr.sin_addr);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    const std::string request =
        "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buf[4096];
      for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;) {
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : answer.substr(body + 4);
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
    ports_.clear();
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
    pid_ = SpawnWithOutput(argv, output, /*search_path=*/false);
    if (pid_ < 0) {
      *error = "cannot run " + argv[0];
      return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
      const std::string text = ReadFile(output);
      const size_t ready = text.find("ready");
      if (ready != std::string::npos && text.find('\n', ready) != std::string::npos) {
        output_ = text;
        // "ready rtsp=N http=N [name=N ...]"
        std::istringstream words(text.substr(ready));
        for (std::string word; words >> word;) {
          const size_t eq = word.find('=');
          if (eq != std::string::npos) {
            ports_[word.substr(0, eq)] =
                static_cast<uint16_t>(std::atoi(word.c_str() + eq + 1));
          }
        }
        return RtspPort() != 0 && HttpPort() != 0;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        output_ = text;
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
  // Returns the simulator's exit code, -1 when it was killed or not running.
  int Stop() {
    const int code = TerminateChild(pid_, std::chrono::seconds(15));
    pid_ = -1;
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      folder_.clear();
    }
    return code;
  }

  uint16_t RtspPort() const { return Port("rtsp"); }
  uint16_t HttpPort() const { return Port("http"); }
  // A port of the ready line by its name ("rtsp", "http", "mjpeg8554", ...); 0 when absent.
  uint16_t Port(const std::string& name) const {
    const auto it = ports_.find(name);
    return it == ports_.end() ? 0 : it->second;
  }
  // What the simulator printed up to its ready line (or its end).
  const std::string& Output() const { return output_; }
  // The whole request log, one JSON object per line.
  std::string ReadLog() const { return ReadFile(folder_ + "/requests.jsonl"); }
  std::string RtspUrl(const std::string& path, const std::string& credentials = "") const {
    return "rtsp://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" +
           std::to_string(RtspPort()) + path;
  }
  std::string HttpUrl(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(HttpPort()) + target;
  }

  // The RTSP lines of the request log, oldest first.
  std::vector<std::string> RtspRequests() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadLog());
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
  pid_t pid_ = -1;
  std::string folder_;
  std::string output_;
  std::map<std::string, uint16_t> ports_;
};

}  // namespace korvane::testing
