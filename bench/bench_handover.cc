// Hand-over latency of the receive path: from a picture's last RTP packet entering the kernel to
// the depacketizer handing the finished frame to its client (IMediaParserClient::OnFrame, where
// the driver passes it to the host). C streams are received by the real transports:
//  - udp: CRTPReceiver::Start(0, kRtpOverUdp) (a CUDPClient on a loopback port), or
//  - tcp: CBaseRTSPClient in kRtpOverRtsp against a minimal RTSP server in this process, with
//    RTP interleaved on the connection (RFC 2326 10.12);
// each feeding a CH264RTPMediaParser. One sender thread paces pictures at F fps: per tick and
// channel a burst of N packets (FU-A fragments of one slice, RFC 6184; an IDR with SPS and PPS
// before it every 25th picture). Frames are matched to pictures by RTP timestamp.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "media/h264_rtp_media_parser.h"
#include "media/media_parser_client.h"
#include "media/testing/media_test_support.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"
#include "rtp/rtp_receiver_user.h"
#include "rtsp/base_rtsp_client.h"

namespace korvane {
namespace {

using Steady = std::chrono::steady_clock;
constexpr size_t kPayload = 1400;
constexpr int kKeyInterval = 25;

// x264's SPS of a 1920x1080 stream and its PPS; the SDP carries the same (base64).
const std::vector<uint8_t> kSps = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0, 0x08, 0x9f, 0x97,
                                   0x01, 0x6a, 0x02, 0x02, 0x02, 0x80, 0x00, 0x00, 0x03, 0x00,
                                   0x80, 0x00, 0x00, 0x19, 0x47, 0x8c, 0x19, 0x50};
const std::vector<uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};
constexpr char kSprop[] = "Z0LAKNoB4AiflwFqAgICgAAAAwCAAAAZR4wZUA==,aM48gA==";

struct Options {
  int channels = 32;
  bool tcp = false;
  int seconds = 10;
  int fps = 25;
  int packets = 37;
  // Loopback's MSS (about 64 KiB) makes every 1.4 KB interleaved packet a small segment, which
  // the client's kernel acknowledges only on its delayed-ACK timer (tens of ms) unless the
  // client reads; the sender's congestion window then holds the rest of a burst back. A camera
  // on Ethernet sends full-sized segments of 1448 bytes (MTU 1500, TCP timestamps), which are
  // acknowledged every second one: that is the default. 0 keeps loopback's own.
  int mss = 1448;
  bool json = false;
};

uint64_t NowUs() { return SocketClockNowUs(); }

// One stream's receiving end: the receiver user feeds the parser, the parser's client notes
// when each frame came out and which RTP timestamp it belongs to.
class Stream : public IRTPReceiverUser, public IMediaParserClient {
 public:
  explicit Stream(size_t expected) : parser_(&driver_) {
    driver_.frame_factory = &factory_;
    factory_.reuse_frames = true;  // the host's frame pool: no allocation per frame
    parser_.SetClient(this);
    frames_.reserve(expected + 16);
  }
  void OnPacket(const CRTPPacket& packet) override { Feed(packet); }
  void OnPacketFrom(const SocketAddress&, const CRTPPacket& packet) override { Feed(packet); }
  void OnTransportWait() override {}
  void OnTransportClosed() override {}
  void OnCodecConfig(const DecoderConfig* config) override {
    if (config != nullptr) parser_.SetDecoderConfig(config);
  }
  bool OnFrame(ipcapture::IMediaFrame*) override {
    const uint64_t now = NowUs();
    std::lock_guard<std::mutex> guard(mutex_);
    frames_.push_back({current_timestamp_, now});
    return true;
  }
  std::pair<uint32_t, uint32_t> GetVideoSize() override { return {1920, 1080}; }

  struct Delivered {
    uint32_t timestamp;
    uint64_t at_us;
  };
  std::vector<Delivered> Frames() {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
  }
  CRTPReceiver receiver{nullptr};
  CBaseRTSPClient rtsp{nullptr};

