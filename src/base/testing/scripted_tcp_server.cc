#include "base/testing/scripted_tcp_server.h"

#include <algorithm>
#include <charconv>
#include <list>
#include <stdexcept>

#include "base/socket.h"
#include "base/testing/test_sockets.h"

namespace korvane::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 5;
constexpr auto kStreamInterval = std::chrono::milliseconds(10);
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 1024 * 1024;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

// The request line and the header lines of `head` (without its empty line).
bool ParseHead(std::string_view head, ScriptedRequest& request) {
  size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  const size_t sp1 = first.find(' ');
  const size_t sp2 = first.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  request.method = std::string(first.substr(0, sp1));
  request.target = std::string(first.substr(sp1 + 1, sp2 - sp1 - 1));
  for (size_t pos = lineEnd; pos < head.size(); pos = lineEnd) {
    pos += 2;
    lineEnd = std::min(head.find("\r\n", pos), head.size());
    const std::string_view line = head.substr(pos, lineEnd - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
  }
  return true;
}

}  // namespace

std::string ScriptedRequest::Header(std::string_view name) const {
  const std::string wanted = Lower(name);
  for (const auto& [key, value] : headers) {
    if (Lower(key) == wanted) return value;
  }
  return {};
}

ScriptedReply ScriptedReply::Status(int code, std::string_view reason,
                                    const std::vector<std::string>& headers,
                                    std::string_view body, bool withContentLength) {
  ScriptedReply reply;
  reply.bytes = "HTTP/1.1 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
  for (const std::string& line : headers) reply.bytes += line + "\r\n";
  if (withContentLength) {
    reply.bytes += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  } else {
    reply.bytes += "Connection: close\r\n";
    reply.close_after = true;
  }
  reply.bytes += "\r\n";
  reply.bytes += body;
  return reply;
}

ScriptedReply ScriptedReply::CloseWithoutAnswer() {
  ScriptedReply reply;
  reply.action = Action::kCloseWithoutAnswer;
  return reply;
}

ScriptedReply ScriptedReply::NeverAnswer() {
  ScriptedReply reply;
  reply.action = Action::kNeverAnswer;
  return reply;
}

struct ScriptedTcpServer::Connection {
  int fd = -1;
  int index = 0;
  std::string input;
  std::string output;
  size_t sent = 0;
  int byte_interval_ms = 0;
  Clock::time_point next_byte;
  bool close_after = false;
  std::function<bool(std::string&)> stream;
  size_t stream_left = 0;
  Clock::time_point next_chunk;
  bool silent = false;       // never answers again
  bool peer_closed = false;  // the client went away: what it sent before still counts
  bool closing = false;

  bool Drained() const { return sent >= output.size(); }
};

ScriptedTcpServer::ScriptedTcpServer(int backlog) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
  if (listener_ < 0) throw std::runtime_error("socket");
#ifndef _WIN32
  // (On Windows SO_REUSEADDR would let another socket take the port over.)
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, backlog) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(listener_);
    throw std::runtime_error("bind/listen");
  }
  port_ = ntohs(address.sin_port);
  SetNonBlocking(listener_, true);
}

ScriptedTcpServer::~ScriptedTcpServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  CloseSocket(listener_);
}

void ScriptedTcpServer::Start(Handler handler, int max_connections,
                              std::chrono::milliseconds lifetime) {
  handler_ = std::move(handler);
  thread_ = std::thread([this, max_connections, lifetime] { Run(max_connections, lifetime); });
}

std::vector<ScriptedRequest> ScriptedTcpServer::Requests() const {
  CMutexLock guard(mutex_);
  return requests_;
}

std::vector<std::string> ScriptedTcpServer::InterleavedFrames() const {
  CMutexLock guard(mutex_);
  return frames_;
}

size_t ScriptedTcpServer::RequestCount() const {
  CMutexLock guard(mutex_);
  return requests_.size();
}

int ScriptedTcpServer::ConnectionCount() const {
  CMutexLock guard(mutex_);
  return connections_;
}

bool ScriptedTcpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  CMutexLock guard(mutex_);
  while (requests_.size() < count) {
    if (!guard.WaitUntil(changed_, deadline)) return requests_.size() >= count;
  }
  return true;
}

bool ScriptedTcpServer::WaitForClosed(int count, std::chrono::milliseconds timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  CMutexLock guard(mutex_);
  while (closed_ < count) {
    if (!guard.WaitUntil(changed_, deadline)) return closed_ >= count;
  }
  return true;
}

