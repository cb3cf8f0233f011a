// CHttpSender's transport on libcurl: one easy handle in a private multi handle, so that the
// sender keeps one connection to its camera for its whole life.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>

#include "camera/http_sender.h"
#include "camera/http_transport.h"

namespace Web {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::unique_ptr<CURLU, UrlDeleter> MakeUrl(const korvane::DEVICE_INFO& device, bool secure,
                                          std::string_view object) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || device.address.empty() || device.port == 0) return nullptr;
  std::string host = device.address;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const std::string target = EscapeRequestTarget(object);
  const size_t query = target.find('?');
  const std::string path = target.substr(0, query);
  if (curl_url_set(url.get(), CURLUPART_SCHEME, secure ? "https" : "http", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, std::to_string(device.port).c_str(), 0) !=
          CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
    return nullptr;
  }
  if (query != std::string::npos &&
      curl_url_set(url.get(), CURLUPART_QUERY, target.c_str() + query + 1, 0) != CURLUE_OK) {
    return nullptr;
  }
  return url;
}

// How the transfer ended before any connection to the camera existed; kNone when one did.
ConnectError ConnectErrorOf(CURL* easy, CURLcode result) {
  if (result == CURLE_COULDNT_RESOLVE_HOST) return ConnectError::kNotResolved;
  if (result == CURLE_COULDNT_CONNECT) return ConnectError::kRefused;
  if (result != CURLE_OPERATION_TIMEDOUT) return ConnectError::kNone;
  curl_off_t connectedMicros = 0;
  curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectedMicros);
  return connectedMicros == 0 ? ConnectError::kTimedOut : ConnectError::kNone;
}

class CCurlTransport final : public CHttpTransport {
 public:
  explicit CCurlTransport(const korvane::DEVICE_INFO& device) : device_(device) {
    InitCurlOnce();
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (multi_ != nullptr) {
      // One kept connection per sender.
      curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 1L);
    }
  }

  ~CCurlTransport() override {
    if (easy_ != nullptr) curl_easy_cleanup(easy_);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
  }

  // The path and query as libcurl will put them on the request line (it normalises the case of
  // percent-encodings).
  std::optional<std::string> RequestTarget(bool secure, std::string_view object) override {
    auto url = MakeUrl(device_, secure, object);
    if (!url) return std::nullopt;
    char* path = nullptr;
    if (curl_url_get(url.get(), CURLUPART_PATH, &path, 0) != CURLUE_OK) return std::nullopt;
    std::string target = path;
    curl_free(path);
    char* query = nullptr;
    if (curl_url_get(url.get(), CURLUPART_QUERY, &query, 0) == CURLUE_OK) {
      target += '?';
      target += query;
      curl_free(query);
    }
    return target;
  }

  HttpTransferResult Transfer(const HttpRequest& request, const HttpTransferOptions& options,
                              CHttpAnswerSink& sink) override;

 private:
  HttpTransferResult::End Run(const HttpTransferOptions& options, ConnectError& connectError);

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);

  const korvane::DEVICE_INFO& device_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;

  // State of the transfer in progress, filled by the callbacks.
  CHttpAnswerSink* sink_ = nullptr;
  bool sinkStopped_ = false;
  Clock::time_point lastActivity_;
};

HttpTransferResult CCurlTransport::Transfer(const HttpRequest& request,
                                            const HttpTransferOptions& options,
                                            CHttpAnswerSink& sink) {
  HttpTransferResult outcome;
  if (multi_ == nullptr || easy_ == nullptr) return outcome;
  const bool secure = request.secure == 1;
  auto url = MakeUrl(device_, secure, request.object);
  if (!url) return outcome;

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto addHeader = [&headers](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) return false;
    (void)headers.release();
    headers.reset(grown);
    return true;
  };
  for (const std::string& line : request.headerLines) {
    if (!addHeader(line)) return outcome;
  }
  if (!options.authorization.empty() &&
      !addHeader("Authorization: " + std::string(options.authorization))) {
    return outcome;
  }

  CURL* easy = easy_;
  curl_easy_reset(easy);
  const long timeoutMs = static_cast<long>(options.timeoutMs);
  curl_easy_setopt(easy, CURLOPT_CURLU, url.get());
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, CHttpSender::kUserAgent);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs * CHttpSender::kWholeRequestTimeouts);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(CHttpSender::kReadChunkBytes));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CCurlTransport::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CCurlTransport::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  if (headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
  if ((request.flags & kRequestFlagNoRedirects) == 0) {
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  }
  if (secure && (request.flags & kRequestFlagIgnoreCertErrors) != 0) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  if (options.connectionAuthScheme != 0) {
    const unsigned long curlScheme =
        options.connectionAuthScheme == kAuthSchemeNtlm ? CURLAUTH_NTLM : CURLAUTH_NEGOTIATE;
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, curlScheme);
    curl_easy_setopt(easy, CURLOPT_USERNAME, device_.userName.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, device_.password.c_str());
  }
  if (request.verb == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (request.verb == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
  }
  if (!request.body.empty()) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    if (request.verb != "POST") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
    }
  }

  sink_ = &sink;
  sinkStopped_ = false;
  outcome.end = Run(options, outcome.connectError);
  sink_ = nullptr;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  outcome.statusCode = status > 0 ? static_cast<uint32_t>(status) : 0;
  curl_off_t length = -1;
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (length > 0) {
    outcome.contentLength = static_cast<uint32_t>(
        std::min<curl_off_t>(length, std::numeric_limits<uint32_t>::max()));
  }
  return outcome;
}

