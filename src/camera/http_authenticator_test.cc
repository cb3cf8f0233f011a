#include "camera/http_authenticator.h"

#include <gtest/gtest.h>

#include "camera/http_request.h"
#include "text/text_helpers.h"

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

TEST(ParseAuthChallengesTest, KeepsServerOrderAcrossHeaders) {
  const auto challenges = ParseAuthChallenges(
      {"Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"", "Basic realm=\"cam\""});
  ASSERT_EQ(challenges.size(), 2u);
  EXPECT_EQ(challenges[0].scheme, kAuthSchemeDigest);
  EXPECT_EQ(challenges[0].params.at("realm"), "cam");
  EXPECT_EQ(challenges[0].params.at("nonce"), "abc");
  EXPECT_EQ(challenges[1].scheme, kAuthSchemeBasic);
  EXPECT_EQ(FirstOfferedScheme(challenges), kAuthSchemeDigest);
}

TEST(ParseAuthChallengesTest, SeveralChallengesInOneHeader) {
  const auto challenges = ParseAuthChallenges(
      {"Basic realm=\"a, b\", Digest realm=\"r\", qop=\"auth,auth-int\", nonce=n1, "
       "opaque=\"o\\\"q\""});
  ASSERT_EQ(challenges.size(), 2u);
  EXPECT_EQ(challenges[0].scheme, kAuthSchemeBasic);
  EXPECT_EQ(challenges[0].params.at("realm"), "a, b");  // comma inside quotes
  EXPECT_EQ(challenges[1].scheme, kAuthSchemeDigest);
  EXPECT_EQ(challenges[1].params.at("qop"), "auth,auth-int");
  EXPECT_EQ(challenges[1].params.at("nonce"), "n1");  // token value
  EXPECT_EQ(challenges[1].params.at("opaque"), "o\"q");  // escaped quote
}

TEST(ParseAuthChallengesTest, SchemeNamesAreCaseInsensitiveAndToken68Skipped) {
  const auto challenges =
      ParseAuthChallenges({"Negotiate YIIBhgYGKwYBBQUC==", "NTLM", "dIgEsT NONCE=\"x\""});
  ASSERT_EQ(challenges.size(), 3u);
  EXPECT_EQ(challenges[0].scheme, kAuthSchemeNegotiate);
  EXPECT_EQ(challenges[1].scheme, kAuthSchemeNtlm);
  EXPECT_EQ(challenges[2].scheme, kAuthSchemeDigest);
  EXPECT_EQ(challenges[2].params.at("nonce"), "x");
}

TEST(ParseAuthChallengesTest, UnknownSchemesAreSkippedWhenChoosing) {
  const auto challenges =
      ParseAuthChallenges({"Bearer realm=\"api\"", "Mutual x=1", "Basic realm=\"cam\""});
  EXPECT_EQ(FirstOfferedScheme(challenges), kAuthSchemeBasic);
  EXPECT_EQ(FirstOfferedScheme(ParseAuthChallenges({"Bearer"})), kAuthSchemeNone);
  EXPECT_EQ(FirstOfferedScheme(ParseAuthChallenges({})), kAuthSchemeNone);
}

TEST(ParseAuthChallengesTest, GarbageDoesNotCrash) {
  const std::vector<std::string> inputs = {"", ",,,", "=", "\"", "Digest \"unterminated",
                                           "Digest realm=", "Digest =x, =y", "\x01\x02\xff"};
  for (const std::string& input : inputs) {
    const auto challenges = ParseAuthChallenges({input});
    for (const AuthChallenge& challenge : challenges) EXPECT_FALSE(challenge.schemeName.empty());
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

TEST(AuthorizationTest, DigestCountsNonceUsesAndRestartsOnANewNonce) {
  CHttpAuthenticator authenticator;
  authenticator.SetClientNonceSourceForTesting([] { return std::string("c"); });
  ASSERT_TRUE(authenticator.LearnChallenges(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n1\", qop=\"auth\""})));
  EXPECT_NE(authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/a")->find(
                "nc=00000001"),
            std::string::npos);
  EXPECT_NE(authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/a")->find(
                "nc=00000002"),
            std::string::npos);
  ASSERT_TRUE(authenticator.LearnChallenges(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n2\", qop=\"auth\""})));
  const std::string third = *authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET",
                                                             "/a");
  EXPECT_NE(third.find("nc=00000001"), std::string::npos);
  EXPECT_NE(third.find("nonce=\"n2\""), std::string::npos);
}

