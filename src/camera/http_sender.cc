#include "camera/http_sender.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>

namespace Web {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollIntervalMs = 50;
constexpr long kMaxRedirects = 10;

CURL* Easy(void* handle) { return static_cast<CURL*>(handle); }
CURLM* Multi(void* handle) { return static_cast<CURLM*>(handle); }

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Bytes that cannot travel raw in a request line (controls, blank, DEL, 8-bit) and '#', which
// would start a fragment, are percent-encoded; everything else goes out exactly as given.
std::string EscapeRequestTarget(std::string_view object) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(object.size() + 1);
  if (object.empty() || object.front() != '/') out += '/';
  for (const char ch : object) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte <= 0x20 || byte >= 0x7F || ch == '#') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
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

// The path and query exactly as libcurl will put them on the request line (it normalises
// the case of percent-encodings), which is what a Digest "uri" must repeat.
std::optional<std::string> RenderedTarget(const korvane::DEVICE_INFO& device, bool secure,
                                          std::string_view object) {
  auto url = MakeUrl(device, secure, object);
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

// The transfer ended before any connection to the camera existed.
bool IsConnectFailure(CURL* easy, CURLcode result) {
  if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_CONNECT) return true;
  if (result != CURLE_OPERATION_TIMEDOUT) return false;
  curl_off_t connectedMicros = 0;
  curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connectedMicros);
  return connectedMicros == 0;
}

}  // namespace

CHttpSender::CHttpSender(const korvane::DEVICE_INFO& device) : CBaseHttpSender(device) {
  InitCurlOnce();
  multi_ = curl_multi_init();
  easy_ = curl_easy_init();
  if (multi_ != nullptr) {
    // One kept connection per sender.
    curl_multi_setopt(Multi(multi_), CURLMOPT_MAXCONNECTS, 1L);
  }
}

CHttpSender::~CHttpSender() {
  CloseRequest();
  if (easy_ != nullptr) curl_easy_cleanup(Easy(easy_));
  if (multi_ != nullptr) curl_multi_cleanup(Multi(multi_));
}

uint32_t CHttpSender::RequestTimeoutMs() const {
  // 0 would mean "wait for ever" to the transport; no request may do that.
  return device_.requestTimeoutMs != 0 ? device_.requestTimeoutMs
                                       : korvane::DEVICE_INFO::kDefaultRequestTimeoutMs;
}

void CHttpSender::CloseRequest() {
  hasRequest_ = false;
  bodyComplete_ = false;
  readPos_ = 0;
  std::vector<uint8_t>().swap(body_);
}

bool CHttpSender::Send(const HttpRequest& request) {
  CloseRequest();
  statusCode_ = 0;
  contentLength_ = 0;
  connectFailed_ = false;
  bodyTooLarge_ = false;
  if (multi_ == nullptr || easy_ == nullptr) return false;
  if (request.verb.empty() || request.object.empty()) return false;
  if (HasLineBreakOrNul(request.verb)) return false;
  // Streaming the rest of a body later, or not waiting for the answer, are not offered by
  // this transport; no request of the driver asks for them.
  if (request.totalLength > request.body.size()) return false;
  if ((request.flags & kRequestFlagNoResponseWait) != 0) return false;
  for (const std::string& line : request.headerLines) {
    if (HasLineBreakOrNul(line) || line.find(':') == std::string::npos) return false;
  }

  const uint32_t preferred = PreferredScheme(request.schemePreference);
  const bool withCredentials = !device_.userName.empty() &&
                               request.schemePreference != kSchemePreferenceNoCredentials;
  const uint32_t scheme = rememberedScheme_ != kAuthSchemeNone ? rememberedScheme_ : preferred;
  const Outcome outcome = Exchange(request, withCredentials ? scheme : kAuthSchemeNone);
  if (outcome == Outcome::kNoAnswer) {
    statusCode_ = 0;
    contentLength_ = 0;
    return false;
  }

  if (statusCode_ == 401 && rememberedScheme_ == kAuthSchemeNone) {
    const std::vector<AuthChallenge> challenges = ParseAuthChallenges(authenticateHeaders_);
    const uint32_t offered = StrongestOfferedScheme(challenges);
    authenticator_.LearnChallenges(challenges);
    CloseRequest();
    if (offered == kAuthSchemeNone) return false;
    rememberedScheme_ = offered;
    if (offered != preferred) return Send(request);  // once: the scheme is remembered now
    return false;
  }

  hasRequest_ = true;
  bodyComplete_ = outcome == Outcome::kComplete;
  if (bodyCapped_ && keepBody_) {
    bodyTooLarge_ = true;
    bodyComplete_ = false;
    std::vector<uint8_t>().swap(body_);
    if (logger_ != nullptr) {
      logger_->DebugMessage(korvane::kLogError,
                            "%s: the answer of device %s:%u to \"%s\" is longer than %zu bytes; "
                            "the request fails",
                            "Web::CHttpSender::Send", device_.address.c_str(),
                            static_cast<unsigned>(device_.port), request.object.c_str(),
                            maxBodyBytes_);
    }
  }
  return true;
}

