// CHttpSender's transport on WinHTTP, in asynchronous mode: the calling thread starts each
// operation (send, receive the headers, read a piece of the body) and waits for its completion
// on an event, in steps of kAbortPollIntervalMs, so that it can check the abort check and the
// time-outs while WinHTTP works. Every notification of a request counts as activity for the
// stall bound: WinHttpReadData completes only when its buffer is full or the body has ended, but
// each receive under it is reported (RECEIVING_RESPONSE, RESPONSE_RECEIVED).
//
// Abandoning a request is closing its handle. Windows cancels the pending operation at once
// (MSDN, WinHttpCloseHandle); Wine lets it end by itself, at the latest at the receive time-out.
// Either way the request's state stays alive until WinHTTP lets go of it (RequestContext).
//
// One session and one connect handle serve every request of the sender, so WinHTTP keeps the
// connection to the camera alive between them. WinHTTP is never given credentials and its own
// authentication is switched off: the sender builds every Authorization header itself (Wine's
// WinHTTP does not answer Digest challenges).
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "camera/http_sender.h"
#include "camera/http_transport.h"

namespace Web {
namespace {

using Clock = std::chrono::steady_clock;

// More WWW-Authenticate headers than any camera sends; the rest are not read.
constexpr DWORD kMaxAuthenticateHeaders = 16;
// How long the transport's end waits for abandoned requests to let go of their state. Windows
// cancels the pending operation of a closed request at once; Wine lets it run until its receive
// ends (at most the request time-out), which a stop does not wait for: the state is freed then.
constexpr auto kMaxCloseWait = std::chrono::milliseconds(500);

// Request lines and header values are bytes; WinHTTP takes and gives UTF-16. Wine's WinHTTP puts
// request headers on the wire as UTF-8 and reads the answer's headers as ISO 8859-1, so text
// that is valid UTF-8 goes in decoded as UTF-8 (its bytes then travel unchanged) and anything
// else byte by byte; answer headers come back byte by byte.
std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() < static_cast<size_t>(std::numeric_limits<int>::max())) {
    const int size = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                                         nullptr, 0);
    if (wide > 0) {
      std::wstring out(static_cast<size_t>(wide), L'\0');
      if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(),
                              wide) == wide) {
        return out;
      }
    }
  }
  std::wstring out;
  out.reserve(text.size());
  for (const char ch : text) out += static_cast<wchar_t>(static_cast<unsigned char>(ch));
  return out;
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t ch : text) out += ch < 0x100 ? static_cast<char>(ch) : '?';
  return out;
}

bool IsHostNameChar(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
         ch == '-' || ch == '.' || ch == '_';
}

bool IsIpv6Char(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F') ||
         ch == ':' || ch == '.';
}

// The server name WinHttpConnect gets for the device's address: a host name or IPv4 address,
// or an IPv6 address in brackets. WinHTTP takes any text here and would look it up or put it in
// the Host header, so anything else is refused before a request exists.
std::optional<std::wstring> ServerName(std::string_view address) {
  if (address.empty() || address.size() > 255) return std::nullopt;
  if (address.front() == '[' || address.find(':') != std::string_view::npos) {
    if (address.front() == '[') {
      if (address.size() < 3 || address.back() != ']') return std::nullopt;
      address = address.substr(1, address.size() - 2);
    }
    if (!std::all_of(address.begin(), address.end(), IsIpv6Char)) return std::nullopt;
    return L"[" + Widen(address) + L"]";
  }
  if (!std::all_of(address.begin(), address.end(), IsHostNameChar)) return std::nullopt;
  return Widen(address);
}

// How an error ended the request before the camera was reached at all; kNone when it was.
ConnectError ConnectErrorOf(DWORD error, bool connected) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return ConnectError::kNotResolved;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return ConnectError::kRefused;
    case ERROR_WINHTTP_TIMEOUT:
      return connected ? ConnectError::kNone : ConnectError::kTimedOut;
    default:
      return ConnectError::kNone;
  }
}

