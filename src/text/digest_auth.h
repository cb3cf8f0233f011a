#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// HTTP authentication challenges (RFC 7235) and the Digest answer (RFC 7616, with the RFC 2069
// form for challenges without qop), shared by the RTSP client and the camera HTTP client.
namespace korvane {

// One challenge of a WWW-Authenticate header (RFC 7235 section 4.1).
struct AuthChallenge {
  std::string schemeName;  // as the server wrote it
  std::map<std::string, std::string> params;  // names lower-cased, quoted values unescaped

  // Scheme names compare case-insensitively; `lowerName` is given in lower case.
  bool IsScheme(std::string_view lowerName) const;
};

// Splits WWW-Authenticate header values into challenges, in the order the server sent them
// (header by header, and left to right inside a header that carries several).
std::vector<AuthChallenge> ParseAuthChallenges(const std::vector<std::string>& headerValues);

// The values of every WWW-Authenticate header in the header block of an HTTP-style message
// (RTSP responses included), in order, without surrounding blanks.
std::vector<std::string> AuthenticateHeaderValues(std::string_view message);

// How strongly a challenge protects the credentials, for choosing among the challenges of one
// answer; only the schemes answered here are ranked.
enum class ChallengeRank : int {
  kUnanswerable = 0,  // unknown scheme, or a Digest variant this code cannot compute
  kBasic = 1,
  kDigestMd5 = 2,     // MD5 and MD5-sess
  kDigestSha256 = 3,  // SHA-256 and SHA-256-sess
};
ChallengeRank RankChallenge(const AuthChallenge& challenge);

// The strongest challenge this code can answer; the first one among equals. Null when none.
const AuthChallenge* StrongestChallenge(const std::vector<AuthChallenge>& challenges);

// True when one of the challenges is a Digest challenge that marks our nonce as stale
// (RFC 7616 section 3.3): the credentials were right, only the nonce has expired.
bool IsStaleDigest(const std::vector<AuthChallenge>& challenges);

// What a Digest challenge asks for, once checked to be answerable here.
struct DigestChallenge {
  std::string realm;
  std::string nonce;
  std::optional<std::string> opaque;
  std::string algorithm;  // as sent; empty means MD5
  bool sha256 = false;
  bool session = false;  // the -sess variants
  std::string qop;       // chosen: "auth", "auth-int" or empty (RFC 2069)
};

// The Digest challenge's parameters; nothing when it is not Digest, has no nonce, names an
// algorithm or qop this code cannot compute, or carries a value that would break a header.
std::optional<DigestChallenge> ReadDigestChallenge(const AuthChallenge& challenge);

// Answers a server's Digest challenge, request after request: counts the uses of its nonce
// (nc) and draws a fresh client nonce for each answer. Algorithms MD5, MD5-sess, SHA-256 and
// SHA-256-sess; qop "auth", "auth-int" (requests without a body) or none (RFC 2069). The
// optional userhash of RFC 7616 is not used. Not thread-safe: one owner thread.
class CDigestAuthenticator {
 public:
  CDigestAuthenticator();

  // Keeps the strongest answerable Digest challenge among `challenges`. The nonce count starts
  // again when the nonce changes. False, keeping the previous challenge, when there is none.
  bool Learn(const std::vector<AuthChallenge>& challenges);
  bool HasChallenge() const { return challenge_.has_value(); }
  void Reset() {
    challenge_.reset();
    nonceCount_ = 0;
  }

  // The Authorization value ("Digest username=...") for one request, counting it; nothing
  // without a challenge or when a value would break the header (line breaks, NUL).
  std::optional<std::string> Answer(std::string_view user, std::string_view password,
                                    std::string_view method, std::string_view uri);

  // Fixes the client nonce, for reproducing published Digest examples.
  void SetClientNonceSourceForTesting(std::function<std::string()> source) {
    cnonceSource_ = std::move(source);
  }

 private:
  std::optional<DigestChallenge> challenge_;
  uint32_t nonceCount_ = 0;
  std::function<std::string()> cnonceSource_;
};

}  // namespace korvane
