#include "camera/http_authenticator.h"

#include <cstdio>
#include <random>

#include "camera/http_request.h"
#include "text/text_helpers.h"

namespace Web {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// RFC 7230 section 3.2.6 token characters.
bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// token68 adds these (RFC 7235 section 2.1); only the schemes this client does not answer
// itself (NTLM, Negotiate) carry one, so it is read and dropped.
bool IsToken68Char(char c) { return IsTokenChar(c) || c == '/' || c == '='; }

uint32_t SchemeFromName(std::string_view name) {
  const std::string lower = korvane::ToLowerCopy(name);
  if (lower == "basic") return kAuthSchemeBasic;
  if (lower == "digest") return kAuthSchemeDigest;
  if (lower == "ntlm") return kAuthSchemeNtlm;
  if (lower == "negotiate") return kAuthSchemeNegotiate;
  if (lower.rfind("passport", 0) == 0) return kAuthSchemePassport;
  return 0;
}

// Reads a quoted-string starting at text[pos] == '"'; `pos` ends past the closing quote.
std::string ReadQuoted(std::string_view text, size_t& pos) {
  std::string value;
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '"') return value;
    if (c == '\\' && pos < text.size()) {
      value += text[pos++];
    } else {
      value += c;
    }
  }
  return value;  // unterminated: take what there is
}

void ParseOneHeader(std::string_view text, std::vector<AuthChallenge>& out) {
  size_t pos = 0;
  AuthChallenge* current = nullptr;
  while (pos < text.size()) {
    while (pos < text.size() && (IsBlank(text[pos]) || text[pos] == ',')) ++pos;
    if (pos >= text.size()) break;
    const size_t start = pos;
    while (pos < text.size() && IsTokenChar(text[pos])) ++pos;
    if (pos == start) {  // stray character: skip it
      ++pos;
      continue;
    }
    const std::string_view token = text.substr(start, pos - start);
    size_t look = pos;
    while (look < text.size() && IsBlank(text[look])) ++look;
    const bool isParam = look < text.size() && text[look] == '=' && current != nullptr &&
                         (look + 1 >= text.size() || text[look + 1] != '=');
    if (isParam) {
      pos = look + 1;
      while (pos < text.size() && IsBlank(text[pos])) ++pos;
      std::string value;
      if (pos < text.size() && text[pos] == '"') {
        value = ReadQuoted(text, pos);
      } else {
        const size_t valueStart = pos;
        while (pos < text.size() && text[pos] != ',' && !IsBlank(text[pos])) ++pos;
        value = std::string(text.substr(valueStart, pos - valueStart));
      }
      current->params[korvane::ToLowerCopy(token)] = std::move(value);
      continue;
    }
    // A new challenge: the token is its scheme. A token68 may follow.
    out.push_back(AuthChallenge{SchemeFromName(token), std::string(token), {}});
    current = &out.back();
    size_t after = look;
    size_t t68 = after;
    while (t68 < text.size() && IsToken68Char(text[t68])) ++t68;
    if (t68 > after && after > pos) {
      // "Scheme token68" or "Scheme name=value": a name followed by '=' and a value is a
      // parameter, handled by the loop; a run ending in '=' or with no '=' is a token68.
      size_t nameEnd = after;
      while (nameEnd < text.size() && IsTokenChar(text[nameEnd])) ++nameEnd;
      size_t eq = nameEnd;
      while (eq < text.size() && IsBlank(text[eq])) ++eq;
      const bool paramFollows = eq < text.size() && text[eq] == '=' &&
                                (eq + 1 >= text.size() || text[eq + 1] != '=');
      if (!paramFollows) pos = t68;
    }
  }
}

std::string RandomClientNonce() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx",
                static_cast<unsigned long long>(generator()));
  return buffer;
}

// Quoted-string for a header (RFC 7230 section 3.2.6).
std::string Quote(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool ListContains(std::string_view list, std::string_view item) {
  for (const std::string& part : korvane::SplitString(list, ',')) {
    if (korvane::ToLowerCopy(korvane::TrimBlanks(part)) == item) return true;
  }
  return false;
}

}  // namespace

uint32_t PreferredScheme(int32_t preference) {
  uint32_t scheme = kAuthSchemeBasic;
  if (preference & 1) scheme = kAuthSchemeNtlm;
  if (preference & 2) scheme = kAuthSchemePassport;
  if ((preference & 3) == 3) scheme = kAuthSchemeDigest;
  if (preference & 4) scheme = kAuthSchemeNegotiate;
  return scheme;
}

std::vector<AuthChallenge> ParseAuthChallenges(const std::vector<std::string>& headerValues) {
  std::vector<AuthChallenge> challenges;
  for (const std::string& value : headerValues) ParseOneHeader(value, challenges);
  return challenges;
}

uint32_t FirstOfferedScheme(const std::vector<AuthChallenge>& challenges) {
  for (const AuthChallenge& challenge : challenges) {
    if (challenge.scheme != 0) return challenge.scheme;
  }
  return 0;
}