 private:
  void Feed(const CRTPPacket& packet) {
    // A frame is handed over while its last packet is parsed: that packet's timestamp is it.
    current_timestamp_ = packet.Timestamp();
    parser_.ParsePacket(&packet);
  }
  testing::FakeDriver driver_;
  testing::TestFrameFactory factory_;
  CH264RTPMediaParser parser_;
  uint32_t current_timestamp_ = 0;  // queue thread only
  std::mutex mutex_;
  std::vector<Delivered> frames_;
};

// Waits until `fd` is ready for `events`, at most `ms`.
bool WaitFd(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & events) != 0;
}

// Sends all of `data` on a non-blocking socket, waiting at most 200 ms for room in total.
bool SendAll(int fd, const uint8_t* data, size_t length) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(200);
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    } else if (Steady::now() >= deadline) {
      return false;
    } else {
      WaitFd(fd, POLLOUT, 20);
    }
  }
  return true;
}

// The camera side of the interleaved transport: answers the RTSP requests of every connection
// and skips the client's interleaved RTCP. Once PLAY is answered the connection carries media;
// the sender and this thread write under the connection's lock.
class MiniRtspServer {
 public:
  struct Connection {
    int fd = -1;
    std::string in;
    std::mutex send_lock;
    std::atomic<bool> playing{false};
    bool closed = false;  // the server thread's
  };
  // `mss` > 0: the segment size of the connections (TCP_MAXSEG on the listening socket).
  bool Listen(int mss) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listen_fd_ < 0 ||
        (mss > 0 && setsockopt(listen_fd_, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss) != 0) ||
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return false;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& c : connections_) close(c->fd);
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  uint16_t Port() const { return port_; }
  // The connections that have answered PLAY, in accept order; waits at most `ms` for `count`.
  std::vector<Connection*> Playing(size_t count, int ms) {
    const auto deadline = Steady::now() + std::chrono::milliseconds(ms);
    for (;;) {
      std::vector<Connection*> out;
      {
        std::lock_guard<std::mutex> guard(list_lock_);
        for (auto& c : connections_) {
          if (c->playing) out.push_back(c.get());
        }
      }
      if (out.size() >= count || Steady::now() >= deadline) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> guard(list_lock_);
        // A closed connection stays in the list (its index is its client's) but is not polled.
        for (auto& c : connections_) fds.push_back({c->closed ? -1 : c->fd, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd >= 0) {
          // Each interleaved packet goes out in the send call that carries it: without this,
          // Nagle's algorithm holds a picture's short last packet until the client's delayed
          // ACK (tens of ms on Linux), a sender-side wait that is no part of the hand-over.
          const int one = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          auto c = std::make_unique<Connection>();
          c->fd = fd;
          std::lock_guard<std::mutex> guard(list_lock_);
          connections_.push_back(std::move(c));
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        Connection* c = connections_[i - 1].get();
        char buffer[4096];
        const ssize_t n = recv(c->fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          c->in.append(buffer, static_cast<size_t>(n));
          Serve(c);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          c->closed = true;
        }
      }
    }
  }
  // Answers every whole request in the connection's input; interleaved frames are skipped.
  void Serve(Connection* c) {
    for (;;) {
      std::string& in = c->in;
      if (!in.empty() && in[0] == '$') {
        if (in.size() < 4) return;
        const size_t len = (static_cast<uint8_t>(in[2]) << 8) | static_cast<uint8_t>(in[3]);
        if (in.size() < 4 + len) return;
        in.erase(0, 4 + len);
        continue;
      }
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) return;
      size_t body = 0;
      const size_t cl = in.find("Content-Length:");
      if (cl != std::string::npos && cl < end)
        body = std::strtoul(in.c_str() + cl + 15, nullptr, 10);
      if (in.size() < end + 4 + body) return;
      const std::string request = in.substr(0, end + 4);
      in.erase(0, end + 4 + body);
      Answer(c, request);
    }
  }
  void Answer(Connection* c, const std::string& request) {
    const std::string method = request.substr(0, request.find(' '));
    const size_t at = request.find("CSeq:");
    const unsigned long cseq =
        at == std::string::npos ? 0 : std::strtoul(request.c_str() + at + 5, nullptr, 10);
    std::string reply = "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n";
    if (method == "OPTIONS") {
      reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n\r\n";
    } else if (method == "DESCRIBE") {
      const std::string sdp =
          std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=bench\r\nt=0 0\r\n") +
          "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n" +
          "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" + kSprop +
          "\r\na=control:trackID=1\r\n";
      reply += "Content-Base: rtsp://127.0.0.1:" + std::to_string(port_) +
               "/live/\r\nContent-Type: application/sdp\r\nContent-Length: " +
               std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    } else if (method == "SETUP") {
      reply +=
          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: 12345678;timeout=60\r\n\r\n";
    } else {
      reply += "Session: 12345678\r\n\r\n";
    }
    std::lock_guard<std::mutex> guard(c->send_lock);
    SendAll(c->fd, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    if (method == "PLAY") c->playing = true;
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex list_lock_;  // the list; each Connection's input is this thread's alone
  std::vector<std::unique_ptr<Connection>> connections_;
};

// The payloads of one picture: N packets, marker on the last; a key picture starts with the SPS
// and PPS as single NAL unit packets, then FU-A fragments of one slice (RFC 6184 5.8).
std::vector<std::vector<uint8_t>> Picture(bool key, int packets) {
  std::vector<std::vector<uint8_t>> p;
  if (key) {
    p.push_back(kSps);
    p.push_back(kPps);
  }
  const size_t first = p.size();
  while (p.size() < static_cast<size_t>(packets)) {
    const bool last = p.size() + 1 == static_cast<size_t>(packets);
    std::vector<uint8_t> payload(last ? kPayload / 2 : kPayload);
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<uint8_t>((p.size() + i * 13) % 0xFE + 1);
    payload[0] = 0x7C;  // FU indicator: NRI 3, type 28
    payload[1] =
        static_cast<uint8_t>((p.size() == first ? 0x80 : 0) | (last ? 0x40 : 0) | (key ? 5 : 1));
    p.push_back(std::move(payload));
  }
  return p;
}

double Percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t i =
      std::min(sorted.size() - 1, static_cast<size_t>(q * static_cast<double>(sorted.size())));
  return sorted[i];
}

