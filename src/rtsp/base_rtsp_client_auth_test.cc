#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtsp/base_rtsp_client.h"
#include "rtsp/testing/base_rtsp_client_test_util.h"
#include "text/digest_auth.h"
#include "text/sha256.h"
#include "text/text_helpers.h"

// The RTSP client's answers to Basic and Digest (RFC 7616) challenges, against a scripted camera
// that checks them as a camera does.
namespace korvane {
namespace {

using namespace std::chrono_literals;
using testing::CameraReply;
using testing::CSeqOf;
using testing::MethodOf;
using testing::RecordingUser;
using testing::Response;
using testing::ScriptedReply;
using testing::ScriptedServer;
using testing::TestParams;
using testing::WaitUntil;

constexpr char kUser[] = "viewer";
constexpr char kPassword[] = "s3cret";
constexpr char kRealm[] = "cam";

// The value of the request's Authorization header; empty when it has none.
std::string AuthorizationOf(const std::string& request) {
  constexpr std::string_view kName = "\r\nAuthorization: ";
  const size_t at = request.find(kName);
  if (at == std::string::npos) return {};
  const size_t start = at + kName.size();
  return request.substr(start, request.find("\r\n", start) - start);
}

std::map<std::string, std::string> DigestParams(const std::string& authorization) {
  const auto parsed = ParseAuthChallenges({authorization});
  if (parsed.size() != 1 || !parsed[0].IsScheme("digest")) return {};
  return parsed[0].params;
}

// Checks a Digest answer for `nonce` the way a camera does (RFC 7616 section 3.4.1).
bool DigestIsValid(const std::string& request, const std::string& nonce) {
  auto p = DigestParams(AuthorizationOf(request));
  if (p["username"] != kUser || p["realm"] != kRealm || p["nonce"] != nonce) return false;
  const bool sha256 = p["algorithm"] == "SHA-256";
  const auto hash = [sha256](const std::string& text) {
    return sha256 ? Sha256Hex(text) : Md5Hex(text);
  };
  const std::string ha1 = hash(std::string(kUser) + ":" + kRealm + ":" + kPassword);
  const std::string ha2 = hash(MethodOf(request) + ":" + p["uri"]);
  const std::string expected =
      p["qop"].empty() ? hash(ha1 + ":" + nonce + ":" + ha2)
                       : hash(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" +
                              p["qop"] + ":" + ha2);
  return p["response"] == expected;
}

ScriptedReply Unauthorized(const std::string& request, const std::vector<std::string>& challenges) {
  std::string headers;
  for (const std::string& challenge : challenges) {
    headers += "WWW-Authenticate: " + challenge + "\r\n";
  }
  ScriptedReply reply;
  reply.bytes = Response(CSeqOf(request), headers, "", "401 Unauthorized");
  return reply;
}

std::string DigestChallenge(const std::string& nonce, const std::string& extra = "") {
  return std::string("Digest realm=\"") + kRealm + "\", nonce=\"" + nonce + "\"" + extra;
}

class BaseRtspClientAuthSessionTest : public ::testing::Test {
 protected:
  void Start(ScriptedServer::Script script, TransportMode mode = kRtpOverUdp) {
    server_.Serve(std::move(script));
    RTSPClientParams params = TestParams(server_.Port());
    params.UserName = kUser;
    params.Password = kPassword;
    ASSERT_TRUE(client_.Start(params, &user_, mode));
  }
  // The requests once the session has ended (the thread ends by itself after a failure) or
  // after `count` arrived.
  std::vector<std::string> RequestsAfter(size_t count) {
    EXPECT_TRUE(server_.WaitForRequests(count, 5s));
    client_.Close();
    return server_.Requests();
  }

