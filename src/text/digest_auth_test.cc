#include "text/digest_auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/text_helpers.h"

namespace korvane {
namespace {

// RFC 7616 section 3.9.1: one exchange, answered with SHA-256 and with MD5.
constexpr char kRfcRealm[] = "http-auth@example.org";
constexpr char kRfcNonce[] = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
constexpr char kRfcOpaque[] = "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS";
constexpr char kRfcClientNonce[] = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";

std::string RfcChallenge(const std::string& algorithm) {
  return std::string("Digest realm=\"") + kRfcRealm +
         "\", qop=\"auth, auth-int\", algorithm=" + algorithm + ", nonce=\"" + kRfcNonce +
         "\", opaque=\"" + kRfcOpaque + "\"";
}

std::string ParamOf(const std::string& authorization, const char* name) {
  const auto parsed = ParseAuthChallenges({authorization});
  if (parsed.size() != 1) return "<unparsable>";
  const auto it = parsed[0].params.find(name);
  return it == parsed[0].params.end() ? std::string() : it->second;
}

TEST(ParseAuthChallengesTest, KeepsServerOrderAcrossHeaders) {
  const auto challenges = ParseAuthChallenges(
      {"Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"", "Basic realm=\"cam\""});
  ASSERT_EQ(challenges.size(), 2u);
  EXPECT_TRUE(challenges[0].IsScheme("digest"));
  EXPECT_EQ(challenges[0].params.at("realm"), "cam");
  EXPECT_EQ(challenges[0].params.at("nonce"), "abc");
  EXPECT_TRUE(challenges[1].IsScheme("basic"));
}

TEST(ParseAuthChallengesTest, SeveralChallengesInOneHeader) {
  const auto challenges = ParseAuthChallenges(
      {"Basic realm=\"a, b\", Digest realm=\"r\", qop=\"auth,auth-int\", nonce=n1, "
       "opaque=\"o\\\"q\""});
  ASSERT_EQ(challenges.size(), 2u);
  EXPECT_TRUE(challenges[0].IsScheme("basic"));
  EXPECT_EQ(challenges[0].params.at("realm"), "a, b");  // comma inside quotes
  EXPECT_TRUE(challenges[1].IsScheme("digest"));
  EXPECT_EQ(challenges[1].params.at("qop"), "auth,auth-int");
  EXPECT_EQ(challenges[1].params.at("nonce"), "n1");     // token value
  EXPECT_EQ(challenges[1].params.at("opaque"), "o\"q");  // escaped quote
}

TEST(ParseAuthChallengesTest, SchemeNamesAreCaseInsensitiveAndToken68Skipped) {
  const auto challenges =
      ParseAuthChallenges({"Negotiate YIIBhgYGKwYBBQUC==", "NTLM", "dIgEsT NONCE=\"x\""});
  ASSERT_EQ(challenges.size(), 3u);
  EXPECT_TRUE(challenges[0].IsScheme("negotiate"));
  EXPECT_TRUE(challenges[0].params.empty());
  EXPECT_TRUE(challenges[1].IsScheme("ntlm"));
  EXPECT_TRUE(challenges[2].IsScheme("digest"));
  EXPECT_EQ(challenges[2].params.at("nonce"), "x");
}

TEST(ParseAuthChallengesTest, GarbageDoesNotCrash) {
  const std::vector<std::string> inputs = {"", ",,,", "=", "\"", "Digest \"unterminated",
                                           "Digest realm=", "Digest =x, =y", "\x01\x02\xff"};
  for (const std::string& input : inputs) {
    const auto challenges = ParseAuthChallenges({input});
    for (const AuthChallenge& challenge : challenges) EXPECT_FALSE(challenge.schemeName.empty());
  }
}

TEST(AuthenticateHeaderValuesTest, EveryChallengeHeaderOfTheHeaderBlockOnly) {
  const std::string response =
      "RTSP/1.0 401 Unauthorized\r\n"
      "CSeq: 1\r\n"
      "WWW-Authenticate: Basic realm=\"cam\"\r\n"
      "www-authenticate:Digest realm=\"cam\", nonce=\"n\"  \n"
      "Content-Length: 40\r\n"
      "\r\n"
      "WWW-Authenticate: Digest nonce=\"in body\"\r\n";
  EXPECT_EQ(AuthenticateHeaderValues(response),
            (std::vector<std::string>{"Basic realm=\"cam\"", "Digest realm=\"cam\", nonce=\"n\""}));
  EXPECT_TRUE(AuthenticateHeaderValues("RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n").empty());
  EXPECT_TRUE(AuthenticateHeaderValues("").empty());
}

// Several challenges in one answer: the strongest this code can answer wins, the first among
// equals; what it cannot compute is passed over.
TEST(StrongestChallengeTest, ChoosesByStrength) {
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    const char* scheme;  // lower case; "" for none
    const char* nonce;   // of the chosen Digest challenge
    ChallengeRank rank;
  } cases[] = {
      {"basic alone", {"Basic realm=\"r\""}, "basic", "", ChallengeRank::kBasic},
      {"digest after basic",
       {"Basic realm=\"r\"", "Digest realm=\"r\", nonce=\"m\""},
       "digest", "m", ChallengeRank::kDigestMd5},
      {"basic and digest in one header",
       {"Basic realm=\"r\", Digest realm=\"r\", nonce=\"m\", qop=\"auth\""},
       "digest", "m", ChallengeRank::kDigestMd5},
      {"sha-256 after md5",
       {"Digest realm=\"r\", nonce=\"m\", algorithm=MD5, qop=\"auth\"",
        "Digest realm=\"r\", nonce=\"s\", algorithm=SHA-256, qop=\"auth\""},
       "digest", "s", ChallengeRank::kDigestSha256},
      {"sha-256-sess before md5",
       {"Digest realm=\"r\", nonce=\"s\", algorithm=sha-256-SESS, qop=\"auth\"",
        "Digest realm=\"r\", nonce=\"m\", qop=\"auth\""},
       "digest", "s", ChallengeRank::kDigestSha256},
      {"first of two md5", {"Digest nonce=\"a\"", "Digest nonce=\"b\""}, "digest", "a",
       ChallengeRank::kDigestMd5},
      {"unknown algorithm passed over",
       {"Digest realm=\"r\", nonce=\"x\", algorithm=SHA-512-256, qop=\"auth\"",
        "Basic realm=\"r\""},
       "basic", "", ChallengeRank::kBasic},
      {"unknown qop passed over",
       {"Digest realm=\"r\", nonce=\"x\", qop=\"auth-conf\"", "Basic realm=\"r\""}, "basic", "",
       ChallengeRank::kBasic},
      {"digest without nonce passed over", {"Digest realm=\"r\""}, "", "",
       ChallengeRank::kUnanswerable},
      {"line break in nonce passed over", {"Digest realm=\"r\", nonce=\"a\rb\""}, "", "",
       ChallengeRank::kUnanswerable},
      {"only unknown schemes", {"Bearer realm=\"api\"", "NTLM"}, "", "",
       ChallengeRank::kUnanswerable},
      {"no challenge", {}, "", "", ChallengeRank::kUnanswerable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto challenges = ParseAuthChallenges(c.headers);
    const AuthChallenge* chosen = StrongestChallenge(challenges);
    if (*c.scheme == '\0') {
      EXPECT_EQ(chosen, nullptr);
      continue;
    }
    ASSERT_NE(chosen, nullptr);
    EXPECT_TRUE(chosen->IsScheme(c.scheme));
    EXPECT_EQ(RankChallenge(*chosen), c.rank);
    CDigestAuthenticator digest;
    EXPECT_EQ(digest.Learn(challenges), c.rank >= ChallengeRank::kDigestMd5);
    if (digest.HasChallenge()) {
      EXPECT_EQ(ParamOf(*digest.Answer("u", "p", "GET", "/"), "nonce"), c.nonce);
    }
  }
}

// The published answers of RFC 7616 section 3.9.1, whole.
TEST(DigestAnswerTest, MatchesRfc7616Example) {
  struct Case {
    const char* algorithm;
    const char* response;
  } cases[] = {
      {"SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
      {"MD5", "8ca523f5e9506fed4657c9700eebdbec"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algorithm);
    CDigestAuthenticator digest;
    digest.SetClientNonceSourceForTesting([] { return std::string(kRfcClientNonce); });
    ASSERT_TRUE(digest.Learn(ParseAuthChallenges({RfcChallenge(c.algorithm)})));
    const auto answer = digest.Answer("Mufasa", "Circle of Life", "GET", "/dir/index.html");
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, std::string("Digest username=\"Mufasa\", realm=\"") + kRfcRealm +
                           "\", nonce=\"" + kRfcNonce + "\", uri=\"/dir/index.html\", algorithm=" +
                           c.algorithm + ", response=\"" + c.response + "\", opaque=\"" +
                           kRfcOpaque + "\", qop=auth, nc=00000001, cnonce=\"" + kRfcClientNonce +
                           "\"");
  }
}

// The other variants with the same inputs; responses computed by an independent implementation
// (Python's hashlib).
TEST(DigestAnswerTest, SessionAuthIntAndNoQopVariants) {
  struct Case {
    const char* params;  // after realm and nonce
    const char* response;
  } cases[] = {
      {", algorithm=SHA-256-sess, qop=auth",
       "2fd51b3a77ad75bad6afad6003e818d767133c46d9e2749e7f5232ae1ea3efd7"},
      {", algorithm=MD5-sess, qop=auth", "e783283f46242139c486a698fec7211d"},
      {", qop=\"auth-int\"", "8804a53d3640a40a4f73cea12c5ba451"},
      {", algorithm=SHA-256, qop=\"auth-int\"",
       "8bdf6f15638e260831e905028de5450562816d093c9bfc5c13d3a46adcdde940"},
      {", algorithm=SHA-256", "a1306b0595a6c7fe96c448631fb5cfbd5107bd1fe1da729d978dd7446b812363"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    CDigestAuthenticator digest;
    digest.SetClientNonceSourceForTesting([] { return std::string(kRfcClientNonce); });
    ASSERT_TRUE(digest.Learn(ParseAuthChallenges(
        {std::string("Digest realm=\"") + kRfcRealm + "\", nonce=\"" + kRfcNonce + "\"" +
         c.params})));
    const auto answer = digest.Answer("Mufasa", "Circle of Life", "GET", "/dir/index.html");
    ASSERT_TRUE(answer);
    EXPECT_EQ(ParamOf(*answer, "response"), c.response);
  }
}

TEST(DigestAnswerTest, WithoutQopTheAnswerIsTheRfc2069Line) {
  // RFC 2617 section 3.5's credentials and nonce, answered without qop (no nc, cnonce, qop).
  CDigestAuthenticator digest;
  ASSERT_TRUE(digest.Learn(ParseAuthChallenges(
      {"Digest realm=\"testrealm@host.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\""})));
  EXPECT_EQ(*digest.Answer("Mufasa", "Circle Of Life", "GET", "/dir/index.html"),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", "
            "response=\"670fd8c2df070c60b045671b8b24ff02\"");
}

TEST(DigestAnswerTest, NonceCountRunsPerNonceAndRestartsOnANewOne) {
  CDigestAuthenticator digest;
  digest.SetClientNonceSourceForTesting([] { return std::string("c"); });
  EXPECT_FALSE(digest.Answer("u", "p", "GET", "/"));  // nothing learnt yet
  ASSERT_TRUE(digest.Learn(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n1\", qop=auth"})));
  EXPECT_EQ(ParamOf(*digest.Answer("u", "p", "GET", "/"), "nc"), "00000001");
  EXPECT_EQ(ParamOf(*digest.Answer("u", "p", "GET", "/"), "nc"), "00000002");
  // The same nonce offered again keeps counting: an nc value is never repeated with it.
  ASSERT_TRUE(digest.Learn(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n1\", qop=auth"})));
  EXPECT_EQ(ParamOf(*digest.Answer("u", "p", "GET", "/"), "nc"), "00000003");
  // A renewed nonce (as after stale=true) starts again at 1.
  ASSERT_TRUE(digest.Learn(
      ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n2\", qop=auth, stale=true"})));
  const std::string renewed = *digest.Answer("u", "p", "GET", "/");
  EXPECT_EQ(ParamOf(renewed, "nc"), "00000001");
  EXPECT_EQ(ParamOf(renewed, "nonce"), "n2");
  // An unanswerable challenge leaves the learnt one in place.
  EXPECT_FALSE(digest.Learn(ParseAuthChallenges({"Basic realm=\"r\""})));
  EXPECT_EQ(ParamOf(*digest.Answer("u", "p", "GET", "/"), "nc"), "00000002");
  digest.Reset();
  EXPECT_FALSE(digest.HasChallenge());
}

