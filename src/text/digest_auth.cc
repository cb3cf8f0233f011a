#include "text/digest_auth.h"

#include <cstdio>
#include <initializer_list>
#include <random>

#include "text/sha256.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// RFC 7230 section 3.2.6 token characters.
bool IsTokenChar(char c) {
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// token68 adds these (RFC 7235 section 2.1); only schemes answered elsewhere (NTLM, Negotiate)
// carry one, so it is read and dropped.
bool IsToken68Char(char c) { return IsTokenChar(c) || c == '/' || c == '='; }

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
      current->params[ToLowerCopy(token)] = std::move(value);
      continue;
    }
    // A new challenge: the token is its scheme. A token68 may follow.
    out.push_back(AuthChallenge{std::string(token), {}});
    current = &out.back();
    const size_t after = look;
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
  char buffer[33];
  std::snprintf(buffer, sizeof buffer, "%016llx%016llx",
                static_cast<unsigned long long>(generator()),
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
  return FindAnyOf(text, std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool ListContains(std::string_view list, std::string_view item) {
  for (const std::string& part : SplitString(list, ',')) {
    if (ToLowerCopy(TrimBlanks(part)) == item) return true;
  }
  return false;
}

const std::string* Param(const AuthChallenge& challenge, const char* name) {
  const auto it = challenge.params.find(name);
  return it == challenge.params.end() ? nullptr : &it->second;
}

}  // namespace

bool AuthChallenge::IsScheme(std::string_view lowerName) const {
  return ToLowerCopy(schemeName) == lowerName;
}

std::vector<AuthChallenge> ParseAuthChallenges(const std::vector<std::string>& headerValues) {
  std::vector<AuthChallenge> challenges;
  for (const std::string& value : headerValues) ParseOneHeader(value, challenges);
  return challenges;
}

std::vector<std::string> AuthenticateHeaderValues(std::string_view message) {
  constexpr std::string_view kName = "www-authenticate";
  std::vector<std::string> values;
  size_t pos = FindAnyOf(message, "\r\n");  // past the status line
  while (pos != std::string_view::npos && pos < message.size()) {
    // Step over one line end (CR LF, or a lone CR or LF).
    pos += (message[pos] == '\r' && pos + 1 < message.size() && message[pos + 1] == '\n') ? 2 : 1;
    const size_t end = FindAnyOf(message, "\r\n", pos);
    const std::string_view line =
        message.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (line.empty()) break;  // end of the header block
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        ToLowerCopy(TrimBlanks(line.substr(0, colon))) == kName) {
      values.push_back(TrimBlanks(line.substr(colon + 1)));
    }
    pos = end;
  }
  return values;
}

std::optional<DigestChallenge> ReadDigestChallenge(const AuthChallenge& challenge) {
  if (!challenge.IsScheme("digest")) return std::nullopt;
  const std::string* nonce = Param(challenge, "nonce");
  if (nonce == nullptr || nonce->empty()) return std::nullopt;
  DigestChallenge accepted;
  accepted.nonce = *nonce;
  if (const std::string* realm = Param(challenge, "realm")) accepted.realm = *realm;
  if (const std::string* opaque = Param(challenge, "opaque")) accepted.opaque = *opaque;
  if (const std::string* algorithm = Param(challenge, "algorithm")) {
    // RFC 7616 section 3.3 and 6.1: MD5 when absent; the -sess variants hash the client
    // nonce into A1.
    accepted.algorithm = *algorithm;
    const std::string name = ToLowerCopy(*algorithm);
    if (name == "md5-sess" || name == "sha-256-sess") accepted.session = true;
    if (name == "sha-256" || name == "sha-256-sess") accepted.sha256 = true;
    if (name != "md5" && !accepted.session && !accepted.sha256) return std::nullopt;
  }
  if (const std::string* qop = Param(challenge, "qop")) {
    if (ListContains(*qop, "auth")) {
      accepted.qop = "auth";
    } else if (ListContains(*qop, "auth-int")) {
      accepted.qop = "auth-int";
    } else {
      return std::nullopt;
    }
  }
  if (HasLineBreakOrNul(accepted.nonce) || HasLineBreakOrNul(accepted.realm) ||
      HasLineBreakOrNul(accepted.opaque.value_or("")) || HasLineBreakOrNul(accepted.algorithm)) {
    return std::nullopt;
  }
  return accepted;
}

