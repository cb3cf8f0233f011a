#pragma once

#include <cstdint>
#include <vector>

#include "camera/http_request.h"
#include "core/failure_reason.h"
#include "core/device_info.h"

namespace Web {

// A client for one camera: sends one request at a time to the device of its DEVICE_INFO and
// lets the caller read the answer. One sender serves one thread at a time; it has no lock.
class CBaseHttpSender {
 public:
  explicit CBaseHttpSender(const korvane::DEVICE_INFO& device) : device_(device) {}
  virtual ~CBaseHttpSender() = default;
  CBaseHttpSender(const CBaseHttpSender&) = delete;
  CBaseHttpSender& operator=(const CBaseHttpSender&) = delete;

  // Sends the request and waits for the answer's status line and headers. False when no
  // answer could be had. A true result says nothing about the status: see StatusCode().
  virtual bool Send(const HttpRequest& request) = 0;
  // Forgets the answer of the last request.
  virtual void CloseRequest() = 0;
  // Bytes of the answer's body that can be read now without waiting.
  virtual uint32_t QueryDataAvailable() = 0;
  // Replaces `body` with the answer's body (up to its Content-Length, or up to the end of the
  // data); returns its length, 0 when there is no body or it could not be read whole.
  virtual uint32_t ReadResponse(std::vector<uint8_t>& body) = 0;
  // Appends at most `count` further bytes of the body to `out` (emptied first when `clear`);
  // returns how many.
  virtual uint32_t ReadAvailable(std::vector<uint8_t>& out, uint32_t count, bool clear) = 0;

  const korvane::DEVICE_INFO& Device() const { return device_; }
  // HTTP status of the last answer; 0 when none was read.
  uint32_t StatusCode() const { return statusCode_; }
  // Content-Length of the last answer; 0 when it had none.
  uint32_t ContentLength() const { return contentLength_; }
  // The scheme learnt from the camera's first 401 answer (kAuthScheme*), 0 before.
  uint32_t RememberedScheme() const { return rememberedScheme_; }
  // True when the last Send could not reach the camera at all: its name did not resolve, the
  // connection was refused or the host unreachable, or connecting timed out. False when any
  // connection was made (even one closed without an answer) and while no Send was made.
  bool ConnectFailed() const { return connectFailed_; }
  // True when the last answer's body was wanted but was longer than the sender keeps: the
  // body is then not readable at all (a cut reply must not pass for a whole one).
  bool BodyTooLarge() const { return bodyTooLarge_; }
  // Why the last Send gave no usable answer: the camera not reached (http-connect), no answer
  // (http-request), 401 or 403 with the schemes the camera offered (http-login), another status
  // outside 200..299 (http-request). Not set after a 2xx answer.
  const korvane::CFailureReason& Failure() const { return failure_; }

 protected:
  korvane::DEVICE_INFO device_;
  uint32_t statusCode_ = 0;
  uint32_t contentLength_ = 0;
  uint32_t rememberedScheme_ = kAuthSchemeNone;
  bool connectFailed_ = false;
  bool bodyTooLarge_ = false;
  korvane::CFailureReason failure_;
};

}  // namespace Web