void ScriptedTcpServer::Run(int max_connections, std::chrono::milliseconds lifetime) {
  const Clock::time_point end = Clock::now() + lifetime;
  std::list<Connection> connections;
  while (!stop_ && Clock::now() < end) {
    std::vector<pollfd> fds;
    bool accepting = max_connections == 0;
    if (!accepting) {
      CMutexLock guard(mutex_);
      accepting = connections_ < max_connections;
    }
    fds.push_back(PollEntry(accepting ? listener_ : -1, POLLIN));
    for (Connection& c : connections) {
      const bool writable = !c.Drained() && c.byte_interval_ms == 0;
      fds.push_back(PollEntry(c.fd, static_cast<short>(POLLIN | (writable ? POLLOUT : 0))));
    }
    PollSockets(fds.data(), fds.size(), kPollMs);

    if (fds[0].revents & POLLIN) {
      const int fd = AcceptNonBlocking(listener_);
      if (fd >= 0) {
        CMutexLock guard(mutex_);
        connections.emplace_back().fd = fd;
        connections.back().index = connections_++;
      }
    }
    for (Connection& c : connections) Serve(c);
    connections.remove_if([this](const Connection& c) {
      if (!c.closing) return false;
      CloseSocket(c.fd);
      CMutexLock guard(mutex_);
      ++closed_;
      changed_.notify_all();
      return true;
    });
  }
  CMutexLock guard(mutex_);
  for (Connection& c : connections) CloseSocket(c.fd);
  closed_ += static_cast<int>(connections.size());
  changed_.notify_all();
}

void ScriptedTcpServer::Serve(Connection& c) {
  char buffer[16384];
  while (!c.peer_closed && !c.closing) {
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n == 0) {
      c.peer_closed = true;
    } else if (n < 0) {
      if (!LastCallWouldBlock()) c.closing = true;
      break;
    } else {
      c.input.append(buffer, static_cast<size_t>(n));
      if (c.input.size() > kMaxHeaderBytes + kMaxBodyBytes) c.closing = true;
    }
  }

  // The requests that are complete, each once the previous answer is out.
  while (!c.closing && !c.silent && c.Drained()) {
    if (!c.input.empty() && c.input[0] == '$') {
      if (c.input.size() < 4) break;
      const size_t frame = 4 + ((static_cast<uint8_t>(c.input[2]) << 8) |
                                static_cast<uint8_t>(c.input[3]));
      if (c.input.size() < frame) break;
      CMutexLock guard(mutex_);
      constexpr size_t kMaxFrames = 1000;
      if (frames_.size() < kMaxFrames) frames_.push_back(c.input.substr(0, frame));
      c.input.erase(0, frame);
      continue;
    }
    const size_t headEnd = c.input.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      if (c.input.size() > kMaxHeaderBytes) c.closing = true;
      break;
    }
    ScriptedRequest request;
    request.connection = c.index;
    if (headEnd > kMaxHeaderBytes || !ParseHead(std::string_view(c.input).substr(0, headEnd),
                                                request)) {
      c.closing = true;
      break;
    }
    size_t bodyBytes = 0;
    const std::string length = request.Header("Content-Length");
    if (!length.empty() &&
        (std::from_chars(length.data(), length.data() + length.size(), bodyBytes).ec !=
             std::errc() ||
         bodyBytes > kMaxBodyBytes)) {
      c.closing = true;
      break;
    }
    if (c.input.size() < headEnd + 4 + bodyBytes) break;  // the body is still on its way
    request.text = c.input.substr(0, headEnd + 4 + bodyBytes);
    c.input.erase(0, request.text.size());
    {
      CMutexLock guard(mutex_);
      request.index = requests_.size();
      requests_.push_back(request);
      changed_.notify_all();
    }
    ScriptedReply reply = handler_(request);
    switch (reply.action) {
      case ScriptedReply::Action::kCloseWithoutAnswer:
        c.closing = true;
        break;
      case ScriptedReply::Action::kNeverAnswer:
        c.silent = true;
        break;
      case ScriptedReply::Action::kAnswer:
        c.output = std::move(reply.bytes);
        c.sent = 0;
        c.byte_interval_ms = reply.byte_interval_ms;
        c.next_byte = Clock::now();
        c.close_after = reply.close_after;
        if (reply.stream) {
          c.stream = std::move(reply.stream);
          c.stream_left = reply.stream_limit;
          c.next_chunk = Clock::now();
        }
        break;
    }
    Flush(c);
  }

  // The next piece of a stream, once everything before it is out.
  if (!c.closing && c.stream && c.Drained() && Clock::now() >= c.next_chunk) {
    std::string chunk;
    const bool more = c.stream(chunk);
    if (chunk.size() > c.stream_left) chunk.resize(c.stream_left);
    c.stream_left -= chunk.size();
    if (!more || c.stream_left == 0) c.stream = nullptr;
    c.output = std::move(chunk);
    c.sent = 0;
    c.next_chunk = Clock::now() + kStreamInterval;
  }
  Flush(c);
  if (c.peer_closed) c.closing = true;
}

void ScriptedTcpServer::Flush(Connection& c) {
  if (c.closing || c.Drained()) return;
  if (c.byte_interval_ms > 0) {
    if (Clock::now() < c.next_byte) return;
    if (::send(c.fd, c.output.data() + c.sent, 1, kNoSigPipe) == 1) ++c.sent;
    c.next_byte = Clock::now() + std::chrono::milliseconds(c.byte_interval_ms);
  } else {
    const ssize_t n =
        ::send(c.fd, c.output.data() + c.sent, c.output.size() - c.sent, kNoSigPipe);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
    } else if (n < 0 && !LastCallWouldBlock()) {
      c.closing = true;
    }
  }
  if (c.Drained() && c.close_after) c.closing = true;
}

}  // namespace korvane::testing
