#pragma once

// A scripted RTSP peer for the client's tests: listens on 127.0.0.1 (free port), takes one
// connection, reads each request up to its empty line, records it and sends what the script
// answers. Everything it does is bounded in bytes and time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::testing {

struct ScriptReply {
  std::string bytes;         // sent right after the request
  bool close_after = false;  // close the connection after sending
  // Called about every 10 ms after this reply until it returns false or the server stops: bytes
  // to push (media, an endless header...). Capped by `stream_limit` bytes in all.
  std::function<bool(std::string& out)> stream;
  size_t stream_limit = 64 * 1024 * 1024;
};

class ScriptedServer {
 public:
  using Script = std::function<ScriptReply(const std::string& request, size_t index)>;

  // backlog 0 with no accept() lets tests fill the queue for a connect that never completes.
  explicit ScriptedServer(int backlog = 4) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    const int yes = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        listen(fd_, backlog) == 0) {
      socklen_t length = sizeof(address);
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin_port);
    }
  }

  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  uint16_t Port() const { return port_; }

  // Serves one connection with `script` on a thread of its own, for at most `lifetime`.
  void Serve(Script script, std::chrono::milliseconds lifetime = std::chrono::seconds(30)) {
    thread_ = std::thread([this, script = std::move(script), lifetime] { Loop(script, lifetime); });
  }

  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }
  size_t RequestCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_.size();
  }
  // True once `count` requests arrived; false after `timeout`.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
  }
  // True once the client closed the connection (or the script did).
  bool WaitForClose(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return closed_; });
  }
  size_t StreamedBytes() const { return streamed_.load(); }

 private:
  void Record(const std::string& request) {
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
  }
  void MarkClosed() {
    std::lock_guard<std::mutex> guard(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  static bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return false;  // the client stopped reading
      const ssize_t n =
          send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  void Loop(const Script& script, std::chrono::milliseconds lifetime) {
    const auto end = std::chrono::steady_clock::now() + lifetime;
    int conn = -1;
    while (conn < 0 && !stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (conn < 0) return;
    std::string pending;
    std::function<bool(std::string&)> stream;
    size_t stream_left = 0;
    size_t index = 0;
    bool open = true;
    while (open && !stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{conn, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        char buffer[4096];
        const ssize_t n = recv(conn, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (n > 0) pending.append(buffer, static_cast<size_t>(n));
      }
      for (size_t end_of = pending.find("\r\n\r\n"); open && end_of != std::string::npos;
           end_of = pending.find("\r\n\r\n")) {
        const std::string request = pending.substr(0, end_of + 4);
        pending.erase(0, end_of + 4);
        Record(request);
        ScriptReply reply = script(request, index++);
        if (!reply.bytes.empty() && !SendAll(conn, reply.bytes)) open = false;
        if (reply.close_after) open = false;
        if (reply.stream) {
          stream = std::move(reply.stream);
          stream_left = reply.stream_limit;
        }
      }
      if (open && stream && stream_left > 0) {
        std::string chunk;
        const bool more = stream(chunk);
        if (chunk.size() > stream_left) chunk.resize(stream_left);
        stream_left -= chunk.size();
        if (!chunk.empty()) {
          if (SendAll(conn, chunk)) {
            streamed_ += chunk.size();
          } else {
            stream = nullptr;  // the client no longer reads
          }
        }
        if (!more) stream = nullptr;
      }
    }
    if (open) {
      // Wait (bounded) for the client to hang up, so that a closed connection can be observed.
      while (!stop_ && std::chrono::steady_clock::now() < end) {
        pollfd p{conn, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
          char buffer[4096];
          const ssize_t n = recv(conn, buffer, sizeof(buffer), MSG_DONTWAIT);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
          if (n > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t e = pending.find("\r\n\r\n"); e != std::string::npos;
                 e = pending.find("\r\n\r\n")) {
              Record(pending.substr(0, e + 4));
              pending.erase(0, e + 4);
            }
          }
        }
      }
    }
    close(conn);
    MarkClosed();
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> streamed_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  bool closed_ = false;
};

}  // namespace korvane::testing