HttpTransferResult::End CCurlTransport::Run(const HttpTransferOptions& options,
                                            ConnectError& connectError) {
  CURLM* multi = multi_;
  CURL* easy = easy_;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return HttpTransferResult::End::kFailed;

  const auto stallLimit = std::chrono::milliseconds(options.timeoutMs);
  const Clock::time_point start = Clock::now();
  lastActivity_ = start;
  bool finished = false;
  bool aborted = false;
  CURLcode result = CURLE_OK;
  while (true) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      aborted = true;
      break;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished || running == 0) break;

    // The answer phase: from the moment the request could go out, each wait for the next header
    // line or body bytes is bounded by the request time-out. Resolving and connecting are
    // bounded by CURLOPT_CONNECTTIMEOUT_MS, the whole request by CURLOPT_TIMEOUT_MS.
    curl_off_t sentMicros = 0;
    curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &sentMicros);
    const Clock::time_point now = Clock::now();
    if (sentMicros > 0) {
      const Clock::time_point connected = start + std::chrono::microseconds(sentMicros);
      const Clock::time_point since = std::max(connected, lastActivity_);
      if (now - since > stallLimit) {
        aborted = true;
        break;
      }
    } else if (now - start > 2 * stallLimit) {
      aborted = true;  // connecting is bounded by libcurl; this only backs it up
      connectError = ConnectError::kTimedOut;
      break;
    }
    if (options.abortCheck != nullptr && *options.abortCheck && (*options.abortCheck)()) {
      aborted = true;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, kAbortPollIntervalMs, nullptr);
  }
  if (!aborted && finished && connectError == ConnectError::kNone) {
    connectError = ConnectErrorOf(easy, result);
  }
  curl_multi_remove_handle(multi, easy);

  if (!aborted && finished && result == CURLE_OK) return HttpTransferResult::End::kComplete;
  if (!aborted && finished && sinkStopped_ && result == CURLE_WRITE_ERROR) {
    return HttpTransferResult::End::kStoppedBySink;
  }
  return HttpTransferResult::End::kFailed;
}

size_t CCurlTransport::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* transport = static_cast<CCurlTransport*>(self);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  transport->lastActivity_ = Clock::now();
  if (line.starts_with("HTTP/")) {
    transport->sink_->OnAnswerStart();
    return bytes;
  }
  if (line == "\r\n" || line == "\n") {
    transport->sink_->OnHeadersEnd();
    return bytes;
  }
  constexpr std::string_view kName = "www-authenticate:";
  if (line.size() > kName.size() &&
      std::equal(kName.begin(), kName.end(), line.begin(),
                 [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); })) {
    std::string_view value = line.substr(kName.size());
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                              value.back() == ' ' || value.back() == '\t')) {
      value.remove_suffix(1);
    }
    transport->sink_->OnAuthenticateHeader(value);
  }
  return bytes;
}

size_t CCurlTransport::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* transport = static_cast<CCurlTransport*>(self);
  const size_t bytes = size * count;
  transport->lastActivity_ = Clock::now();
  if (!transport->sink_->OnBody({reinterpret_cast<const uint8_t*>(data), bytes})) {
    transport->sinkStopped_ = true;
    return 0;  // CURLE_WRITE_ERROR: the transfer ends here
  }
  return bytes;
}

}  // namespace

std::unique_ptr<CHttpTransport> MakeHttpTransport(const korvane::DEVICE_INFO& device) {
  return std::make_unique<CCurlTransport>(device);
}

}  // namespace Web
