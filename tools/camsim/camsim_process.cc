#include "camsim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace camsim::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxCapture = 16 * 1024 * 1024;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

pid_t Spawn(const std::vector<std::string>& argv, int* out_fd) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;  // dup2 below clears it for stdout
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    return -1;
  }
  *out_fd = pipe_fds[0];
  return pid;
}

// Waits for the child up to the deadline; kills it (it is ours) when it overstays.
int Reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
  CommandResult result;
  int fd = -1;
  const pid_t pid = Spawn(argv, &fd);
  if (pid < 0) return result;
  const auto deadline = Clock::now() + timeout;
  char chunk[4096];
  while (result.out.size() < kMaxCapture) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready <= 0) break;
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n <= 0) break;
    result.out.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  result.exit_code = Reap(pid, deadline);
  return result;
}

bool CamsimProcess::Start(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--port-8554", "0", "--port-665", "0"};
  all.insert(all.end(), args.begin(), args.end());  // later options win
  std::string error;
  return CamsimChild::Start(all, &error);
}

std::vector<std::string> LinesWith(const std::string& text,
                                   const std::vector<std::string>& fragments) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    bool all = true;
    for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
    if (all) found.push_back(line);
  }
  return found;
}

InterleavedRtspClient::~InterleavedRtspClient() {
  if (fd_ >= 0) close(fd_);
}

bool InterleavedRtspClient::Fill(Clock::time_point deadline) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
  char chunk[8192];
  const ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> InterleavedRtspClient::Request(const std::string& method,
                                                          const std::string& url,
                                                          const std::string& extra_headers) {
  const std::string request = method + " " + url + " RTSP/1.0\r\nCSeq: " +
                              std::to_string(++cseq_) + "\r\n" + extra_headers + "\r\n";
  if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (true) {
    const auto end = buffer_.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::string head = buffer_.substr(0, end + 4);
      size_t body = 0;
      if (const auto cl = head.find("Content-Length: "); cl != std::string::npos) {
        body = std::stoul(head.substr(cl + 16));
      }
      while (buffer_.size() < end + 4 + body) {
        if (!Fill(deadline)) return std::nullopt;
      }
      if (method == "DESCRIBE") sdp_ = buffer_.substr(end + 4, body);
      buffer_.erase(0, end + 4 + body);
      return head;
    }
    if (!Fill(deadline)) return std::nullopt;
  }
}

bool InterleavedRtspClient::Play(uint16_t port, const std::string& url) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
  auto describe = Request("DESCRIBE", url, "Accept: application/sdp\r\n");
  if (!describe || describe->find(" 200 ") == std::string::npos) return false;
  auto setup = Request("SETUP", url + "/stream=0",
                       "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  if (!setup || setup->find(" 200 ") == std::string::npos) return false;
  const auto s = setup->find("Session: ");
  if (s == std::string::npos) return false;
  session_header_ = setup->substr(s + 9, setup->find("\r\n", s) - s - 9);
  const std::string id = session_header_.substr(0, session_header_.find(';'));
  auto play = Request("PLAY", url, "Session: " + id + "\r\nRange: npt=0-\r\n");
  return play && play->find(" 200 ") != std::string::npos;
}

int InterleavedRtspClient::CountRtp(std::chrono::milliseconds duration) {
  return static_cast<int>(CollectRtp(duration).size());
}

std::vector<std::string> InterleavedRtspClient::CollectRtp(std::chrono::milliseconds duration) {
  const auto deadline = Clock::now() + duration;
  std::vector<std::string> packets;
  while (true) {
    // RFC 2326 section 10.12: '$', channel, 16-bit length, then the packet.
    while (buffer_.size() >= 4 && buffer_[0] == '$') {
      const size_t length = (static_cast<uint8_t>(buffer_[2]) << 8) | static_cast<uint8_t>(buffer_[3]);
      if (buffer_.size() < 4 + length) break;
      if (buffer_[1] == 0) packets.push_back(buffer_.substr(4, length));
      buffer_.erase(0, 4 + length);
    }
    if (!buffer_.empty() && buffer_[0] != '$') {
      // An RTSP message from the server (none is expected): kept aside, skipped to the next frame.
      const auto next = buffer_.find('$');
      const size_t cut = next == std::string::npos ? buffer_.size() : next;
      if (other_text_.size() < kMaxCapture) other_text_.append(buffer_, 0, cut);
      buffer_.erase(0, cut);
      continue;
    }
    if (!Fill(deadline)) return packets;
  }
}

}  // namespace camsim::testing
