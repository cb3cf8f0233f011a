#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/debug_message.h"
#include "camera/base_http_sender.h"
#include "camera/http_authenticator.h"
#include "camera/http_transport.h"

namespace Web {

// The camera HTTP client: libcurl on POSIX, WinHTTP on Windows (CHttpTransport), with one
// connection kept to its camera for the sender's whole life.
//
// Time-outs, all from the device's request time-out T: resolving and connecting take at most T;
// after that the answer fails when nothing (no header line, no body bytes) arrives for T; and
// the whole request, body included, ends after kWholeRequestTimeouts x T, so a server that
// trickles a byte at a time cannot hold the calling thread. The body is read during Send() into
// the sender and handed out by the read operations, at most kMaxBodyBytes of it: a longer body
// is not kept at all, the answer counts as unreadable and the cut is logged. A request that does
// not read the body (HttpRequest::readBody false) has it counted and dropped as it arrives; past
// kMaxBodyBytes the transfer stops there (the connection is then not reused). Redirects are
// followed only when the request asks for it (kRequestFlagNoRedirects cleared).
//
// Authentication: the first request offers Basic (or the request's preferred scheme) at once.
// A 401 answer teaches the sender the first scheme the camera offers, in the order of its
// WWW-Authenticate headers; when that differs from the preferred one the request is repeated
// once with it, and every later request uses it from the start. Digest (RFC 7616) is answered
// from the challenge of the 401, and again once when the camera reports the nonce stale. The
// Authorization headers are the sender's own (CHttpAuthenticator) on every platform; only NTLM
// and Negotiate, bound to their connection, are left to libcurl (WinHTTP is never given
// credentials, so they fail there).
class CHttpSender : public CBaseHttpSender, private CHttpAnswerSink {
 public:
  // Parameter lists and update replies are a few kilobytes.
  static constexpr size_t kMaxBodyBytes = size_t{1} << 20;
  static constexpr uint32_t kWholeRequestTimeouts = 3;
  static constexpr uint32_t kReadChunkBytes = 8192;
  static constexpr const char* kUserAgent = "Korvane::HttpSender";

  explicit CHttpSender(const korvane::DEVICE_INFO& device);
  ~CHttpSender() override;

  bool Send(const HttpRequest& request) override;
  void CloseRequest() override;
  uint32_t QueryDataAvailable() override;
  uint32_t ReadResponse(std::vector<uint8_t>& body) override;
  uint32_t ReadAvailable(std::vector<uint8_t>& out, uint32_t count, bool clear) override;

  // Polled about every 50 ms while a request waits; when it returns true the request is
  // abandoned as if it had timed out. Owners pass a test of their stop event so that a stop
  // never waits for a slow camera. Set it before the first Send.
  void SetAbortCheck(std::function<bool()> check) { abortCheck_ = std::move(check); }

  // Where a body cut at the cap is reported; may be null (the default). Not owned, must outlive
  // the sender.
  void SetLogger(korvane::IDebugMessage* logger) { logger_ = logger; }

  // Lowers the body cap so that tests need not move a whole MiB.
  void SetMaxBodyBytesForTesting(size_t bytes) { maxBodyBytes_ = bytes; }

 private:
  enum class Outcome {
    kNoAnswer,        // no complete status line and headers
    kBodyIncomplete,  // headers read, the body cut short (time-out, broken connection)
    kComplete,        // headers and the whole body (or the body up to the cap)
  };

  // One request with credentials of `scheme` (0: none); answers a Digest challenge once.
  Outcome Exchange(const HttpRequest& request, uint32_t scheme);
  // One request on the wire with the given Authorization value (empty: none), or with the
  // transport's own handshake of `connectionAuthScheme`.
  Outcome Transfer(const HttpRequest& request, std::string_view authorization,
                   uint32_t connectionAuthScheme);
  uint32_t RequestTimeoutMs() const;
  // Send without the failure bookkeeping; repeated once after a 401 that teaches the scheme.
  bool SendOnce(const HttpRequest& request);
  // The reason of the Send that just ended (`sent`: its result).
  korvane::CFailureReason FailureOf(const HttpRequest& request, bool sent) const;

  // CHttpAnswerSink: the answer of the transfer in progress.
  void OnAnswerStart() override;
  void OnAuthenticateHeader(std::string_view value) override;
  void OnHeadersEnd() override;
  bool OnBody(std::span<const uint8_t> bytes) override;

  std::unique_ptr<CHttpTransport> transport_;
  CHttpAuthenticator authenticator_;
  std::function<bool()> abortCheck_;
  korvane::IDebugMessage* logger_ = nullptr;
  size_t maxBodyBytes_ = kMaxBodyBytes;

  // The answer kept for reading.
  bool hasRequest_ = false;
  bool bodyComplete_ = false;
  std::vector<uint8_t> body_;
  size_t readPos_ = 0;

  // State of the transfer in progress, filled through CHttpAnswerSink.
  std::vector<std::string> authenticateHeaders_;
  bool headersDone_ = false;
  bool keepBody_ = true;         // the request reads the body
  uint64_t bodyBytesSeen_ = 0;   // body bytes of the current answer, kept or dropped
  bool bodyCapped_ = false;      // the transfer was stopped at the cap
  ConnectError connectError_ = ConnectError::kNone;  // of the last Send
};

}  // namespace Web