CHttpAuthenticator::CHttpAuthenticator() : cnonceSource_(RandomClientNonce) {}

bool CHttpAuthenticator::LearnChallenges(const std::vector<AuthChallenge>& challenges) {
  for (const AuthChallenge& challenge : challenges) {
    if (challenge.scheme != kAuthSchemeDigest) continue;
    const auto nonce = challenge.params.find("nonce");
    if (nonce == challenge.params.end()) continue;
    DigestChallenge digest;
    digest.nonce = nonce->second;
    if (auto it = challenge.params.find("realm"); it != challenge.params.end()) {
      digest.realm = it->second;
    }
    if (auto it = challenge.params.find("opaque"); it != challenge.params.end()) {
      digest.opaque = it->second;
      digest.hasOpaque = true;
    }
    if (auto it = challenge.params.find("algorithm"); it != challenge.params.end()) {
      digest.algorithm = it->second;
      const std::string algorithm = korvane::ToLowerCopy(it->second);
      if (algorithm == "md5-sess") {
        digest.session = true;
      } else if (algorithm != "md5") {
        continue;  // SHA-256 and others: look for another challenge
      }
    }
    if (auto it = challenge.params.find("qop"); it != challenge.params.end()) {
      if (ListContains(it->second, "auth")) {
        digest.qop = "auth";
      } else if (ListContains(it->second, "auth-int")) {
        digest.qop = "auth-int";
      } else {
        continue;
      }
    }
    if (HasLineBreakOrNul(digest.nonce) || HasLineBreakOrNul(digest.realm) ||
        HasLineBreakOrNul(digest.opaque) || HasLineBreakOrNul(digest.algorithm)) {
      continue;
    }
    digest_ = std::move(digest);
    return true;
  }
  return false;
}

bool CHttpAuthenticator::IsStaleDigest(const std::vector<AuthChallenge>& challenges) {
  for (const AuthChallenge& challenge : challenges) {
    if (challenge.scheme != kAuthSchemeDigest) continue;
    const auto stale = challenge.params.find("stale");
    if (stale != challenge.params.end() && korvane::ToLowerCopy(stale->second) == "true") {
      return true;
    }
  }
  return false;
}

std::optional<std::string> CHttpAuthenticator::MakeAuthorization(uint32_t scheme,
                                                                 const std::string& user,
                                                                 const std::string& password,
                                                                 std::string_view method,
                                                                 std::string_view uri) {
  if (HasLineBreakOrNul(user) || HasLineBreakOrNul(password)) return std::nullopt;
  if (scheme == kAuthSchemeBasic) {
    std::string encoded;
    if (!korvane::MakeBasicCredentials(user, password, encoded)) return std::nullopt;
    if (HasLineBreakOrNul(encoded)) return std::nullopt;
    return "Basic " + encoded;
  }
  if (scheme == kAuthSchemeDigest) return MakeDigest(user, password, method, uri);
  return std::nullopt;
}

std::optional<std::string> CHttpAuthenticator::MakeDigest(const std::string& user,
                                                          const std::string& password,
                                                          std::string_view method,
                                                          std::string_view uri) {
  if (!digest_ || HasLineBreakOrNul(uri) || HasLineBreakOrNul(method)) return std::nullopt;
  DigestChallenge& digest = *digest_;
  using korvane::Md5Hex;

  std::string cnonce;
  std::string nc;
  if (!digest.qop.empty() || digest.session) cnonce = cnonceSource_();
  if (!digest.qop.empty()) {
    ++digest.nonceCount;
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08x", digest.nonceCount);
    nc = buffer;
  }

  // RFC 7616 section 3.4.2 and 3.4.3.
  std::string ha1 = Md5Hex(user + ":" + digest.realm + ":" + password);
  if (digest.session) ha1 = Md5Hex(ha1 + ":" + digest.nonce + ":" + cnonce);
  std::string a2 = std::string(method) + ":" + std::string(uri);
  if (digest.qop == "auth-int") a2 += ":" + Md5Hex("");  // requests carry no body
  const std::string ha2 = Md5Hex(a2);
  std::string response;
  if (digest.qop.empty()) {
    response = Md5Hex(ha1 + ":" + digest.nonce + ":" + ha2);  // RFC 2069
  } else {
    response = Md5Hex(ha1 + ":" + digest.nonce + ":" + nc + ":" + cnonce + ":" + digest.qop +
                      ":" + ha2);
  }

  std::string header = "Digest username=" + Quote(user) + ", realm=" + Quote(digest.realm) +
                       ", nonce=" + Quote(digest.nonce) + ", uri=" + Quote(uri);
  if (!digest.algorithm.empty()) header += ", algorithm=" + digest.algorithm;
  header += ", response=" + Quote(response);
  if (digest.hasOpaque) header += ", opaque=" + Quote(digest.opaque);
  if (!digest.qop.empty()) {
    header += ", qop=" + digest.qop + ", nc=" + nc + ", cnonce=" + Quote(cnonce);
  }
  return header;
}

}  // namespace Web