// Requests whose handle is closed but whose state WinHTTP may still use. Their callbacks run
// code of this module, so the transport's end waits a little for them: a sender destroyed just
// before the library is unloaded then leaves no callback to come (on Windows).
struct OpenRequests {
  korvane::CMutex mutex;
  std::condition_variable_any none;
  int count GUARDED_BY(mutex) = 0;
};

// The state one request shares with WinHTTP's callback thread. It belongs to the request
// handle: OnStatus frees it at WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, the handle's last
// notification, so that a request abandoned with an operation pending never has WinHTTP write
// into freed memory. For the same reason the request body and the read buffer live here.
struct RequestContext {
  enum class Completion { kNone, kSent, kHeaders, kRead, kError };

  explicit RequestContext(std::shared_ptr<OpenRequests> open)
      : event(CreateEventW(nullptr, FALSE, FALSE, nullptr)), open(std::move(open)) {
    korvane::CMutexLock guard(this->open->mutex);
    ++this->open->count;
  }
  ~RequestContext() {
    if (event != nullptr) CloseHandle(event);
    korvane::CMutexLock guard(open->mutex);
    if (--open->count == 0) open->none.notify_all();
  }
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  const HANDLE event;  // auto-reset: set at each completion
  const std::shared_ptr<OpenRequests> open;
  std::vector<uint8_t> upload;  // what WinHttpSendRequest sends
  std::vector<uint8_t> buffer = std::vector<uint8_t>(CHttpSender::kReadChunkBytes);

  korvane::CMutex mutex;
  Completion completion GUARDED_BY(mutex) = Completion::kNone;  // reset by the waiter
  DWORD bytesRead GUARDED_BY(mutex) = 0;
  DWORD error GUARDED_BY(mutex) = 0;
  bool connected GUARDED_BY(mutex) = false;        // a connection exists
  Clock::time_point lastActivity GUARDED_BY(mutex);  // the last notification
};

void CALLBACK OnStatus(HINTERNET /*handle*/, DWORD_PTR contextValue, DWORD status, LPVOID info,
                       DWORD infoLength) {
  auto* context = reinterpret_cast<RequestContext*>(contextValue);
  if (context == nullptr) return;  // the session, the connect handle, a request not yet set up
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    delete context;
    return;
  }
  using Completion = RequestContext::Completion;
  korvane::CMutexLock guard(context->mutex);
  const Clock::time_point now = Clock::now();
  context->lastActivity = now;
  Completion completion = Completion::kNone;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:  // also on a kept connection
      context->connected = true;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      completion = Completion::kSent;
      break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      completion = Completion::kHeaders;
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      completion = Completion::kRead;
      context->bytesRead = infoLength;
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      completion = Completion::kError;
      context->error = info != nullptr ? static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError
                                       : ERROR_WINHTTP_INTERNAL_ERROR;
      break;
    default:
      break;
  }
  if (completion != Completion::kNone) {
    context->completion = completion;
    SetEvent(context->event);
  }
}

// A header of the answer by its WINHTTP_QUERY_* code; `index` (may be null) walks headers that
// occur more than once and is advanced past the one returned.
std::optional<std::wstring> QueryHeader(HINTERNET request, DWORD query, DWORD* index) {
  DWORD bytes = 0;
  DWORD probeIndex = index != nullptr ? *index : 0;
  if (WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                          &bytes, index != nullptr ? &probeIndex : WINHTTP_NO_HEADER_INDEX) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) {
    return std::nullopt;
  }
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                           index != nullptr ? index : WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

uint32_t QueryStatusCode(HINTERNET request) {
  DWORD status = 0;
  DWORD bytes = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return 0;
  }
  return status;
}

