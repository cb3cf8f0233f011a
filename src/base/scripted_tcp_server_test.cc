// The scripted TCP server's framing, on which the HTTP and RTSP peers of the tests rely.

#include <gtest/gtest.h>

#include <string>

#include "base/testing/scripted_tcp_server.h"
#include "base/testing/test_sockets.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

// A blocking connection to `port` on 127.0.0.1 that gives up reading after 5 s, with `text` sent.
int Connect(uint16_t port, const std::string& text) {
  const int fd = socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
  SetReceiveTimeout(fd, 5000);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(send(fd, text.data(), text.size(), kNoSigPipe), static_cast<ssize_t>(text.size()));
  return fd;
}

// Reads `size` bytes, or everything until the peer closes when `size` is 0.
std::string Read(int fd, size_t size = 0) {
  std::string bytes;
  char buffer[4096];
  while (size == 0 || bytes.size() < size) {
    const ssize_t n = recv(fd, buffer, size == 0 ? sizeof buffer : size - bytes.size(), 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

ScriptedReply Echo(const ScriptedRequest& request) {
  ScriptedReply reply;
  reply.bytes = request.method + std::to_string(request.index) + ";";
  reply.close_after = request.method == "END";
  if (request.method == "STREAM") {
    reply.stream = [](std::string& out) {
      out = "abcd";
      return true;
    };
    reply.stream_limit = 10;
  }
  return reply;
}

TEST(ScriptedTcpServerTest, FramesPipelinedRequestsWithTheirBodies) {
  ScriptedTcpServer server;
  server.Start(Echo);
  const std::string post = "POST /a X/1\r\nContent-Length: 5\r\n\r\nhello";
  const int fd = Connect(server.Port(), post + "GET /b?c X/1\r\nHost:  h \r\n\r\nEND / X/1\r\n\r\n");
  EXPECT_EQ(Read(fd), "POST0;GET1;END2;");
  CloseSocket(fd);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].text, post);
  EXPECT_EQ(requests[1].target, "/b?c");
  EXPECT_EQ(requests[1].Header("HOST"), "h");
  EXPECT_TRUE(server.WaitForClosed(1, 5s));
}

TEST(ScriptedTcpServerTest, StreamStopsAtItsLimitAndAnOversizedBodyCloses) {
  ScriptedTcpServer server;
  server.Start(Echo);
  int fd = Connect(server.Port(), "STREAM / X/1\r\n\r\n");
  EXPECT_EQ(Read(fd, 18), "STREAM0;abcdabcdab");
  EXPECT_EQ(send(fd, "END / X/1\r\n\r\n", 13, kNoSigPipe), 13);
  EXPECT_EQ(Read(fd), "END1;");
  CloseSocket(fd);
  fd = Connect(server.Port(), "PUT / X/1\r\nContent-Length: 99999999\r\n\r\n");
  EXPECT_EQ(Read(fd), "");
  CloseSocket(fd);
  EXPECT_EQ(server.RequestCount(), 2u);
  EXPECT_EQ(server.ConnectionCount(), 2);
}

}  // namespace
}  // namespace korvane::testing