TEST(DigestAnswerTest, ValuesAreQuotedAndLineBreaksRefused) {
  CDigestAuthenticator digest;
  ASSERT_TRUE(digest.Learn(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\""})));
  const std::string quoted = *digest.Answer("a\"b\\c", "p", "GET", "/");
  EXPECT_EQ(quoted.rfind("Digest username=\"a\\\"b\\\\c\", ", 0), 0u) << quoted;
  EXPECT_FALSE(digest.Answer("u\r\nX-Evil: 1", "p", "GET", "/"));
  EXPECT_FALSE(digest.Answer("u", "p\n", "GET", "/"));
  EXPECT_FALSE(digest.Answer("u", "p", "GET", "/a\r\nb"));
}

TEST(IsStaleDigestTest, OnlyADigestChallengeSayingTrue) {
  EXPECT_TRUE(IsStaleDigest(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=TRUE"})));
  EXPECT_TRUE(
      IsStaleDigest(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=\"true\""})));
  EXPECT_FALSE(
      IsStaleDigest(ParseAuthChallenges({"Digest realm=\"r\", nonce=\"n\", stale=false"})));
  EXPECT_FALSE(IsStaleDigest(ParseAuthChallenges({"Basic stale=true"})));
}

}  // namespace
}  // namespace korvane
