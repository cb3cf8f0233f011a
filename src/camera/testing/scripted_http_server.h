#pragma once

#include <cstdint>
#include <utility>

#include "base/testing/scripted_tcp_server.h"

// The scripted TCP server as the camera's HTTP peer: serving from the start, any number of
// keep-alive connections, replies built with ScriptedReply::Status and Ok.
namespace korvane::testing {

class ScriptedHttpServer : public ScriptedTcpServer {
 public:
  explicit ScriptedHttpServer(Handler handler) { Start(std::move(handler)); }

  uint16_t port() const { return Port(); }
};

}  // namespace korvane::testing
