#include "camera/http_sender.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace Web {
namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The scheme names of WWW-Authenticate values ("Digest, Basic"); "no scheme" for none.
std::string OfferedSchemes(const std::vector<std::string>& headers) {
  std::string names;
  for (const std::string& header : headers) {
    const std::string name =
        korvane::CFailureReason::CameraWords(header.substr(0, header.find(' ')));
    const std::string bare = name.substr(1, name.size() - 2);  // without the quotes
    if (bare.empty() || names.find(bare) != std::string::npos) continue;
    names += names.empty() ? bare : ", " + bare;
  }
  return names.empty() ? "no scheme" : names;
}

const char* ConnectErrorText(ConnectError error) {
  switch (error) {
    case ConnectError::kNotResolved: return "the name does not resolve";
    case ConnectError::kRefused: return "connection refused";
    case ConnectError::kTimedOut: return "connecting timed out";
    case ConnectError::kNone: break;
  }
  return "not reached";
}

}  // namespace

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

CHttpSender::CHttpSender(const korvane::DEVICE_INFO& device)
    : CBaseHttpSender(device), transport_(MakeHttpTransport(device_)) {}

CHttpSender::~CHttpSender() { CloseRequest(); }

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
  connectError_ = ConnectError::kNone;
  const bool sent = SendOnce(request);
  connectFailed_ = connectError_ != ConnectError::kNone;
  failure_ = FailureOf(request, sent);
  return sent;
}

korvane::CFailureReason CHttpSender::FailureOf(const HttpRequest& request, bool sent) const {
  using Step = korvane::CFailureReason::Step;
  const std::string where = device_.address + ":" + std::to_string(device_.port);
  // The path only: the query carries settings that say nothing about the failure.
  const std::string path = korvane::CFailureReason::CameraWords(
      request.object.substr(0, request.object.find('?')));
  if (connectError_ != ConnectError::kNone) {
    return {Step::kHttpConnect, where + ": " + ConnectErrorText(connectError_)};
  }
  if (statusCode_ == 401) {
    const std::string offered = OfferedSchemes(authenticateHeaders_);
    if (device_.userName.empty()) {
      return {Step::kHttpLogin, where + " asks for a login (401, offers " + offered +
                                    ") and no user name is set"};
    }
    return {Step::kHttpLogin,
            where + " refused the user name and password (401, offers " + offered + ")"};
  }
  if (statusCode_ == 403) {
    return {Step::kHttpLogin, where + " forbids this user " + path + " (403)"};
  }
  if (!sent || statusCode_ == 0) {
    return {Step::kHttpRequest, where + " gave no answer to " + path + " within " +
                                    std::to_string(RequestTimeoutMs()) + " ms"};
  }
  if (statusCode_ / 100 != 2) {
    std::string detail = where + " answered " + path + " with status " + std::to_string(statusCode_);
    // The camera's own words, when its answer has a body (CNB cameras say "Error: <key>").
    if (!body_.empty()) {
      detail += " " + korvane::CFailureReason::CameraWords(std::string_view(
                          reinterpret_cast<const char*>(body_.data()), body_.size()));
    }
    return {Step::kHttpRequest, detail};
  }
  return {};
}

bool CHttpSender::SendOnce(const HttpRequest& request) {
  CloseRequest();
  statusCode_ = 0;
  contentLength_ = 0;
  bodyTooLarge_ = false;
  if (!transport_) return false;
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
    if (offered != preferred) return SendOnce(request);  // once: the scheme is remembered now
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
                            "%s: the answer of device %s:%u to \"%s\" is longer than %lu bytes; "
                            "the request fails",
                            "Web::CHttpSender::Send", device_.address.c_str(),
                            static_cast<unsigned>(device_.port), request.object.c_str(),
                            static_cast<unsigned long>(maxBodyBytes_));
    }
  }
  return true;
}

CHttpSender::Outcome CHttpSender::Exchange(const HttpRequest& request, uint32_t scheme) {
  if (scheme == kAuthSchemeNone) return Transfer(request, {}, 0);
  if (scheme == kAuthSchemeNtlm || scheme == kAuthSchemeNegotiate) {
    // Connection-bound handshakes: left to the transport.
    return Transfer(request, {}, scheme);
  }
  if (scheme != kAuthSchemeBasic && scheme != kAuthSchemeDigest) return Outcome::kNoAnswer;

  const std::optional<std::string> target =
      transport_->RequestTarget(request.secure == 1, request.object);
  if (!target) return Outcome::kNoAnswer;
  const std::string& uri = *target;
  std::optional<std::string> authorization = authenticator_.MakeAuthorization(
      scheme, device_.userName, device_.password, request.verb, uri);
  if (!authorization && scheme == kAuthSchemeBasic) return Outcome::kNoAnswer;
  const Outcome outcome = Transfer(request, authorization.value_or(std::string()), 0);
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
  return Transfer(request, *authorization, 0);
}

CHttpSender::Outcome CHttpSender::Transfer(const HttpRequest& request,
                                           std::string_view authorization,
                                           uint32_t connectionAuthScheme) {
  statusCode_ = 0;
  contentLength_ = 0;
  body_.clear();
  readPos_ = 0;
  authenticateHeaders_.clear();
  headersDone_ = false;
  keepBody_ = request.readBody;
  bodyBytesSeen_ = 0;
  bodyCapped_ = false;

  HttpTransferOptions options;
  options.authorization = authorization;
  options.connectionAuthScheme = connectionAuthScheme;
  options.timeoutMs = RequestTimeoutMs();
  options.abortCheck = &abortCheck_;
  const HttpTransferResult result = transport_->Transfer(request, options, *this);
  if (connectError_ == ConnectError::kNone) connectError_ = result.connectError;

  Outcome outcome = headersDone_ ? Outcome::kBodyIncomplete : Outcome::kNoAnswer;
  if (result.end == HttpTransferResult::End::kComplete) {
    outcome = Outcome::kComplete;
  } else if (result.end == HttpTransferResult::End::kStoppedBySink && bodyCapped_) {
    // Stopped at the cap on purpose: a dropped body is not missed; a kept one is unusable.
    outcome = keepBody_ ? Outcome::kBodyIncomplete : Outcome::kComplete;
  }
  if (outcome != Outcome::kNoAnswer) {
    statusCode_ = result.statusCode;
    contentLength_ = result.contentLength;
    if (statusCode_ == 0) return Outcome::kNoAnswer;
  }
  return outcome;
}

void CHttpSender::OnAnswerStart() {
  // A new answer (after a 1xx or an internal authentication round): start over.
  authenticateHeaders_.clear();
  headersDone_ = false;
  body_.clear();
  bodyBytesSeen_ = 0;
  bodyCapped_ = false;
}

void CHttpSender::OnAuthenticateHeader(std::string_view value) {
  authenticateHeaders_.emplace_back(value);
}

void CHttpSender::OnHeadersEnd() { headersDone_ = true; }

bool CHttpSender::OnBody(std::span<const uint8_t> bytes) {
  bodyBytesSeen_ += bytes.size();
  if (bodyBytesSeen_ > maxBodyBytes_) {
    bodyCapped_ = true;
    return false;  // stops the transfer: more than any answer of the camera needs
  }
  if (keepBody_) body_.insert(body_.end(), bytes.begin(), bytes.end());
  return true;
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