int Run(const Options& o) {
  const size_t channels = static_cast<size_t>(o.channels);
  const size_t pictures = static_cast<size_t>(o.seconds) * static_cast<size_t>(o.fps);
  const uint32_t ticks_per_picture = 90000u / static_cast<uint32_t>(o.fps);
  std::vector<std::unique_ptr<Stream>> streams;
  for (size_t c = 0; c < channels; ++c) streams.push_back(std::make_unique<Stream>(pictures));

  MiniRtspServer server;
  std::vector<MiniRtspServer::Connection*> connections;
  std::vector<sockaddr_in> to(channels);  // udp: the receivers' ports
  int udp_fd = -1;
  bool started = true;
  if (o.tcp) {
    started = server.Listen(o.mss);
    for (size_t c = 0; started && c < channels; ++c) {
      RTSPClientParams params;
      params.Host = "127.0.0.1";
      params.Port = server.Port();
      params.Path = "live";
      params.ConnectTimeoutMs = 2000;
      params.ReceiveTimeoutMs = 5000;
      started = streams[c]->rtsp.Start(params, streams[c].get(), kRtpOverRtsp);
      // Accept order is connect order: one client at a time, so connection c is client c.
      if (started) started = server.Playing(c + 1, 5000).size() == c + 1;
    }
    if (started) connections = server.Playing(channels, 0);
  } else {
    udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
    started = udp_fd >= 0;
    for (size_t c = 0; started && c < channels; ++c) {
      streams[c]->receiver.SetUser(streams[c].get());
      started = streams[c]->receiver.Start(0, kRtpOverUdp);
      to[c].sin_family = AF_INET;
      to[c].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      to[c].sin_port = htons(streams[c]->receiver.GetPort());
    }
  }

  // marker_us[c][k]: just before the send call of picture k's marker packet on channel c.
  std::vector<std::vector<uint64_t>> marker_us(channels, std::vector<uint64_t>(pictures, 0));
  std::atomic<bool> send_failed{false};
  size_t sent = 0;
  size_t held = 0;  // tcp: pictures whose marker packet stayed in the sender's queue
  if (started) {
    const auto key = Picture(true, o.packets), delta = Picture(false, o.packets);
    std::thread sender([&] {
      std::vector<uint8_t> wire(4 + 12 + kPayload);
      std::vector<uint16_t> sequence(channels, 0);
      const auto period = std::chrono::microseconds(1000000 / o.fps);
      const auto start = Steady::now();
      for (size_t k = 0; k < pictures && !send_failed; ++k) {
        std::this_thread::sleep_until(start + period * k);
        const auto& payloads = k % kKeyInterval == 0 ? key : delta;
        const uint32_t ts = static_cast<uint32_t>(k) * ticks_per_picture;
        for (size_t c = 0; c < channels; ++c) {
          std::unique_lock<std::mutex> guard;
          if (o.tcp) guard = std::unique_lock<std::mutex>(connections[c]->send_lock);
          for (size_t i = 0; i < payloads.size(); ++i) {
            const bool marker = i + 1 == payloads.size();
            uint8_t* rtp = wire.data() + 4;
            const uint16_t seq = sequence[c]++;
            const auto header = testing::RtpTestHeader(seq, ts, marker);
            std::memcpy(rtp, header.data(), header.size());
            std::memcpy(rtp + 12, payloads[i].data(), payloads[i].size());
            const size_t length = 12 + payloads[i].size();
            // On loopback the receiving socket's queue gets the packet inside the send call (a
            // TCP connection may hold it longer, see `held`), so the time just before the call
            // is at or before the kernel's receipt: the latency measured from it is never
            // shorter than the true one.
            if (marker) marker_us[c][k] = NowUs();
            bool ok;
            if (o.tcp) {
              wire[0] = '$';  // RFC 2326 10.12: '$', channel, 16-bit length, the packet
              wire[1] = 0;
              wire[2] = static_cast<uint8_t>(length >> 8);
              wire[3] = static_cast<uint8_t>(length);
              ok = SendAll(connections[c]->fd, wire.data(), 4 + length);
              // Bytes the connection has not sent yet (its flow or congestion control holds
              // them): the marker reaches the client later than the time taken above.
              int unsent = 0;
              if (marker && ioctl(connections[c]->fd, SIOCOUTQNSD, &unsent) == 0 && unsent > 0) {
                ++held;
              }
            } else {
              ok = sendto(udp_fd, rtp, length, 0, reinterpret_cast<const sockaddr*>(&to[c]),
                          sizeof to[c]) == static_cast<ssize_t>(length);
            }
            if (!ok) send_failed = true;
          }
        }
        sent = k + 1;
      }
    });
    sender.join();
    // Let the last pictures through before stopping.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (auto& s : streams) {
    if (o.tcp)
      s->rtsp.Close();
    else
      s->receiver.Stop();
  }
  server.Stop();
  if (udp_fd >= 0) close(udp_fd);
  if (!started) {
    std::fprintf(stderr, "bench_handover: the %s transports did not start\n",
                 o.tcp ? "tcp" : "udp");
    return 2;
  }

  std::vector<double> latencies_ms;
  size_t delivered = 0, expected = 0, out_of_order = 0, missing = 0, unmatched = 0;
  const size_t skip = static_cast<size_t>(o.fps);  // the first second: start-up
  for (size_t c = 0; c < channels; ++c) {
    const auto frames = streams[c]->Frames();
    delivered += frames.size();
    long previous = -1;
    long first = -1;
    for (const auto& f : frames) {
      const long k = static_cast<long>(f.timestamp / ticks_per_picture);
      if (f.timestamp % ticks_per_picture != 0 || k >= static_cast<long>(sent)) {
        ++unmatched;
        continue;
      }
      if (first < 0) first = k;
      if (k <= previous) {
        ++out_of_order;
        continue;
      }
      if (previous >= 0) missing += static_cast<size_t>(k - previous - 1);
      previous = k;
      if (static_cast<size_t>(k) >= skip) {
        latencies_ms.push_back(
            static_cast<double>(static_cast<int64_t>(f.at_us - marker_us[c][k])) / 1000.0);
      }
    }
    expected += first < 0 ? sent : sent - static_cast<size_t>(first);
    if (previous >= 0) missing += sent - 1 - static_cast<size_t>(previous);
  }
  std::sort(latencies_ms.begin(), latencies_ms.end());
  const double share =
      expected == 0 ? 0 : 100.0 * static_cast<double>(delivered) / static_cast<double>(expected);
  const double p50 = Percentile(latencies_ms, 0.50), p90 = Percentile(latencies_ms, 0.90),
               p99 = Percentile(latencies_ms, 0.99),
               max = latencies_ms.empty() ? 0 : latencies_ms.back();
  const char* transport = o.tcp ? "tcp" : "udp";
  std::printf("channels %zu, transport %s, %d fps, %d packets per picture\n", channels, transport,
              o.fps, o.packets);
  std::printf("pictures sent %zu per channel (%zu in all)%s\n", sent, sent * channels,
              send_failed ? ", a send failed" : "");
  std::printf(
      "frames delivered %zu of %zu expected after each channel's first key frame (%.2f %%)\n",
      delivered, expected, share);
  std::printf(
      "latency over %zu frames (first second skipped): p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max "
      "%.3f ms\n",
      latencies_ms.size(), p50, p90, p99, max);
  std::printf("out of order %zu, missing %zu, unmatched %zu\n", out_of_order, missing, unmatched);
  if (o.tcp) {
    std::printf("pictures whose marker was still unsent after its send call: %zu\n", held);
  }
  if (o.json) {
    std::printf(
        "{\"transport\":\"%s\",\"channels\":%zu,\"sent\":%zu,\"delivered\":%zu,\"expected\":%zu,"
        "\"p50_ms\":%.3f,\"p90_ms\":%.3f,\"p99_ms\":%.3f,\"max_ms\":%.3f,\"out_of_order\":%zu,"
        "\"missing\":%zu}\n",
        transport, channels, sent * channels, delivered, expected, p50, p90, p99, max, out_of_order,
        missing);
  }
  const bool ok = !send_failed && out_of_order == 0 && unmatched == 0 && !latencies_ms.empty() &&
                  10 * delivered >= 9 * expected;
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  korvane::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--json")
      o.json = true;
    else if (a == "--channels" && has_value)
      o.channels = std::atoi(argv[++i]);
    else if (a == "--seconds" && has_value)
      o.seconds = std::atoi(argv[++i]);
    else if (a == "--fps" && has_value)
      o.fps = std::atoi(argv[++i]);
    else if (a == "--packets" && has_value)
      o.packets = std::atoi(argv[++i]);
    else if (a == "--mss" && has_value)
      o.mss = std::atoi(argv[++i]);
    else if (a == "--transport" && has_value &&
             (std::string(argv[i + 1]) == "udp" || std::string(argv[i + 1]) == "tcp"))
      o.tcp = std::string(argv[++i]) == "tcp";
    else {
      std::fprintf(stderr,
                   "usage: bench_handover [--channels C] [--transport udp|tcp] [--seconds S] "
                   "[--fps F] [--packets N] [--mss M] [--json]\n");
      return 2;
    }
  }
  if (o.channels < 1 || o.channels > 256 || o.seconds < 2 || o.seconds > 600 || o.fps < 1 ||
      o.fps > 120 || o.packets < 3 || o.packets > 1000 || o.mss < 0 || o.mss > 65535) {
    std::fprintf(stderr,
                 "bench_handover: channels 1-256, seconds 2-600, fps 1-120, packets 3-1000\n");
    return 2;
  }
  return korvane::Run(o);
}
