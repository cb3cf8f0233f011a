#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "camera/http_request.h"
#include "core/device_info.h"

// The platform half of Web::CHttpSender: one request on the wire over the connection the
// transport keeps to its camera. libcurl on POSIX (http_sender_posix.cc), WinHTTP on Windows
// (http_sender_win32.cc). The authentication rounds, the scheme learning and the body cap are
// the sender's (http_sender.cc); a transport only moves bytes and reports what arrives.
namespace Web {

// How often a waiting transfer polls its abort check.
inline constexpr int kAbortPollIntervalMs = 50;

// What a transport reports while an answer arrives, in this order per answer: OnAnswerStart,
// OnAuthenticateHeader for each WWW-Authenticate header, OnHeadersEnd, then OnBody for each piece
// of the decoded body. OnAnswerStart may come again (an answer after a 1xx or after a round the
// transport handled itself): everything reported before it is void.
class CHttpAnswerSink {
 public:
  virtual void OnAnswerStart() = 0;
  virtual void OnAuthenticateHeader(std::string_view value) = 0;
  virtual void OnHeadersEnd() = 0;
  // False stops the transfer at once (the connection is then not reused).
  virtual bool OnBody(std::span<const uint8_t> bytes) = 0;

 protected:
  ~CHttpAnswerSink() = default;
};

struct HttpTransferOptions {
  // The whole value of the Authorization header, built by the sender; empty: no header.
  std::string_view authorization;
  // kAuthSchemeNtlm or kAuthSchemeNegotiate: a connection-bound handshake the transport runs
  // itself with the device's credentials, where it can; 0 for none.
  uint32_t connectionAuthScheme = 0;
  // The device's request time-out T (never 0): resolving and connecting take at most T, the
  // answer fails when nothing arrives for T, the whole request ends after
  // CHttpSender::kWholeRequestTimeouts x T.
  uint32_t timeoutMs = 0;
  // Polled every kAbortPollIntervalMs while the transfer waits; true abandons it. May be empty.
  const std::function<bool()>* abortCheck = nullptr;
};

// How a transfer failed to reach the camera at all.
enum class ConnectError {
  kNone,         // the camera was reached (or the transfer failed before trying)
  kNotResolved,  // its name did not resolve
  kRefused,      // the connection was refused or the host unreachable
  kTimedOut,     // connecting timed out
};

struct HttpTransferResult {
  enum class End {
    kFailed,         // time-out, abort, broken connection, refused request
    kStoppedBySink,  // OnBody returned false
    kComplete,       // the whole answer arrived
  };
  End end = End::kFailed;
  uint32_t statusCode = 0;     // 0 when no status line was read
  uint32_t contentLength = 0;  // 0 when the answer had none
  // Why the camera was not reached at all; kNone when it was.
  ConnectError connectError = ConnectError::kNone;
};

class CHttpTransport {
 public:
  virtual ~CHttpTransport() = default;

  // The path and query exactly as they will stand on the request line for `object`, which is
  // what a Digest "uri" must repeat; nothing when no request can be made of the device's address
  // and port and `object`.
  virtual std::optional<std::string> RequestTarget(bool secure, std::string_view object) = 0;

  // Sends `request` and reports its answer to `sink` as it arrives; returns when the answer is
  // complete, the sink stopped it, or it failed. No call leaves a request pending on the
  // connection.
  virtual HttpTransferResult Transfer(const HttpRequest& request,
                                      const HttpTransferOptions& options,
                                      CHttpAnswerSink& sink) = 0;
};

// The platform's transport for `device`, which must outlive it.
std::unique_ptr<CHttpTransport> MakeHttpTransport(const korvane::DEVICE_INFO& device);

// `object` as a request target: a leading '/' added when missing; bytes that cannot travel raw
// in a request line (controls, blank, DEL, 8-bit) and '#', which would start a fragment,
// percent-encoded; everything else exactly as given.
std::string EscapeRequestTarget(std::string_view object);

}  // namespace Web
