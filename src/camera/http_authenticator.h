#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/http_request.h"
#include "text/digest_auth.h"

namespace Web {

using korvane::AuthChallenge;
using korvane::ParseAuthChallenges;

// The kAuthScheme* bit of a challenge; 0 for a scheme this client does not know.
uint32_t SchemeOf(const AuthChallenge& challenge);

// The scheme to answer among the challenges of a 401, strongest first: Digest (SHA-256 before
// MD5), then NTLM or Negotiate (left to libcurl; the first one offered), then Basic. Passport
// only when nothing else is offered. 0 when no scheme is known.
uint32_t StrongestOfferedScheme(const std::vector<AuthChallenge>& challenges);

// Builds Authorization header values. Basic (RFC 7617) needs nothing from the server; Digest
// (RFC 7616) answers the strongest Digest challenge learnt, counting its uses in the nonce count.
class CHttpAuthenticator {
 public:
  // Keeps the strongest Digest challenge of a 401 answer that this client can compute.
  // Returns true when one was kept.
  bool LearnChallenges(const std::vector<AuthChallenge>& challenges) {
    return digest_.Learn(challenges);
  }

  bool HasDigestChallenge() const { return digest_.HasChallenge(); }

  // The value of the Authorization header for `scheme`, or nothing when this client cannot
  // answer it (Digest before any challenge, NTLM, Passport, Negotiate, or a user name or
  // password that would break the header).
  std::optional<std::string> MakeAuthorization(uint32_t scheme, const std::string& user,
                                               const std::string& password,
                                               std::string_view method, std::string_view uri);

  static bool IsStaleDigest(const std::vector<AuthChallenge>& challenges) {
    return korvane::IsStaleDigest(challenges);
  }

  // Fixes the client nonce, for reproducing published Digest examples.
  void SetClientNonceSourceForTesting(std::function<std::string()> source) {
    digest_.SetClientNonceSourceForTesting(std::move(source));
  }

 private:
  korvane::CDigestAuthenticator digest_;
};

}  // namespace Web