  ScriptedServer server_;
  RecordingUser user_;
  CBaseRTSPClient client_{nullptr};
};

// Basic and SHA-256 Digest with qop and opaque offered together: Digest is answered in its
// RFC 7616 form, and the next request counts on with the same nonce. (Which challenge wins in
// other mixes is the shared code's business, tested there.)
TEST_F(BaseRtspClientAuthSessionTest, StrongestChallengeIsAnsweredInItsForm) {
  const uint16_t port = server_.Port();
  Start([port](const std::string& r, size_t) {
    if (DigestIsValid(r, "n")) return CameraReply(r, port);
    const std::string digest =
        DigestChallenge("n", ", algorithm=SHA-256, qop=\"auth\", opaque=\"o 1\"");
    return Unauthorized(r, {"Basic realm=\"cam\"", digest});
  });
  const auto requests = RequestsAfter(4);  // DESCRIBE twice, SETUP, PLAY
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(MethodOf(requests[1]), "DESCRIBE");
  auto p = DigestParams(AuthorizationOf(requests[1]));
  EXPECT_EQ(p["algorithm"], "SHA-256");
  EXPECT_EQ(p["opaque"], "o 1");
  EXPECT_EQ(p["qop"], "auth");
  EXPECT_EQ(p["nc"], "00000001");
  EXPECT_FALSE(p["cnonce"].empty());
  EXPECT_EQ(MethodOf(requests[2]), "SETUP");
  EXPECT_EQ(DigestParams(AuthorizationOf(requests[2]))["nc"], "00000002");
  EXPECT_EQ(MethodOf(requests[3]), "PLAY");
}

TEST_F(BaseRtspClientAuthSessionTest, StaleNonceIsRenewedOnce) {
  const uint16_t port = server_.Port();
  Start([port](const std::string& r, size_t) {
    // The first nonce serves DESCRIBE only; SETUP finds it expired.
    const bool setup = MethodOf(r) == "SETUP";
    const std::string nonce = setup ? "n2" : "n1";
    if (DigestIsValid(r, nonce)) return CameraReply(r, port);
    const bool stale = setup && DigestIsValid(r, "n1");
    return Unauthorized(r,
                        {DigestChallenge(nonce, stale ? ", qop=auth, stale=true" : ", qop=auth")});
  });
  const auto requests = RequestsAfter(5);  // DESCRIBE twice, SETUP twice, PLAY
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(MethodOf(requests[3]), "SETUP");
  auto renewed = DigestParams(AuthorizationOf(requests[3]));
  EXPECT_EQ(renewed["nonce"], "n2");
  EXPECT_EQ(renewed["nc"], "00000001");
  EXPECT_EQ(MethodOf(requests[4]), "PLAY");
}

TEST_F(BaseRtspClientAuthSessionTest, SecondStaleInARowFailsTheRequest) {
  const uint16_t port = server_.Port();
  std::atomic<int> nonces{1};
  Start([port, &nonces](const std::string& r, size_t) {
    if (MethodOf(r) == "DESCRIBE" && DigestIsValid(r, "n1")) return CameraReply(r, port);
    if (MethodOf(r) == "TEARDOWN") return CameraReply(r, port);
    // From SETUP on, every nonce is declared stale as soon as it is used.
    const bool used = !AuthorizationOf(r).empty();
    const std::string nonce = "n" + std::to_string(used ? ++nonces : nonces.load());
    return Unauthorized(r,
                        {DigestChallenge(nonce, used ? ", qop=auth, stale=true" : ", qop=auth")});
  });
  ASSERT_TRUE(WaitUntil([&] { return !client_.IsRunning(); }, 5s));
  const auto requests = RequestsAfter(5);
  ASSERT_EQ(requests.size(), 5u);  // DESCRIBE twice, SETUP twice, TEARDOWN
  EXPECT_EQ(MethodOf(requests[2]), "SETUP");
  EXPECT_EQ(MethodOf(requests[3]), "SETUP");
  EXPECT_EQ(MethodOf(requests[4]), "TEARDOWN");
}

// A camera that changes its nonce inside the session: the keep-alive after PLAY finds n1
// expired, and the challenge says so (stale) or just names n2. Over UDP the answer is read as
// usual; in the interleaved mode it comes among the media frames.
struct NonceChangeCase {
  const char* name;
  TransportMode mode;
  bool stale;
};

class NonceChangeInSessionTest : public BaseRtspClientAuthSessionTest,
                                 public ::testing::WithParamInterface<NonceChangeCase> {};

TEST_P(NonceChangeInSessionTest, KeepAliveIsAnsweredAgainWithTheNewNonce) {
  const NonceChangeCase c = GetParam();
  const uint16_t port = server_.Port();
  Start(
      [port, c](const std::string& r, size_t) {
        const bool in_session = MethodOf(r) == "OPTIONS" || MethodOf(r) == "TEARDOWN";
        const std::string nonce = in_session ? "n2" : "n1";
        if (DigestIsValid(r, nonce)) {
          ScriptedReply reply = CameraReply(r, port, ";timeout=2");
          if (MethodOf(r) == "PLAY" && c.mode != kRtpOverUdp) {
            // Media keeps the interleaved loop reading (RTP version 2, PT 96, 1 payload byte).
            auto sequence = std::make_shared<uint16_t>(0);
            reply.stream = [sequence](std::string& out) {
              const uint16_t s = (*sequence)++;
              out = std::string("$\0\0\x0d\x80\x60", 6) + static_cast<char>(s >> 8) +
                    static_cast<char>(s) + std::string("\0\0\0\0\0\0\0\x01\x41", 9);
              return s < 1000;
            };
          }
          return reply;
        }
        const bool stale = c.stale && DigestIsValid(r, "n1");
        return Unauthorized(r, {DigestChallenge(nonce, stale ? ", stale=true" : "")});
      },
      c.mode);
  const auto nonces = [this] {
    std::vector<std::string> options;
    for (const std::string& r : server_.Requests()) {
      if (MethodOf(r) == "OPTIONS") options.push_back(DigestParams(AuthorizationOf(r))["nonce"]);
    }
    return options;
  };
  ASSERT_TRUE(WaitUntil([&] { return nonces().size() >= 1; }, 8s));
  const auto refused = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return nonces().size() >= 2; }, 5s));
  // Sent again at once, not at the next keep-alive (2 s on).
  EXPECT_LT(std::chrono::steady_clock::now() - refused, 1s);
  client_.Close();
  EXPECT_EQ(nonces()[0], "n1");
  EXPECT_EQ(nonces()[1], "n2");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NonceChangeInSessionTest,
    ::testing::Values(NonceChangeCase{"UdpStale", kRtpOverUdp, true},
                      NonceChangeCase{"UdpNewChallenge", kRtpOverUdp, false},
                      NonceChangeCase{"InterleavedStale", kRtpOverRtsp, true},
                      NonceChangeCase{"InterleavedNewChallenge", kRtpOverRtsp, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane
