#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"

// A scripted TCP server on 127.0.0.1 for tests of text protocols (HTTP, RTSP): it frames each
// request (the header block up to its empty line, then the body its Content-Length announces),
// records it and hands it to a handler whose reply scripts what goes back, including the faults
// a peer can show (no answer, closing without an answer, trickling bytes, endless streams).
// One thread serves every connection; reads, request sizes, streams and the server's lifetime
// are bounded.
namespace korvane::testing {

struct ScriptedRequest {
  std::string text;    // the whole request as received: header block and body
  std::string method;
  std::string target;  // as received (HTTP: path and query)
  std::vector<std::pair<std::string, std::string>> headers;
  int connection = 0;  // 0-based index of the connection it arrived on
  size_t index = 0;    // 0-based index among all requests the server received

  // The value of the header `name` (case-insensitive); empty when missing.
  std::string Header(std::string_view name) const;
};

struct ScriptedReply {
  enum class Action { kAnswer, kCloseWithoutAnswer, kNeverAnswer };

  Action action = Action::kAnswer;
  std::string bytes;         // the answer as it goes on the wire; empty: no answer to this one
  bool close_after = false;  // close the connection once the answer is out (no stream then)
  int byte_interval_ms = 0;  // above 0: one byte per interval
  // Called every 10 ms after the answer is out, until it returns false: bytes to push (media, an
  // endless header...), `stream_limit` bytes in all. Later answers do not stop it.
  std::function<bool(std::string& out)> stream;
  size_t stream_limit = 64 * 1024 * 1024;

  // "HTTP/1.1 <code> <reason>", the header lines, Content-Length (unless omitted, which also
  // closes the connection after the body so that its end is visible), and the body.
  static ScriptedReply Status(int code, std::string_view reason,
                              const std::vector<std::string>& headers = {},
                              std::string_view body = {}, bool withContentLength = true);
  static ScriptedReply Ok(std::string_view body) { return Status(200, "OK", {}, body); }
  static ScriptedReply CloseWithoutAnswer();
  // Nothing more on this connection, ever: later requests are not even read.
  static ScriptedReply NeverAnswer();
};

class ScriptedTcpServer {
 public:
  using Handler = std::function<ScriptedReply(const ScriptedRequest&)>;

  // Listens at once on a free port; connections wait in the backlog until Start. A backlog of 0
  // without Start lets a test fill the queue for a connect that never completes.
  explicit ScriptedTcpServer(int backlog = 16);
  ~ScriptedTcpServer();
  ScriptedTcpServer(const ScriptedTcpServer&) = delete;
  ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

  // Serves on a thread of its own, at most `max_connections` (0: any number), for at most
  // `lifetime`; then every connection is closed.
  void Start(Handler handler, int max_connections = 0,
             std::chrono::milliseconds lifetime = std::chrono::seconds(60));

  uint16_t Port() const { return port_; }
  std::vector<ScriptedRequest> Requests() const;
  // RTSP interleaved frames the client sent between requests (RFC 2326 10.12: '$', channel,
  // 16-bit length, data), whole, oldest first; kept apart from the requests.
  std::vector<std::string> InterleavedFrames() const;
  size_t RequestCount() const;
  int ConnectionCount() const;  // accepted so far
  // True once `count` requests arrived / `count` connections were closed (by either side).
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForClosed(int count, std::chrono::milliseconds timeout) const;

 private:
  struct Connection;
  void Run(int max_connections, std::chrono::milliseconds lifetime);
  void Serve(Connection& c);
  void Flush(Connection& c);

  Handler handler_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable CMutex mutex_;
  mutable std::condition_variable_any changed_;
  std::vector<ScriptedRequest> requests_ GUARDED_BY(mutex_);
  std::vector<std::string> frames_ GUARDED_BY(mutex_);
  int connections_ GUARDED_BY(mutex_) = 0;
  int closed_ GUARDED_BY(mutex_) = 0;
};

}  // namespace korvane::testing
