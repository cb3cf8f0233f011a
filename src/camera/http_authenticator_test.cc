#include "camera/http_authenticator.h"

#include <gtest/gtest.h>

#include "camera/http_request.h"
#include <string>
#include <vector>

namespace Web {
namespace {

TEST(PreferredSchemeTest, LastMatchingRowWins) {
  struct Case {
    int32_t preference;
    uint32_t scheme;
  } cases[] = {
      {0, kAuthSchemeBasic},  {1, kAuthSchemeNtlm},      {2, kAuthSchemePassport},
      {3, kAuthSchemeDigest}, {4, kAuthSchemeNegotiate}, {7, kAuthSchemeNegotiate},
      {5, kAuthSchemeNegotiate},  // "no credentials" is decided by the sender, not here
      {8, kAuthSchemeBasic},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PreferredScheme(c.preference), c.scheme) << c.preference;
  }
}

// Which scheme a sender takes up from a 401, by the challenges it carries.
TEST(StrongestOfferedSchemeTest, DigestThenConnectionSchemesThenBasic) {
  struct Case {
    std::vector<std::string> headers;
    uint32_t scheme;
  } cases[] = {
      {{"Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"", "Basic realm=\"cam\""},
       kAuthSchemeDigest},
      {{"Basic realm=\"cam\"", "Digest realm=\"cam\", nonce=\"abc\""}, kAuthSchemeDigest},
      {{"Basic realm=\"cam\"", "Digest nonce=\"s\", algorithm=SHA-256, qop=auth"},
       kAuthSchemeDigest},
      {{"Basic realm=\"cam\"", "NTLM"}, kAuthSchemeNtlm},
      {{"Negotiate YIIBhgYGKwYBBQUC==", "Basic realm=\"cam\""}, kAuthSchemeNegotiate},
      {{"Bearer realm=\"api\"", "Mutual x=1", "Basic realm=\"cam\""}, kAuthSchemeBasic},
      {{"Digest nonce=\"x\", algorithm=SHA-512-256", "Basic realm=\"cam\""}, kAuthSchemeBasic},
      {{"Digest nonce=\"x\", algorithm=SHA-512-256"}, kAuthSchemeDigest},
      {{"Passport1.4 x"}, kAuthSchemePassport},
      {{"Bearer"}, kAuthSchemeNone},
      {{}, kAuthSchemeNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrongestOfferedScheme(ParseAuthChallenges(c.headers)), c.scheme)
        << ::testing::PrintToString(c.headers);
  }
}

TEST(AuthorizationTest, BasicAsRfc7617) {
  CHttpAuthenticator authenticator;
  EXPECT_EQ(authenticator.MakeAuthorization(kAuthSchemeBasic, "Aladdin", "open sesame", "GET",
                                            "/"),
            "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(AuthorizationTest, DigestNeedsAChallengeFirst) {
  CHttpAuthenticator authenticator;
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/"));
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemeNtlm, "u", "p", "GET", "/"));
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemePassport, "u", "p", "GET", "/"));
}

// RFC 2617 section 3.5: the published example request and its response digest.
TEST(AuthorizationTest, DigestMatchesRfc2617Example) {
  CHttpAuthenticator authenticator;
  authenticator.SetClientNonceSourceForTesting([] { return std::string("0a4f113b"); });
  ASSERT_TRUE(authenticator.LearnChallenges(ParseAuthChallenges(
      {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
       "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
       "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""})));
  const auto header = authenticator.MakeAuthorization(kAuthSchemeDigest, "Mufasa",
                                                      "Circle Of Life", "GET", "/dir/index.html");
  ASSERT_TRUE(header);
  EXPECT_EQ(*header,
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"6629fae49393a05397450978507c4ef1\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=auth, nc=00000001, "
            "cnonce=\"0a4f113b\"");
}

TEST(AuthorizationTest, DigestAnswersTheStrongestChallenge) {
  CHttpAuthenticator authenticator;
  ASSERT_TRUE(authenticator.LearnChallenges(ParseAuthChallenges(
      {"Digest realm=\"r\", nonce=\"m\", algorithm=MD5, qop=\"auth\"",
       "Digest realm=\"r\", nonce=\"s\", algorithm=SHA-256, qop=\"auth\""})));
  const std::string header =
      *authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/");
  EXPECT_NE(header.find("nonce=\"s\""), std::string::npos) << header;
  EXPECT_NE(header.find("algorithm=SHA-256"), std::string::npos) << header;
}

TEST(AuthorizationTest, LineBreaksNeverReachAHeader) {
  CHttpAuthenticator authenticator;
  EXPECT_FALSE(
      authenticator.MakeAuthorization(kAuthSchemeBasic, "u\r\nX-Evil: 1", "p", "GET", "/"));
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemeBasic, "u", "p\n", "GET", "/"));
  ASSERT_TRUE(
      authenticator.LearnChallenges(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\""})));
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemeDigest, "u\r\n", "p", "GET", "/"));
}

}  // namespace
}  // namespace Web
