#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// A small HTTP/1.1 server on 127.0.0.1 for tests: every request goes to a handler that scripts
// the answer, including the faults a camera can show (no answer, closing without an answer,
// trickling bytes). Serves any number of connections on one thread, keeps them alive, and
// records every request it received.
namespace korvane::testing {

struct ScriptedRequest {
  std::string method;
  std::string target;  // path and query as received
  std::vector<std::pair<std::string, std::string>> headers;
  int connection = 0;  // 0-based index of the connection it arrived on

  // The value of the header `name` (case-insensitive); empty when missing.
  std::string Header(std::string_view name) const;
};

struct ScriptedReply {
  enum class Action { kAnswer, kCloseWithoutAnswer, kNeverAnswer };

  Action action = Action::kAnswer;
  std::string bytes;        // the whole answer as it goes on the wire
  int byteIntervalMs = 0;   // above 0: one byte per interval
  bool closeAfter = false;  // close the connection once the answer is out

  // "HTTP/1.1 <code> <reason>", the header lines, Content-Length (unless omitted, which also
  // closes the connection after the body so that its end is visible), and the body.
  static ScriptedReply Status(int code, std::string_view reason,
                              const std::vector<std::string>& headers = {},
                              std::string_view body = {}, bool withContentLength = true);
  static ScriptedReply Ok(std::string_view body) { return Status(200, "OK", {}, body); }
  static ScriptedReply CloseWithoutAnswer();
  static ScriptedReply NeverAnswer();
};

class ScriptedHttpServer {
 public:
  using Handler = std::function<ScriptedReply(const ScriptedRequest&)>;

  explicit ScriptedHttpServer(Handler handler);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  uint16_t port() const { return port_; }
  std::vector<ScriptedRequest> Requests() const;
  int ConnectionCount() const;

 private:
  struct Connection;
  void Run();

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<ScriptedRequest> requests_;  // guarded by mutex_
  int connections_ = 0;                    // guarded by mutex_
  std::thread thread_;
};

}  // namespace korvane::testing
