#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/http_request.h"

namespace Web {

// One challenge of a WWW-Authenticate header (RFC 7235 section 4.1).
struct AuthChallenge {
  uint32_t scheme = 0;      // kAuthScheme* bit, 0 for a scheme this client does not know
  std::string schemeName;   // as the server wrote it
  std::map<std::string, std::string> params;  // names lower-cased, quoted values unescaped
};

// Splits WWW-Authenticate header values into challenges, in the order the server sent them
// (header by header, and left to right inside a header that carries several).
std::vector<AuthChallenge> ParseAuthChallenges(const std::vector<std::string>& headerValues);

// The first scheme that the server offers among those this client knows; 0 when none.
uint32_t FirstOfferedScheme(const std::vector<AuthChallenge>& challenges);

// Builds Authorization header values. Basic (RFC 7617) needs nothing from the server; Digest
// (RFC 7616, MD5 and MD5-sess, qop "auth", "auth-int" or none as in RFC 2069) answers the last
// Digest challenge learnt, counting its uses in the nonce count.
class CHttpAuthenticator {
 public:
  CHttpAuthenticator();

  // Keeps the first Digest challenge of a 401 answer whose algorithm this client can compute.
  // Returns true when one was kept.
  bool LearnChallenges(const std::vector<AuthChallenge>& challenges);

  bool HasDigestChallenge() const { return digest_.has_value(); }

  // The value of the Authorization header for `scheme`, or nothing when this client cannot
  // answer it (Digest before any challenge, NTLM, Passport, Negotiate, or a user name or
  // password that would break the header).
  std::optional<std::string> MakeAuthorization(uint32_t scheme, const std::string& user,
                                               const std::string& password,
                                               std::string_view method, std::string_view uri);

  // True when one of the challenges is a Digest challenge that marks our nonce as stale
  // (RFC 7616 section 3.3): the credentials were right, only the nonce has expired.
  static bool IsStaleDigest(const std::vector<AuthChallenge>& challenges);

  // Fixes the client nonce, for reproducing published Digest examples.
  void SetClientNonceSourceForTesting(std::function<std::string()> source) {
    cnonceSource_ = std::move(source);
  }

 private:
  struct DigestChallenge {
    std::string realm;
    std::string nonce;
    std::string opaque;
    bool hasOpaque = false;
    std::string algorithm;  // as sent; empty means MD5
    bool session = false;   // MD5-sess
    std::string qop;        // chosen: "auth", "auth-int" or empty (RFC 2069)
    uint32_t nonceCount = 0;
  };

  std::optional<std::string> MakeDigest(const std::string& user, const std::string& password,
                                        std::string_view method, std::string_view uri);

  std::optional<DigestChallenge> digest_;
  std::function<std::string()> cnonceSource_;
};

}  // namespace Web
