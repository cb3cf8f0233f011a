#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "camera/http_authenticator.h"
#include "camera/http_sender.h"
#include "camera/http_utils.h"
#include "camera/testing/camera_test_util.h"
#include "camera/testing/scripted_http_server.h"
#include "text/sha256.h"
#include "text/text_helpers.h"

// Authentication flows of CHttpSender against a scripted camera.
namespace korvane {
namespace {

using testing::LoopbackDevice;
using testing::ScriptedHttpServer;
using testing::ScriptedReply;
using testing::ScriptedRequest;

constexpr char kUser[] = "admin";
constexpr char kPassword[] = "secret";
constexpr char kRealm[] = "CNB camera";

std::string BasicValue(const std::string& user, const std::string& password) {
  std::string encoded;
  MakeBasicCredentials(user, password, encoded);
  return "Basic " + encoded;
}

// Checks a Digest Authorization value the way a camera does (RFC 7616 section 3.4.1), for
// the challenges of DigestChallenge (qop auth, opaque "op").
bool DigestIsValid(const ScriptedRequest& request, const std::string& expectedNonce,
                   const std::string& password, const std::string& algorithm = "") {
  const std::string authorization = request.Header("Authorization");
  const std::string& method = request.method;
  if (authorization.rfind("Digest ", 0) != 0) return false;
  const auto parsed = Web::ParseAuthChallenges({authorization});
  if (parsed.size() != 1) return false;
  const auto& p = parsed[0].params;
  auto get = [&p](const char* key) {
    auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
  };
  if (get("username") != kUser || get("realm") != kRealm || get("nonce") != expectedNonce ||
      get("uri") != request.target) {
    return false;
  }
  if (get("opaque") != "op" || get("algorithm") != algorithm) return false;
  const auto hash = [&algorithm](const std::string& text) {
    return algorithm == "SHA-256" ? Sha256Hex(text) : Md5Hex(text);
  };
  const std::string ha1 = hash(std::string(kUser) + ":" + kRealm + ":" + password);
  const std::string ha2 = hash(method + ":" + get("uri"));
  const std::string expected = hash(ha1 + ":" + get("nonce") + ":" + get("nc") + ":" +
                                    get("cnonce") + ":" + get("qop") + ":" + ha2);
  return get("qop") == "auth" && get("response") == expected;
}

std::string DigestChallenge(const std::string& nonce, bool stale = false,
                            const std::string& algorithm = "") {
  return std::string("WWW-Authenticate: Digest realm=\"") + kRealm + "\", qop=\"auth\", nonce=\"" +
         nonce + "\", opaque=\"op\"" + (stale ? ", stale=true" : "") +
         (algorithm.empty() ? "" : ", algorithm=" + algorithm);
}

std::string BasicChallenge() {
  return std::string("WWW-Authenticate: Basic realm=\"") + kRealm + "\"";
}

TEST(HttpSenderAuthTest, BasicIsAcceptedInOneRequest) {
  ScriptedHttpServer server([](const ScriptedRequest& request) {
    if (request.Header("Authorization") == BasicValue(kUser, kPassword)) {
      return ScriptedReply::Ok("ok");
    }
    return ScriptedReply::Status(401, "Unauthorized", {BasicChallenge()});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  std::string text;
  EXPECT_TRUE(RequestGetText(sender, text, "/a"));
  EXPECT_EQ(text, "ok");
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(sender.RememberedScheme(), 0u);
}

TEST(HttpSenderAuthTest, DigestOfferedFirstIsRepeatedOnceThenUsedAtOnce) {
  ScriptedHttpServer server([](const ScriptedRequest& request) {
    if (DigestIsValid(request, "n-1", kPassword)) {
      return ScriptedReply::Ok("ok");
    }
    return ScriptedReply::Status(401, "Unauthorized", {DigestChallenge("n-1"), BasicChallenge()});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_TRUE(RequestGet("/first", sender));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Authorization"), BasicValue(kUser, kPassword));
  EXPECT_EQ(requests[1].Header("Authorization").rfind("Digest ", 0), 0u);
  EXPECT_EQ(requests[1].target, "/first");
  EXPECT_EQ(sender.RememberedScheme(), Web::kAuthSchemeDigest);

  EXPECT_TRUE(RequestGet("/second", sender));
  requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u) << "the next request goes out with Digest at once";
  EXPECT_NE(requests[2].Header("Authorization").find("nc=00000002"), std::string::npos);
  EXPECT_NE(requests[2].Header("Authorization").find("uri=\"/second\""), std::string::npos);
}

TEST(HttpSenderAuthTest, DigestUriRepeatsTheRequestLineExactly) {
  ScriptedHttpServer server([](const ScriptedRequest& request) {
    if (DigestIsValid(request, "n", kPassword)) return ScriptedReply::Ok("ok");
    return ScriptedReply::Status(401, "Unauthorized", {DigestChallenge("n")});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_TRUE(RequestGet("/cgi-bin/Param.cgi?action=update&video.title=%4A%4b front", sender));
  EXPECT_TRUE(RequestGet("/a b?c=d e", sender));
  EXPECT_EQ(server.Requests().size(), 3u);
}

TEST(HttpSenderAuthTest, WrongPasswordWithBasicFailsToSendThenGives401) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    return ScriptedReply::Status(401, "Unauthorized", {BasicChallenge()});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, "wrong"));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD("/a", sender, result, body, false);
  EXPECT_EQ(result.code, 11u);
  EXPECT_EQ(server.Requests().size(), 1u) << "Basic was already offered: no repeat";
  HUtils::RequestGetRD("/a", sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(sender.StatusCode(), 401u);
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(HttpSenderAuthTest, WrongPasswordWithDigestGives401AfterOneRepeat) {
  ScriptedHttpServer server([](const ScriptedRequest& request) {
    if (DigestIsValid(request, "n", kPassword)) {
      return ScriptedReply::Ok("ok");
    }
    return ScriptedReply::Status(401, "Unauthorized", {DigestChallenge("n")});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, "wrong"));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD("/a", sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(sender.StatusCode(), 401u);
  EXPECT_EQ(server.Requests().size(), 2u);
  HUtils::RequestGetRD("/a", sender, result, body, false);
  EXPECT_EQ(result.code, 8u);
  EXPECT_EQ(server.Requests().size(), 3u) << "a refused Digest is not retried";
}

TEST(HttpSenderAuthTest, EmptyUserNameSendsNoCredentials) {
  std::atomic<int> status{200};
  ScriptedHttpServer server([&status](const ScriptedRequest&) {
    return ScriptedReply::Status(status.load(), "S", {DigestChallenge("n"), BasicChallenge()}, "x");
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), "", "password-without-user"));
  EXPECT_TRUE(RequestGet("/a", sender));
  status = 401;
  EXPECT_FALSE(RequestGet("/b", sender));
  EXPECT_FALSE(RequestGet("/c", sender));
  const auto requests = server.Requests();
  ASSERT_GE(requests.size(), 3u);
  for (const ScriptedRequest& request : requests) {
    EXPECT_EQ(request.Header("Authorization"), "") << request.target;
  }
}

TEST(HttpSenderAuthTest, PreferenceFiveSendsNoCredentials) {
  ScriptedHttpServer server([](const ScriptedRequest&) { return ScriptedReply::Ok("x"); });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  Web::HttpRequest request;
  request.object = "/a";
  request.schemePreference = Web::kSchemePreferenceNoCredentials;
  EXPECT_TRUE(sender.Send(request));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("Authorization"), "");
}

TEST(HttpSenderAuthTest, StaleDigestNonceIsRenewedOnce) {
  std::mutex mutex;
  std::string currentNonce = "n-1";
  int served = 0;
  ScriptedHttpServer server([&](const ScriptedRequest& request) {
    std::lock_guard<std::mutex> guard(mutex);
    if (DigestIsValid(request, currentNonce, kPassword)) {
      // Each nonce serves one request, then the camera declares it stale.
      ++served;
      currentNonce = "n-" + std::to_string(served + 1);
      return ScriptedReply::Ok("ok");
    }
    const bool stale = DigestIsValid(request, "n-" + std::to_string(served), kPassword);
    return ScriptedReply::Status(401, "Unauthorized", {DigestChallenge(currentNonce, stale)});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_TRUE(RequestGet("/a", sender));  // Basic, then Digest with n-1
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_TRUE(RequestGet("/b", sender));  // Digest with n-1 (stale), then with n-2
  EXPECT_EQ(server.Requests().size(), 4u);
  EXPECT_TRUE(RequestGet("/c", sender));
  EXPECT_EQ(server.Requests().size(), 6u);
}

// Basic listed before SHA-256 Digest, in one header: Digest is answered, and then sent at once.
TEST(HttpSenderAuthTest, StrongestOfferedChallengeIsAnswered) {
  constexpr std::string_view kHeaderName = "WWW-Authenticate: ";
  const std::string challenge = std::string(kHeaderName) + "Basic realm=\"" + kRealm + "\", " +
                                DigestChallenge("s", false, "SHA-256").substr(kHeaderName.size());
  ScriptedHttpServer server([&challenge](const ScriptedRequest& request) {
    if (DigestIsValid(request, "s", kPassword, "SHA-256")) return ScriptedReply::Ok("ok");
    return ScriptedReply::Status(401, "Unauthorized", {challenge});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_TRUE(RequestGet("/a", sender));
  EXPECT_TRUE(RequestGet("/b", sender));
  EXPECT_EQ(server.Requests().size(), 3u) << "one repeat, then Digest at once";
  EXPECT_EQ(sender.RememberedScheme(), Web::kAuthSchemeDigest);
}

TEST(HttpSenderAuthTest, SecondStaleInARowFails) {
  std::atomic<int> nonces{0};
  ScriptedHttpServer server([&nonces](const ScriptedRequest& request) {
    // Every Digest answer is declared stale, with a fresh nonce each time.
    const bool answered = request.Header("Authorization").rfind("Digest ", 0) == 0;
    const std::string nonce = "n-" + std::to_string(++nonces);
    return ScriptedReply::Status(401, "Unauthorized",
                                 {DigestChallenge(nonce, answered, "SHA-256")});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  CResultDef result;
  std::vector<uint8_t> body;
  HUtils::RequestGetRD("/a", sender, result, body, false);
  EXPECT_EQ(result.code, kRequestNotProcessed);
  EXPECT_EQ(sender.StatusCode(), 401u);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u) << "Basic, Digest with n-1, Digest with the renewed n-2";
  EXPECT_NE(requests[2].Header("Authorization").find("nonce=\"n-2\""), std::string::npos);
  EXPECT_NE(requests[2].Header("Authorization").find("nc=00000001"), std::string::npos);
}

TEST(HttpSenderAuthTest, NoKnownSchemeOfferedFailsWithoutRepeat) {
  ScriptedHttpServer server([](const ScriptedRequest&) {
    return ScriptedReply::Status(401, "Unauthorized", {"WWW-Authenticate: Bearer realm=\"x\""});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_FALSE(RequestGet("/a", sender));
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(sender.RememberedScheme(), 0u);
}

TEST(HttpSenderAuthTest, RememberedSchemeSurvivesLaterRequests) {
  // The camera wants Digest; once learnt, a transient 401 with Basic listed first does not
  // switch the sender back.
  std::atomic<bool> offerBasicFirst{false};
  ScriptedHttpServer server([&offerBasicFirst](const ScriptedRequest& request) {
    if (!offerBasicFirst &&
        DigestIsValid(request, "n", kPassword)) {
      return ScriptedReply::Ok("ok");
    }
    if (offerBasicFirst) {
      return ScriptedReply::Status(401, "Unauthorized", {BasicChallenge(), DigestChallenge("n")});
    }
    return ScriptedReply::Status(401, "Unauthorized", {DigestChallenge("n")});
  });
  Web::CHttpSender sender(LoopbackDevice(server.port(), kUser, kPassword));
  EXPECT_TRUE(RequestGet("/a", sender));
  offerBasicFirst = true;
  EXPECT_FALSE(RequestGet("/b", sender));
  EXPECT_EQ(sender.RememberedScheme(), Web::kAuthSchemeDigest);
  EXPECT_EQ(sender.StatusCode(), 401u);
}

}  // namespace
}  // namespace korvane
