#pragma once

// Shared pieces of the RTSP client's tests: a recording user, a well-behaved scripted camera and
// small waits.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver_user.h"
#include "rtsp/base_rtsp_client.h"
#include "rtsp/testing/base_rtsp_client_test_server.h"

namespace korvane::testing {

class RecordingUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket& packet) override {
    std::lock_guard<std::mutex> guard(mutex_);
    sequences_.push_back(packet.Sequence());
  }
  void OnPacketFrom(const SocketAddress&, const CRTPPacket&) override {}
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig* config) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++configs_;
    if (config != nullptr) last_config_ = *config;
  }
  void OnSessionSetUp(std::optional<uint32_t> ssrc) override {
    std::lock_guard<std::mutex> guard(mutex_);
    setup_ssrcs_.push_back(ssrc);
  }

  int Configs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return configs_;
  }
  DecoderConfig LastConfig() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_config_;
  }
  // The SSRC of every accepted SETUP, in order.
  std::vector<std::optional<uint32_t>> SetupSsrcs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return setup_ssrcs_;
  }
  std::vector<uint16_t> Sequences() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sequences_;
  }

 private:
  mutable std::mutex mutex_;
  int configs_ = 0;
  DecoderConfig last_config_;
  std::vector<uint16_t> sequences_;
  std::vector<std::optional<uint32_t>> setup_ssrcs_;
};

inline constexpr char kTestSps[] = "Z0LAHtkDxWhAAAADAEAAAAwDxYuS";
inline constexpr char kTestPps[] = "aMuMsg==";

inline std::string TestSdp(const std::string& profile = "RTP/AVP") {
  return std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=test\r\nt=0 0\r\n") + "m=video 0 " +
         profile + " 96\r\na=rtpmap:96 H264/90000\r\n" +
         "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" + kTestSps + "," + kTestPps +
         "\r\na=control:trackID=1\r\n";
}

// The request's method and CSeq.
inline std::string MethodOf(const std::string& request) {
  return request.substr(0, request.find(' '));
}
inline unsigned CSeqOf(const std::string& request) {
  const size_t at = request.find("CSeq: ");
  return at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(request.substr(at + 6)));
}

inline std::string Response(unsigned cseq, const std::string& headers = "",
                            const std::string& body = "", const std::string& status = "200 OK") {
  std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers;
  if (!body.empty()) {
    text +=
        "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return text + "\r\n" + body;
}

// A camera that answers everything: DESCRIBE with a Content-Base and the test SDP, SETUP with a
// session (with `session_params` after the identifier).
inline ScriptedReply CameraReply(const std::string& request, uint16_t port,
                               const std::string& session_params = ";timeout=60",
                               const std::string& profile = "RTP/AVP") {
  const std::string method = MethodOf(request);
  const unsigned cseq = CSeqOf(request);
  ScriptedReply reply;
  if (method == "DESCRIBE") {
    reply.bytes =
        Response(cseq, "Content-Base: rtsp://127.0.0.1:" + std::to_string(port) + "/live/\r\n",
                 TestSdp(profile));
  } else if (method == "SETUP") {
    reply.bytes =
        Response(cseq, "Transport: RTP/AVP;unicast;client_port=5000-5001\r\nSession: 12345678" +
                           session_params + "\r\n");
  } else {
    reply.bytes = Response(cseq, "Session: 12345678\r\n");
  }
  return reply;
}

inline RTSPClientParams TestParams(uint16_t port) {
  RTSPClientParams params;
  params.Host = "127.0.0.1";
  params.Port = port;
  params.Path = "live";
  params.ConnectTimeoutMs = 2000;
  params.ReceiveTimeoutMs = 2000;
  params.SendTimeoutMs = 1000;
  params.RtpClientPort = 5000;
  params.RtcpClientPort = 5001;
  return params;
}

// Polls `done` every 10 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

inline std::chrono::milliseconds ElapsedSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace korvane::testing
