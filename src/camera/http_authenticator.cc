#include "camera/http_authenticator.h"

#include "camera/http_request.h"
#include "text/text_helpers.h"

namespace Web {
namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
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

uint32_t SchemeOf(const AuthChallenge& challenge) {
  const std::string lower = korvane::ToLowerCopy(challenge.schemeName);
  if (lower == "basic") return kAuthSchemeBasic;
  if (lower == "digest") return kAuthSchemeDigest;
  if (lower == "ntlm") return kAuthSchemeNtlm;
  if (lower == "negotiate") return kAuthSchemeNegotiate;
  if (lower.rfind("passport", 0) == 0) return kAuthSchemePassport;
  return kAuthSchemeNone;
}

uint32_t StrongestOfferedScheme(const std::vector<AuthChallenge>& challenges) {
  const AuthChallenge* strongest = korvane::StrongestChallenge(challenges);
  if (strongest != nullptr &&
      korvane::RankChallenge(*strongest) >= korvane::ChallengeRank::kDigestMd5) {
    return kAuthSchemeDigest;
  }
  for (const AuthChallenge& challenge : challenges) {
    const uint32_t scheme = SchemeOf(challenge);
    if (scheme == kAuthSchemeNtlm || scheme == kAuthSchemeNegotiate) return scheme;
  }
  if (strongest != nullptr) return kAuthSchemeBasic;
  // Nothing answerable here (Passport, a Digest variant not computed here): the first scheme
  // named, so that the request fails as the camera wants it answered.
  for (const AuthChallenge& challenge : challenges) {
    if (SchemeOf(challenge) != kAuthSchemeNone) return SchemeOf(challenge);
  }
  return kAuthSchemeNone;
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
  if (scheme == kAuthSchemeDigest) return digest_.Answer(user, password, method, uri);
  return std::nullopt;
}

}  // namespace Web