ChallengeRank RankChallenge(const AuthChallenge& challenge) {
  if (challenge.IsScheme("basic")) return ChallengeRank::kBasic;
  const std::optional<DigestChallenge> digest = ReadDigestChallenge(challenge);
  if (!digest) return ChallengeRank::kUnanswerable;
  return digest->sha256 ? ChallengeRank::kDigestSha256 : ChallengeRank::kDigestMd5;
}

const AuthChallenge* StrongestChallenge(const std::vector<AuthChallenge>& challenges) {
  const AuthChallenge* best = nullptr;
  ChallengeRank bestRank = ChallengeRank::kUnanswerable;
  for (const AuthChallenge& challenge : challenges) {
    const ChallengeRank rank = RankChallenge(challenge);
    if (rank > bestRank) {
      best = &challenge;
      bestRank = rank;
    }
  }
  return best;
}

bool IsStaleDigest(const std::vector<AuthChallenge>& challenges) {
  for (const AuthChallenge& challenge : challenges) {
    if (!challenge.IsScheme("digest")) continue;
    const std::string* stale = Param(challenge, "stale");
    if (stale != nullptr && ToLowerCopy(*stale) == "true") return true;
  }
  return false;
}

CDigestAuthenticator::CDigestAuthenticator() : cnonceSource_(RandomClientNonce) {}

bool CDigestAuthenticator::Learn(const std::vector<AuthChallenge>& challenges) {
  const AuthChallenge* strongest = nullptr;
  for (const AuthChallenge& challenge : challenges) {
    const ChallengeRank rank = RankChallenge(challenge);
    if (rank >= ChallengeRank::kDigestMd5 &&
        (strongest == nullptr || rank > RankChallenge(*strongest))) {
      strongest = &challenge;
    }
  }
  if (strongest == nullptr) return false;
  DigestChallenge learnt = *ReadDigestChallenge(*strongest);
  // Counting restarts with each new nonce (RFC 7616 section 3.4); the same nonce offered again
  // keeps its count, so that no nc value is sent twice with it.
  if (!challenge_ || challenge_->nonce != learnt.nonce) nonceCount_ = 0;
  challenge_ = std::move(learnt);
  return true;
}

std::optional<std::string> CDigestAuthenticator::Answer(std::string_view user,
                                                        std::string_view password,
                                                        std::string_view method,
                                                        std::string_view uri) {
  if (!challenge_ || HasLineBreakOrNul(user) || HasLineBreakOrNul(password) ||
      HasLineBreakOrNul(method) || HasLineBreakOrNul(uri)) {
    return std::nullopt;
  }
  const DigestChallenge& c = *challenge_;
  const auto hash = [&c](std::string_view text) {
    return c.sha256 ? Sha256Hex(text) : Md5Hex(text);
  };
  const auto join = [](std::initializer_list<std::string_view> parts) {
    std::string joined;
    bool first = true;
    for (std::string_view part : parts) {
      if (!first) joined += ':';
      joined += part;
      first = false;
    }
    return joined;
  };

  std::string cnonce;
  std::string nc;
  if (!c.qop.empty() || c.session) cnonce = cnonceSource_();
  if (!c.qop.empty()) {
    ++nonceCount_;
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08x", nonceCount_);
    nc = buffer;
  }

  // RFC 7616 sections 3.4.1 to 3.4.3.
  std::string ha1 = hash(join({user, c.realm, password}));
  if (c.session) ha1 = hash(join({ha1, c.nonce, cnonce}));
  const std::string ha2 = c.qop == "auth-int" ? hash(join({method, uri, hash("")}))
                                              : hash(join({method, uri}));
  const std::string response = c.qop.empty()
                                   ? hash(join({ha1, c.nonce, ha2}))  // RFC 2069
                                   : hash(join({ha1, c.nonce, nc, cnonce, c.qop, ha2}));

  std::string header = "Digest username=" + Quote(user) + ", realm=" + Quote(c.realm) +
                       ", nonce=" + Quote(c.nonce) + ", uri=" + Quote(uri);
  if (!c.algorithm.empty()) header += ", algorithm=" + c.algorithm;
  header += ", response=" + Quote(response);
  if (c.opaque) header += ", opaque=" + Quote(*c.opaque);
  if (!c.qop.empty()) {
    header += ", qop=" + c.qop + ", nc=" + nc + ", cnonce=" + Quote(cnonce);
  } else if (c.session) {
    header += ", cnonce=" + Quote(cnonce);
  }
  return header;
}

}  // namespace korvane