CHttpSender::Outcome CHttpSender::Exchange(const HttpRequest& request, uint32_t scheme) {
  if (scheme == kAuthSchemeNone) return Transfer(request, std::nullopt, 0);
  if (scheme == kAuthSchemeNtlm || scheme == kAuthSchemeNegotiate) {
    // Connection-bound handshakes: left to libcurl.
    return Transfer(request, std::nullopt,
                    scheme == kAuthSchemeNtlm ? CURLAUTH_NTLM : CURLAUTH_NEGOTIATE);
  }
  if (scheme != kAuthSchemeBasic && scheme != kAuthSchemeDigest) return Outcome::kNoAnswer;

  const std::optional<std::string> target =
      RenderedTarget(device_, request.secure == 1, request.object);
  if (!target) return Outcome::kNoAnswer;
  const std::string& uri = *target;
  std::optional<std::string> authorization = authenticator_.MakeAuthorization(
      scheme, device_.userName, device_.password, request.verb, uri);
  if (!authorization && scheme == kAuthSchemeBasic) return Outcome::kNoAnswer;
  const Outcome outcome = Transfer(request, authorization, 0);
  if (outcome == Outcome::kNoAnswer || statusCode_ != 401 || scheme != kAuthSchemeDigest) {
    return outcome;
  }
  // Digest needs the server's nonce: answer the challenge of this 401 once, when we had none
  // yet or the server says ours has expired.
  const std::vector<AuthChallenge> challenges = ParseAuthChallenges(authenticateHeaders_);
  const bool answerable = !authorization || CHttpAuthenticator::IsStaleDigest(challenges);
  if (!answerable || !authenticator_.LearnChallenges(challenges)) return outcome;
  authorization = authenticator_.MakeAuthorization(scheme, device_.userName, device_.password,
                                                   request.verb, uri);
  if (!authorization) return outcome;
  return Transfer(request, authorization, 0);
}

CHttpSender::Outcome CHttpSender::Transfer(const HttpRequest& request,
                                           const std::optional<std::string>& authorization,
                                           uint32_t curlAuthScheme) {
  statusCode_ = 0;
  contentLength_ = 0;
  body_.clear();
  readPos_ = 0;
  authenticateHeaders_.clear();
  headersDone_ = false;
  keepBody_ = request.readBody;
  bodyBytesSeen_ = 0;
  bodyCapped_ = false;

  const bool secure = request.secure == 1;
  auto url = MakeUrl(device_, secure, request.object);
  if (!url) return Outcome::kNoAnswer;

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto addHeader = [&headers](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) return false;
    (void)headers.release();
    headers.reset(grown);
    return true;
  };
  for (const std::string& line : request.headerLines) {
    if (!addHeader(line)) return Outcome::kNoAnswer;
  }
  if (authorization && !addHeader("Authorization: " + *authorization)) return Outcome::kNoAnswer;

  CURL* easy = Easy(easy_);
  curl_easy_reset(easy);
  const long timeoutMs = static_cast<long>(RequestTimeoutMs());
  curl_easy_setopt(easy, CURLOPT_CURLU, url.get());
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs * kWholeRequestTimeouts);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReadChunkBytes));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CHttpSender::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CHttpSender::OnBody);
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
  if (curlAuthScheme != 0) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<unsigned long>(curlAuthScheme));
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

  const Outcome outcome = RunTransfer();
  if (outcome != Outcome::kNoAnswer) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    statusCode_ = status > 0 ? static_cast<uint32_t>(status) : 0;
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length > 0) {
      contentLength_ = static_cast<uint32_t>(
          std::min<curl_off_t>(length, std::numeric_limits<uint32_t>::max()));
    }
    if (statusCode_ == 0) return Outcome::kNoAnswer;
  }
  return outcome;
}