// The Content-Length the answer announces, if any (saturated at 64 bits).
std::optional<uint64_t> QueryContentLength(HINTERNET request) {
  const std::optional<std::wstring> text =
      QueryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, nullptr);
  if (!text || text->empty()) return std::nullopt;
  uint64_t length = 0;
  for (const wchar_t ch : *text) {
    if (ch < L'0' || ch > L'9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(ch - L'0');
    if (length > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      return std::numeric_limits<uint64_t>::max();
    }
    length = length * 10 + digit;
  }
  return length;
}

bool IsChunked(HINTERNET request) {
  const std::optional<std::wstring> coding =
      QueryHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING, nullptr);
  if (!coding) return false;
  std::string lower = Narrow(*coding);
  for (char& ch : lower) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  }
  return lower.find("chunked") != std::string::npos;
}

// Closes a request handle when it goes; its RequestContext goes with it (OnStatus).
class RequestHandle {
 public:
  explicit RequestHandle(HINTERNET handle) : handle_(handle) {}
  ~RequestHandle() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  RequestHandle(const RequestHandle&) = delete;
  RequestHandle& operator=(const RequestHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

class CWinHttpTransport final : public CHttpTransport {
 public:
  explicit CWinHttpTransport(const korvane::DEVICE_INFO& device)
      : device_(device), open_(std::make_shared<OpenRequests>()) {
    session_ = WinHttpOpen(Widen(CHttpSender::kUserAgent).c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY,
                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session_ != nullptr &&
        WinHttpSetStatusCallback(session_, &OnStatus, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      WinHttpCloseHandle(session_);
      session_ = nullptr;
    }
  }

  ~CWinHttpTransport() override {
    if (connect_ != nullptr) WinHttpCloseHandle(connect_);
    if (session_ != nullptr) WinHttpCloseHandle(session_);
    // An abandoned request lets go of its context once WinHTTP has cancelled its operation.
    const Clock::time_point deadline = Clock::now() + kMaxCloseWait;
    korvane::CMutexLock lock(open_->mutex);
    while (open_->count != 0 && lock.WaitUntil(open_->none, deadline)) {
    }
  }

  // WinHTTP sends the target exactly as given (WINHTTP_FLAG_ESCAPE_DISABLE*).
  std::optional<std::string> RequestTarget(bool /*secure*/, std::string_view object) override {
    if (device_.port == 0 || !ServerName(device_.address)) return std::nullopt;
    return EscapeRequestTarget(object);
  }

  HttpTransferResult Transfer(const HttpRequest& request, const HttpTransferOptions& options,
                              CHttpAnswerSink& sink) override;

 private:
  bool Connect();
  // The request handle for `request`, set up with every option and header; null on failure.
  HINTERNET OpenRequest(const HttpRequest& request, const HttpTransferOptions& options);
  // Hands the answer's status line and headers to the sink; returns the body length announced
  // by Content-Length, if any.
  std::optional<uint64_t> ReportHeaders(HINTERNET request, HttpTransferResult& result,
                                        CHttpAnswerSink& sink);

  const korvane::DEVICE_INFO& device_;
  const std::shared_ptr<OpenRequests> open_;
  HINTERNET session_ = nullptr;
  HINTERNET connect_ = nullptr;
};

bool CWinHttpTransport::Connect() {
  if (connect_ != nullptr) return true;
  if (session_ == nullptr || device_.port == 0) return false;
  const std::optional<std::wstring> server = ServerName(device_.address);
  if (!server) return false;
  // No traffic yet: the connection is made by the first request and then kept.
  connect_ = WinHttpConnect(session_, server->c_str(), device_.port, 0);
  return connect_ != nullptr;
}

HINTERNET CWinHttpTransport::OpenRequest(const HttpRequest& request,
                                         const HttpTransferOptions& options) {
  const bool secure = request.secure == 1;
  const std::wstring verb = Widen(request.verb);
  const std::wstring target = Widen(EscapeRequestTarget(request.object));
  HINTERNET handle = WinHttpOpenRequest(
      connect_, verb.c_str(), target.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES,
      WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
          (secure ? WINHTTP_FLAG_SECURE : 0));
  if (handle == nullptr) return nullptr;

  auto setOption = [handle](DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
  };
  const int timeoutMs = static_cast<int>(
      std::min<uint32_t>(options.timeoutMs, std::numeric_limits<int>::max()));
  bool ok = WinHttpSetTimeouts(handle, timeoutMs, timeoutMs, timeoutMs, timeoutMs) != FALSE;
  // No cookies (a camera's session cookie would change later requests) and no authentication
  // of WinHTTP's own; redirects only when the request allows them (then at most 10, WinHTTP's
  // default, as on POSIX).
  DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
  if ((request.flags & kRequestFlagNoRedirects) != 0) disabled |= WINHTTP_DISABLE_REDIRECTS;
  ok = ok && setOption(WINHTTP_OPTION_DISABLE_FEATURE, disabled);
  // Never the logged-on user's credentials (NTLM, Negotiate) either.
  ok = ok && setOption(WINHTTP_OPTION_AUTOLOGON_POLICY, WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH);
  if (secure && (request.flags & kRequestFlagIgnoreCertErrors) != 0) {
    ok = ok && setOption(WINHTTP_OPTION_SECURITY_FLAGS,
                         SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                             SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                             SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE);
  }

  // The same header block as the POSIX transport: Accept as libcurl sends it, then the
  // request's own lines, each replacing a header of its name (User-Agent included).
  auto addHeader = [handle](std::string_view line, DWORD how) {
    const std::wstring wide = Widen(line);
    return WinHttpAddRequestHeaders(handle, wide.c_str(), static_cast<DWORD>(wide.size()),
                                    how) != FALSE;
  };
  constexpr DWORD kReplace = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
  ok = ok && addHeader("Accept: */*", WINHTTP_ADDREQ_FLAG_ADD_IF_NEW);
  for (const std::string& line : request.headerLines) ok = ok && addHeader(line, kReplace);
  if (!options.authorization.empty()) {
    ok = ok && addHeader("Authorization: " + std::string(options.authorization), kReplace);
  }
  if (!ok) {
    WinHttpCloseHandle(handle);
    return nullptr;
  }
  return handle;
}

std::optional<uint64_t> CWinHttpTransport::ReportHeaders(HINTERNET request,
                                                        HttpTransferResult& result,
                                                        CHttpAnswerSink& sink) {
  result.statusCode = QueryStatusCode(request);
  const std::optional<uint64_t> length = QueryContentLength(request);
  if (length && *length > 0) {
    result.contentLength = static_cast<uint32_t>(
        std::min<uint64_t>(*length, std::numeric_limits<uint32_t>::max()));
  }
  sink.OnAnswerStart();
  DWORD index = 0;
  for (DWORD n = 0; n < kMaxAuthenticateHeaders; ++n) {
    const DWORD before = index;
    const std::optional<std::wstring> value =
        QueryHeader(request, WINHTTP_QUERY_WWW_AUTHENTICATE, &index);
    if (!value || index == before) break;
    sink.OnAuthenticateHeader(Narrow(*value));
  }
  sink.OnHeadersEnd();
  return length;
}

HttpTransferResult CWinHttpTransport::Transfer(const HttpRequest& request,
                                               const HttpTransferOptions& options,
                                               CHttpAnswerSink& sink) {
  using End = HttpTransferResult::End;
  using Completion = RequestContext::Completion;
  HttpTransferResult result;
  // NTLM and Negotiate would need WinHTTP's own authentication, which stays off.
  if (options.connectionAuthScheme != 0 || !Connect()) return result;

  auto owned = std::make_unique<RequestContext>(open_);
  if (owned->event == nullptr) return result;
  RequestHandle handle(OpenRequest(request, options));
  if (handle.get() == nullptr) return result;
  RequestContext* const context = owned.get();
  DWORD_PTR contextValue = reinterpret_cast<DWORD_PTR>(context);
  if (!WinHttpSetOption(handle.get(), WINHTTP_OPTION_CONTEXT_VALUE, &contextValue,
                        sizeof contextValue)) {
    return result;
  }
  (void)owned.release();  // from here on the handle owns it: see OnStatus
  // Nothing below touches `context` once `handle` is closed.

  context->upload = request.body;
  const DWORD uploadBytes = static_cast<DWORD>(context->upload.size());
  const Clock::time_point start = Clock::now();
  if (!WinHttpSendRequest(handle.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          uploadBytes != 0 ? context->upload.data() : WINHTTP_NO_REQUEST_DATA,
                          uploadBytes, uploadBytes, contextValue)) {
    result.connectError = ConnectErrorOf(GetLastError(), false);
    return result;
  }

  // A body announced by Content-Length that ends early is cut short, not complete: WinHTTP
  // reports the end of the data either way.
  std::optional<uint64_t> expectedBody;
  uint64_t bodyBytes = 0;
  const auto stallLimit = std::chrono::milliseconds(options.timeoutMs);
  const auto wholeLimit = stallLimit * CHttpSender::kWholeRequestTimeouts;
  while (true) {
    WaitForSingleObject(context->event, kAbortPollIntervalMs);
    Completion completion;
    DWORD bytesRead;
    DWORD error;
    bool connected;
    Clock::time_point lastActivity;
    {
      korvane::CMutexLock guard(context->mutex);
      completion = std::exchange(context->completion, Completion::kNone);
      bytesRead = context->bytesRead;
      error = context->error;
      connected = context->connected;
      lastActivity = context->lastActivity;
    }

    bool next = false;  // the next operation is started
    switch (completion) {
      case Completion::kNone:
        break;
      case Completion::kError:
        result.connectError = ConnectErrorOf(error, connected);
        return result;
      case Completion::kSent:
        next = WinHttpReceiveResponse(handle.get(), nullptr) != FALSE;
        break;
      case Completion::kHeaders: {
        const std::optional<uint64_t> length = ReportHeaders(handle.get(), result, sink);
        const bool noBody = request.verb == "HEAD" || result.statusCode == 204 ||
                            result.statusCode == 304;
        if (!noBody && length && !IsChunked(handle.get())) expectedBody = length;
        next = WinHttpReadData(handle.get(), context->buffer.data(),
                               static_cast<DWORD>(context->buffer.size()), nullptr) != FALSE;
        break;
      }
      case Completion::kRead:
        if (bytesRead == 0) {
          if (expectedBody && bodyBytes < *expectedBody) return result;
          result.end = End::kComplete;
          return result;
        }
        bodyBytes += bytesRead;
        if (!sink.OnBody({context->buffer.data(), std::min<size_t>(bytesRead,
                                                                   context->buffer.size())})) {
          result.end = End::kStoppedBySink;
          return result;
        }
        next = WinHttpReadData(handle.get(), context->buffer.data(),
                               static_cast<DWORD>(context->buffer.size()), nullptr) != FALSE;
        break;
    }
    if (completion != Completion::kNone && !next) return result;

    // WinHTTP bounds resolving, connecting and each receive by the time-outs set on the request;
    // these bounds back them up and add the one on the whole request.
    const Clock::time_point now = Clock::now();
    if (!connected && now - start > 2 * stallLimit) {
      result.connectError = ConnectError::kTimedOut;
      return result;
    }
    if (connected && now - lastActivity > stallLimit) return result;
    if (now - start > wholeLimit) return result;
    if (options.abortCheck != nullptr && *options.abortCheck && (*options.abortCheck)()) {
      return result;
    }
  }
}

}  // namespace

std::unique_ptr<CHttpTransport> MakeHttpTransport(const korvane::DEVICE_INFO& device) {
  return std::make_unique<CWinHttpTransport>(device);
}

}  // namespace Web
