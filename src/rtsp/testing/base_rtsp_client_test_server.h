#pragma once

// The scripted TCP server as the RTSP client's peer: one connection, a script by request text
// and index, and the record as request texts.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/testing/scripted_tcp_server.h"

namespace korvane::testing {

class ScriptedServer {
 public:
  using Script = std::function<ScriptedReply(const std::string& request, size_t index)>;

  // backlog 0 without Serve lets tests fill the queue for a connect that never completes.
  explicit ScriptedServer(int backlog = 4) : server_(backlog) {}

  uint16_t Port() const { return server_.Port(); }

  // Serves one connection with `script`, for at most `lifetime`.
  void Serve(Script script, std::chrono::milliseconds lifetime = std::chrono::seconds(30)) {
    server_.Start(
        [script = std::move(script)](const ScriptedRequest& r) { return script(r.text, r.index); },
        /*max_connections=*/1, lifetime);
  }

  std::vector<std::string> Requests() const {
    std::vector<std::string> texts;
    for (const ScriptedRequest& r : server_.Requests()) texts.push_back(r.text);
    return texts;
  }
  std::vector<std::string> InterleavedFrames() const { return server_.InterleavedFrames(); }
  size_t RequestCount() const { return server_.RequestCount(); }
  // True once `count` requests arrived; false after `timeout`.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return server_.WaitForRequests(count, timeout);
  }
  // True once the client closed the connection (or the script did).
  bool WaitForClose(std::chrono::milliseconds timeout) const {
    return server_.WaitForClosed(1, timeout);
  }

 private:
  ScriptedTcpServer server_;
};

}  // namespace korvane::testing