CHttpSender::Outcome CHttpSender::RunTransfer() {
  CURLM* multi = Multi(multi_);
  CURL* easy = Easy(easy_);
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return Outcome::kNoAnswer;

  const auto stallLimit = std::chrono::milliseconds(RequestTimeoutMs());
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
      connectFailed_ = true;
      break;
    }
    if (abortCheck_ && abortCheck_()) {
      aborted = true;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, kPollIntervalMs, nullptr);
  }
  if (!aborted && finished) connectFailed_ = connectFailed_ || IsConnectFailure(easy, result);
  curl_multi_remove_handle(multi, easy);

  if (!aborted && finished && result == CURLE_OK) return Outcome::kComplete;
  if (!aborted && finished && bodyCapped_ && result == CURLE_WRITE_ERROR) {
    // Stopped at the cap on purpose: a dropped body is not missed; a kept one is unusable.
    return keepBody_ ? Outcome::kBodyIncomplete : Outcome::kComplete;
  }
  return headersDone_ ? Outcome::kBodyIncomplete : Outcome::kNoAnswer;
}

size_t CHttpSender::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  sender->lastActivity_ = Clock::now();
  if (line.starts_with("HTTP/")) {
    // A new answer (after a 1xx or an internal authentication round): start over.
    sender->authenticateHeaders_.clear();
    sender->headersDone_ = false;
    sender->body_.clear();
    sender->bodyBytesSeen_ = 0;
    sender->bodyCapped_ = false;
    return bytes;
  }
  if (line == "\r\n" || line == "\n") {
    sender->headersDone_ = true;
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
    sender->authenticateHeaders_.emplace_back(value);
  }
  return bytes;
}

size_t CHttpSender::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* sender = static_cast<CHttpSender*>(self);
  const size_t bytes = size * count;
  sender->lastActivity_ = Clock::now();
  sender->bodyBytesSeen_ += bytes;
  if (sender->bodyBytesSeen_ > sender->maxBodyBytes_) {
    sender->bodyCapped_ = true;
    return 0;  // stops the transfer: more than any answer of the camera needs
  }
  if (sender->keepBody_) sender->body_.insert(sender->body_.end(), data, data + bytes);
  return bytes;
}

uint32_t CHttpSender::QueryDataAvailable() {
  if (!hasRequest_) return 0;
  return static_cast<uint32_t>(
      std::min<size_t>(body_.size() - readPos_, std::numeric_limits<uint32_t>::max()));
}

uint32_t CHttpSender::ReadAvailable(std::vector<uint8_t>& out, uint32_t count, bool clear) {
  if (clear) out.clear();
  if (!hasRequest_ || count == 0) return 0;
  const size_t n = std::min<size_t>(count, body_.size() - readPos_);
  out.insert(out.end(), body_.begin() + static_cast<std::ptrdiff_t>(readPos_),
             body_.begin() + static_cast<std::ptrdiff_t>(readPos_ + n));
  readPos_ += n;
  return static_cast<uint32_t>(n);
}

uint32_t CHttpSender::ReadResponse(std::vector<uint8_t>& body) {
  body.clear();
  if (!hasRequest_) return 0;
  // A body cut short by a time-out or a broken connection is not handed on as if it were
  // whole: the caller sees no body at all.
  if (!bodyComplete_) return 0;
  size_t remaining = contentLength_ != 0 ? contentLength_ : maxBodyBytes_;
  remaining = std::min(remaining, body_.size() - readPos_);
  if (readPos_ == 0 && remaining == body_.size()) {
    body.swap(body_);  // the usual case: the whole body at once, without a copy
  } else {
    body.assign(body_.begin() + static_cast<std::ptrdiff_t>(readPos_),
                body_.begin() + static_cast<std::ptrdiff_t>(readPos_ + remaining));
    readPos_ += remaining;
  }
  return static_cast<uint32_t>(std::min<size_t>(body.size(), std::numeric_limits<uint32_t>::max()));
}

}  // namespace Web
