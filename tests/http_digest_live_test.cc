// The camera HTTP client's Digest (RFC 7616) against an independent server implementation:
// libmicrohttpd on 127.0.0.1, challenging with SHA-256 and qop "auth", checking each answer,
// its nonce count and the nonce's age itself.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/http_sender.h"
#include "camera/http_utils.h"

namespace korvane {
namespace {

constexpr char kUser[] = "viewer";
constexpr char kPassword[] = "s3cret:pw";
constexpr char kRealm[] = "sha-256 camera";
constexpr char kOpaque[] = "0a4f113b";

// An HTTP server that wants SHA-256 Digest for every path and records each request's
// Authorization value and status.
class Sha256DigestServer {
 public:
  struct Seen {
    std::string authorization;
    unsigned status;
  };

  explicit Sha256DigestServer(unsigned nonceTimeoutS) : nonceTimeoutS_(nonceTimeoutS) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char kRandom[] = "tollivar digest live test";
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, &Handle,
                               this, MHD_OPTION_SOCK_ADDR, &address,
                               MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof kRandom, kRandom,
                               MHD_OPTION_NONCE_NC_SIZE, 64u, MHD_OPTION_CONNECTION_TIMEOUT, 5u,
                               MHD_OPTION_END);
    if (daemon_ != nullptr) {
      port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
  }
  ~Sha256DigestServer() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  }

  uint16_t Port() const { return port_; }
  std::vector<Seen> Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }

 private:
  static MHD_Result Handle(void* self, MHD_Connection* connection, const char*, const char*,
                           const char*, const char*, size_t*, void** state) {
    if (*state == nullptr) {  // headers only so far: wait for the request's end
      *state = self;
      return MHD_YES;
    }
    return static_cast<Sha256DigestServer*>(self)->Answer(connection);
  }

  MHD_Result Answer(MHD_Connection* connection) {
    const char* authorization =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
    char* user = MHD_digest_auth_get_username(connection);
    const int check = user == nullptr ? MHD_NO
                                      : MHD_digest_auth_check2(connection, kRealm, kUser,
                                                               kPassword, nonceTimeoutS_,
                                                               MHD_DIGEST_ALG_SHA256);
    std::free(user);
    const bool accepted = check == MHD_YES;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      seen_.push_back(Seen{authorization != nullptr ? authorization : "", accepted ? 200u : 401u});
    }
    static const char kOk[] = "ok";
    static const char kDenied[] = "denied";
    const char* body = accepted ? kOk : kDenied;
    MHD_Response* response = MHD_create_response_from_buffer(
        std::strlen(body), const_cast<char*>(body), MHD_RESPMEM_PERSISTENT);
    const MHD_Result queued =
        accepted ? MHD_queue_response(connection, MHD_HTTP_OK, response)
                 : MHD_queue_auth_fail_response2(connection, kRealm, kOpaque, response,
                                                 check == MHD_INVALID_NONCE ? MHD_YES : MHD_NO,
                                                 MHD_DIGEST_ALG_SHA256);
    MHD_destroy_response(response);
    return queued;
  }

  const unsigned nonceTimeoutS_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
};

DEVICE_INFO Device(uint16_t port) {
  DEVICE_INFO device;
  device.address = "127.0.0.1";
  device.port = port;
  device.userName = kUser;
  device.password = kPassword;
  device.requestTimeoutMs = 3000;
  return device;
}

TEST(HttpDigestLiveTest, Sha256WithQopAuthIsAcceptedAndCounted) {
  Sha256DigestServer server(/*nonceTimeoutS=*/300);
  ASSERT_NE(server.Port(), 0);
  Web::CHttpSender sender(Device(server.Port()));
  std::string text;
  EXPECT_TRUE(RequestGetText(sender, text, "/cgi-bin/Param.cgi?action=list"));
  EXPECT_EQ(text, "ok");
  EXPECT_TRUE(RequestGet("/cgi-bin/Param.cgi?action=update&video.framerate=25", sender));
  // Another path would need a nonce of its own: libmicrohttpd binds nonces to the path.
  EXPECT_TRUE(RequestGet("/cgi-bin/Param.cgi?action=update&video.bitrate=4", sender));

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);  // Basic refused, then Digest three times
  EXPECT_EQ(requests[0].authorization.rfind("Basic ", 0), 0u);
  EXPECT_EQ(requests[0].status, 401u);
  for (size_t i = 1; i < requests.size(); ++i) {
    const std::string& answer = requests[i].authorization;
    EXPECT_EQ(requests[i].status, 200u) << answer;
    // The algorithm is echoed as the server spelt it (libmicrohttpd: "sha-256").
    EXPECT_NE(answer.find("algorithm=sha-256"), std::string::npos) << answer;
    EXPECT_NE(answer.find("qop=auth"), std::string::npos) << answer;
    EXPECT_NE(answer.find(std::string("opaque=\"") + kOpaque + "\""), std::string::npos)
        << answer;
    EXPECT_NE(answer.find("nc=0000000" + std::to_string(i)), std::string::npos) << answer;
  }
}

TEST(HttpDigestLiveTest, ExpiredNonceIsRenewedOnStale) {
  Sha256DigestServer server(/*nonceTimeoutS=*/1);
  ASSERT_NE(server.Port(), 0);
  Web::CHttpSender sender(Device(server.Port()));
  EXPECT_TRUE(RequestGet("/a", sender));
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the nonce expires
  EXPECT_TRUE(RequestGet("/b", sender));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);  // Basic, Digest; expired Digest, renewed Digest
  EXPECT_EQ(requests[2].status, 401u);
  EXPECT_EQ(requests[3].status, 200u);
  EXPECT_NE(requests[3].authorization.find("nc=00000001"), std::string::npos);
}

}  // namespace
}  // namespace korvane