TEST(AuthorizationTest, DigestWithoutQopFollowsRfc2069) {
  CHttpAuthenticator authenticator;
  ASSERT_TRUE(
      authenticator.LearnChallenges(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\""})));
  const std::string ha1 = korvane::Md5Hex("u:r:p");
  const std::string ha2 = korvane::Md5Hex("GET:/x");
  const std::string expected = korvane::Md5Hex(ha1 + ":n:" + ha2);
  EXPECT_EQ(*authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/x"),
            "Digest username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/x\", response=\"" +
                expected + "\"");
}

TEST(AuthorizationTest, DigestMd5SessHashesTheNonceIntoHa1) {
  CHttpAuthenticator authenticator;
  authenticator.SetClientNonceSourceForTesting([] { return std::string("cn"); });
  ASSERT_TRUE(authenticator.LearnChallenges(ParseAuthChallenges(
      {"Digest realm=\"r\", nonce=\"n\", algorithm=MD5-sess, qop=\"auth\""})));
  const std::string ha1 = korvane::Md5Hex(korvane::Md5Hex("u:r:p") + ":n:cn");
  const std::string ha2 = korvane::Md5Hex("GET:/x");
  const std::string expected = korvane::Md5Hex(ha1 + ":n:00000001:cn:auth:" + ha2);
  const std::string header =
      *authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/x");
  EXPECT_NE(header.find("algorithm=MD5-sess"), std::string::npos);
  EXPECT_NE(header.find("response=\"" + expected + "\""), std::string::npos) << header;
}

TEST(AuthorizationTest, DigestSkipsChallengesItCannotCompute) {
  CHttpAuthenticator authenticator;
  EXPECT_FALSE(authenticator.LearnChallenges(ParseAuthChallenges(
      {"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256, qop=\"auth\""})));
  EXPECT_FALSE(authenticator.HasDigestChallenge());
  // RFC 7616 servers offer SHA-256 first and MD5 after it: the MD5 one is taken.
  EXPECT_TRUE(authenticator.LearnChallenges(ParseAuthChallenges(
      {"Digest realm=\"r\", nonce=\"s\", algorithm=SHA-256, qop=\"auth\"",
       "Digest realm=\"r\", nonce=\"m\", algorithm=MD5, qop=\"auth\""})));
  EXPECT_NE(authenticator.MakeAuthorization(kAuthSchemeDigest, "u", "p", "GET", "/")->find(
                "nonce=\"m\""),
            std::string::npos);
  EXPECT_FALSE(authenticator.LearnChallenges(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", qop=\"auth-conf\""})));
  EXPECT_FALSE(authenticator.LearnChallenges(ParseAuthChallenges({"Digest realm=\"r\""})));
}

TEST(AuthorizationTest, QuotesInTheUserNameAreEscaped) {
  CHttpAuthenticator authenticator;
  ASSERT_TRUE(
      authenticator.LearnChallenges(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\""})));
  const std::string header =
      *authenticator.MakeAuthorization(kAuthSchemeDigest, "a\"b\\c", "p", "GET", "/");
  EXPECT_EQ(header.rfind("Digest username=\"a\\\"b\\\\c\", ", 0), 0u) << header;
}

TEST(AuthorizationTest, LineBreaksNeverReachAHeader) {
  CHttpAuthenticator authenticator;
  EXPECT_FALSE(
      authenticator.MakeAuthorization(kAuthSchemeBasic, "u\r\nX-Evil: 1", "p", "GET", "/"));
  EXPECT_FALSE(authenticator.MakeAuthorization(kAuthSchemeBasic, "u", "p\n", "GET", "/"));
}

TEST(AuthorizationTest, StaleFlagIsRecognised) {
  EXPECT_TRUE(CHttpAuthenticator::IsStaleDigest(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=TRUE"})));
  EXPECT_TRUE(CHttpAuthenticator::IsStaleDigest(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=\"true\""})));
  EXPECT_FALSE(CHttpAuthenticator::IsStaleDigest(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=false"})));
  EXPECT_FALSE(CHttpAuthenticator::IsStaleDigest(ParseAuthChallenges({"Basic stale=true"})));
}

}  // namespace
}  // namespace Web
