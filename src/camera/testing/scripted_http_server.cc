#include "camera/testing/scripted_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <list>
#include <stdexcept>

namespace korvane::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 5;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

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

bool ParseRequest(std::string_view head, ScriptedRequest& request) {
  size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  const size_t sp1 = first.find(' ');
  const size_t sp2 = first.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  request.method = std::string(first.substr(0, sp1));
  request.target = std::string(first.substr(sp1 + 1, sp2 - sp1 - 1));
  size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    lineEnd = head.find("\r\n", pos);
    if (lineEnd == std::string_view::npos) lineEnd = head.size();
    const std::string_view line = head.substr(pos, lineEnd - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      request.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    pos = lineEnd + 2;
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
    reply.closeAfter = true;
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

struct ScriptedHttpServer::Connection {
  int fd = -1;
  int index = 0;
  std::string input;
  std::string output;
  size_t sent = 0;
  int byteIntervalMs = 0;
  Clock::time_point nextByte;
  bool closeAfter = false;
  bool silent = false;  // never answers again
  bool closing = false;
};

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error("socket");
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error("bind/listen");
  }
  port_ = ntohs(address.sin_port);
  ::fcntl(listener_, F_SETFL, O_NONBLOCK);
  thread_ = std::thread([this] { Run(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::vector<ScriptedRequest> ScriptedHttpServer::Requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return requests_;
}

int ScriptedHttpServer::ConnectionCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return connections_;
}

void ScriptedHttpServer::Run() {
  std::list<Connection> connections;
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back({listener_, POLLIN, 0});
    for (Connection& c : connections) {
      short events = POLLIN;
      if (c.sent < c.output.size() && c.byteIntervalMs == 0) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
    }
    ::poll(fds.data(), fds.size(), kPollMs);

    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        Connection c;
        c.fd = fd;
        c.index = connections_++;
        connections.push_back(std::move(c));
      }
    }

    for (Connection& c : connections) {
      char buffer[16384];
      while (true) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          c.input.append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n == 0) c.closing = true;  // the client went away
        break;
      }
      if (c.input.size() > kMaxHeaderBytes) c.closing = true;

      // Next request, once the previous answer is out.
      const size_t headEnd = c.input.find("\r\n\r\n");
      if (!c.closing && !c.silent && c.sent >= c.output.size() && headEnd != std::string::npos) {
        ScriptedRequest request;
        request.connection = c.index;
        const bool parsed = ParseRequest(std::string_view(c.input).substr(0, headEnd), request);
        c.input.erase(0, headEnd + 4);
        if (!parsed) {
          c.closing = true;
        } else {
          {
            std::lock_guard<std::mutex> guard(mutex_);
            requests_.push_back(request);
          }
          const ScriptedReply reply = handler_(request);
          switch (reply.action) {
            case ScriptedReply::Action::kCloseWithoutAnswer:
              c.closing = true;
              break;
            case ScriptedReply::Action::kNeverAnswer:
              c.silent = true;
              break;
            case ScriptedReply::Action::kAnswer:
              c.output = reply.bytes;
              c.sent = 0;
              c.byteIntervalMs = reply.byteIntervalMs;
              c.nextByte = Clock::now();
              c.closeAfter = reply.closeAfter;
              break;
          }
        }
      }

      // Write what is due.
      if (!c.closing && c.sent < c.output.size()) {
        if (c.byteIntervalMs > 0) {
          if (Clock::now() >= c.nextByte) {
            if (::send(c.fd, c.output.data() + c.sent, 1, MSG_NOSIGNAL) == 1) ++c.sent;
            c.nextByte = Clock::now() + std::chrono::milliseconds(c.byteIntervalMs);
          }
        } else {
          const ssize_t n = ::send(c.fd, c.output.data() + c.sent, c.output.size() - c.sent,
                                   MSG_NOSIGNAL);
          if (n > 0) {
            c.sent += static_cast<size_t>(n);
          } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            c.closing = true;
          }
        }
        if (c.sent >= c.output.size() && c.closeAfter) c.closing = true;
      }
    }

    for (auto it = connections.begin(); it != connections.end();) {
      if (it->closing) {
        ::close(it->fd);
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Connection& c : connections) ::close(c.fd);
}

}  // namespace korvane::testing
