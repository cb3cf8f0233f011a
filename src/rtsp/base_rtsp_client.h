#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base_thread.h"
#include "base/event.h"
#include "base/lock.h"
#include "base/socket.h"
#include "rtsp/rtsp_response.h"
#include "core/failure_reason.h"
#include "core/transport_mode.h"
#include "rtp/rtcp_handler.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/rtsp_stream_parser.h"
#include "rtsp/rtsp_transport_ssrc.h"
#include "text/digest_auth.h"

namespace korvane {

class IRTPReceiverUser;

// What one RTSP session needs to know; the constructor sets the defaults.
struct RTSPClientParams {
  uint16_t Port = 554;
  uint16_t RtpClientPort = 0;   // announced in SETUP (modes 0 and 1)
  uint16_t RtcpClientPort = 0;  // announced in SETUP (modes 0 and 1)
  std::string Host;             // name or dotted address
  std::string UserName;
  std::string Password;
  uint32_t ConnectTimeoutMs = 5000;
  uint32_t ReceiveTimeoutMs = 5000;
  uint32_t ReceiveBufferBytes = 65536;
  uint32_t SendTimeoutMs = 1000;
  // Session timeout assumed when the camera names none; keep-alives go out at half of it.
  uint32_t KeepAlivePeriodS = 60;
  // Scheme used for requests; the client switches it when a 401 names another.
  AuthScheme Scheme = AuthScheme::kNone;
  std::string Path;  // stream path on the camera, with or without leading '/'
  MediaKind Media = MediaKind::kVideo;
  // The rtpmap encoding the user reads ("H264", "JPEG", "MP4V-ES"); a description that names
  // another one fails the session's reason (the session still goes on). Empty: any.
  std::string Encoding;
  std::string Range;  // Range value of PLAY and PAUSE; empty means "npt=0.000-"
};

// One RTSP 1.0 session (RFC 2326) with one camera, on a thread of its own ("RTSP Client
// Thread"): connect, DESCRIBE (handing the SDP's decoder configuration to the user), SETUP of one
// medium, PLAY, OPTIONS keep-alives at half the session timeout, PAUSE/PLAY on request, and
// TEARDOWN when the thread is stopped. Basic and Digest challenges are answered once per request:
// the strongest one offered (Digest SHA-256, then MD5, then Basic); Digest as RFC 7616 (qop
// "auth", nonce count, opaque; the RFC 2069 form when the camera asks for no qop), and a nonce
// the camera declares stale is renewed once more; inside a session (after SETUP) any new
// challenge is answered once, whatever request it refused. A UDP SETUP answered 461 is asked
// again interleaved on the same connection. In the interleaved transport modes the media is read
// from the RTSP connection after PLAY, on the channels the SETUP reply named, and handed,
// through a CRTPReceiver (source lock, reorder window), to the user's OnPacket; the answers to
// the requests sent meanwhile are read among the frames, and receiver reports (RFC 3550 timer,
// answers to the camera's RTCP, BYE at the end) go out on the RTCP channel.
//
// Start() and Close() belong to the owner's thread; Pause() and Play() may be called from any
// thread. OnCodecConfig comes on the client thread, OnPacket on the receiver's queue thread,
// which ends before the media loop returns. The client reports by results, and the owner
// notices missing media; its one log line tells of the first stray answer of a session (a
// camera that repeats or reorders its answers).
//
// Every wait watches the stop event and every socket operation is bounded, so Close() returns
// within CloseTimeoutMs() whatever the camera does.
class CBaseRTSPClient : public CBaseThread, private IRTSPStreamObserver {
 public:
  // A response's header block may be this long (long Digest challenges, Date, Server...).
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  // Largest body accepted (an SDP is a few hundred bytes); a peer cannot make us allocate more.
  static constexpr size_t kMaxBodyBytes = 1024 * 1024;
  // Cadence of the session loop: pause/play/stop are served at once, keep-alives are checked
  // at every time-out of this wait.
  static constexpr uint32_t kLoopWaitMs = 2000;
  // During a stop the TEARDOWN answer changes nothing that follows: a camera that has stopped
  // answering RTSP costs the stop at most this much (at most the request time-outs when they
  // are shorter).
  static constexpr uint32_t kStopTeardownWaitMs = 1000;

  // logger may be null; not owned, must outlive the client.
  explicit CBaseRTSPClient(IDebugMessage* logger);
  ~CBaseRTSPClient() override;

  // Resets the session record, takes the parameters, the user (not owned; must outlive the
  // session, until Close) and the mode, connects, and starts the thread. On failure the client
  // is closed and the result is false. A running session is closed first.
  bool Start(const RTSPClientParams& params, IRTPReceiverUser* user, TransportMode mode);
  // Stops the thread (which sends TEARDOWN as it ends, when SETUP had been sent) and closes the
  // connection. Returns within CloseTimeoutMs(); sends nothing itself.
  void Close();
  // 2 x max(receive, send time-out) + 1000 ms.
  uint32_t CloseTimeoutMs() const;

  // Ask the running session to send PAUSE, or PLAY. Served by the session loop (not while the
  // interleaved media loop runs).
  void Pause() { pause_event_.Set(); }
  void Play() { play_event_.Set(); }
  bool IsPaused() const { return paused_; }

  // The request text of `kind` for the current state, with the next CSeq of the client's own
  // count (counts the request). Empty for an unknown kind.
  virtual std::string BuildRequest(RequestKind kind);

  // The URL that every request but SETUP goes to.
  std::string BaseUrl() const;
  // The URL that SETUP goes to: the configured medium's control value against BaseUrl().
  std::string ControlUrl() const;

  // The pure rules behind the request texts, shared with the tests.
  static std::string MakeBaseUrl(const std::string& content_base, const std::string& host,
                                 uint16_t port, const std::string& path);
  static std::string MakeControlUrl(const std::string& base_url, const std::string& control);
  static std::string MakeTransportLine(const std::string& sdp_profile, TransportMode mode,
                                       uint16_t rtp_port, uint16_t rtcp_port);
  // The Authorization line answering an RFC 2069 Digest challenge (realm and nonce, no qop);
  // empty when a value is missing.
  static std::string MakeDigestLine(const std::string& method, const std::string& user,
                                    const std::string& password, const std::string& realm,
                                    const std::string& nonce, const std::string& uri);
  static const char* MethodName(RequestKind kind);
  // A keep-alive is due once this much time has passed since the last one: half the session
  // timeout the camera named, or half the default period when it named none.
  static uint64_t KeepAliveIntervalMs(int32_t session_timeout_s, uint32_t default_period_s);
  // Expected length of a response from its header block (the text up to and including the empty
  // line, P + 4 bytes): header length + Content-Length, or nothing when the length is not a
  // number or above kMaxBodyBytes.
  static std::optional<size_t> ExpectedResponseLength(std::string_view header_block);
  // Whether a message read after the request numbered `cseq` is its answer. A request of the
  // server is not; an answer without CSeq is (some cameras omit it); an answer with another
  // CSeq is a stray (a duplicate, or the late answer to an earlier request) once the camera
  // has shown that it echoes our numbers (`camera_echoes`), and is taken as the answer of a
  // camera that numbers its answers its own way.
  static bool IsAnswerTo(std::string_view message, uint32_t cseq, bool camera_echoes);
  // Stray answers to one request that are skipped before the request fails.
  static constexpr uint32_t kMaxStrayAnswers = 8;

  // The SSRC the camera announced in its last SETUP reply (Transport ssrc=), for the source lock
  // of the RTP receiver; nullopt when it named none. Any thread.
  std::optional<uint32_t> SetupSsrc() const {
    const int64_t ssrc = setup_ssrc_.load(std::memory_order_relaxed);
    return ssrc == kNoSsrc ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(ssrc));
  }

  // Whether the camera accepted PLAY in this session. Any thread.
  bool Played() const { return played_.load(std::memory_order_relaxed); }
  // The transport mode of the session: the one Start() was given, or RTP over RTSP after a 461
  // answer to a UDP SETUP. Any thread.
  TransportMode Mode() const { return mode_.load(); }
  // RFC 2326 11.4.3.
  static constexpr int kUnsupportedTransport = 461;

  // The interleaved channels of the session: those the SETUP reply named, else those asked for
  // (0 and 1). Read it only while the thread does not run, or on the client thread.
  InterleavedChannels Channels() const { return channels_; }

  // The record of the last response, for the owner's diagnostics. Read it only while the thread
  // does not run.
  const RTSPResponse& Response() const { return parser_.Response(); }
  // Messages skipped since Start because they did not answer the request sent. Read it only
  // while the thread does not run.
  uint32_t StrayAnswers() const { return stray_answers_; }
  // Why the session of the last Start failed: the connection, or the first refused or
  // unanswered DESCRIBE, SETUP or PLAY, or a description without usable video. Not set while
  // the session goes well. Any thread.
  CFailureReason Failure() const;

 protected:
  void Run() override;
  // Reads the interleaved media after PLAY until the stream ends or fails (true) or the stop
  // event is set (false).
  virtual bool ReceiveInterleaved();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int64_t kNoSsrc = -1;

  bool Connect();
  // SETUP; a UDP SETUP answered 461 is sent again asking for RTP over RTSP.
  bool SetUp();
  // Keeps the session's first failure and tells the user of it (client thread only).
  void Fail(CFailureReason reason);
  // Fail() with the answer the parser holds to the request of `kind` that just failed.
  void FailRequest(RequestKind kind);
  bool IsInterleaved() const { return mode_ == kRtpOverTcp || mode_ == kRtpOverRtsp; }
  std::string AuthorizationLine(RequestKind kind);
  // After a 401: takes up the strongest challenge it offered and says whether the request is
  // worth sending again. At most one scheme switch and one stale-nonce renewal per request, so
  // wrong credentials end the request instead of looping.
  bool AnswerChallenge(bool& switched, bool& renewed);

  // Sends one request and reads its answer into the parser (PLAY in the interleaved modes goes
  // on to ReceiveInterleaved instead).
  bool SendRequest(RequestKind kind);
  // SendRequest, with one retry when a 401 names another scheme; true on 2xx.
  bool Request(RequestKind kind);
  // Sends the text with one send call, bounded by the send time-out.
  bool SendText(const std::string& text);
  // Collects one message; empty when nothing usable arrived. Bytes read past its end are kept
  // for the next call.
  std::string ReadResponse();
  // Reads until the answer to the request numbered `cseq` arrives, skipping at most
  // kMaxStrayAnswers other messages; empty when none came.
  std::string ReadAnswer(uint32_t cseq);
  // Waits until the socket is ready for `poll_events` or `deadline` passes; false on time-out,
  // error or (outside TEARDOWN) the stop event.
  bool WaitSocket(short poll_events, Clock::time_point deadline);
  bool WaitSocketInTeardown(short poll_events, Clock::time_point deadline);
  Clock::time_point Cap(Clock::time_point deadline) const;
  // Brings the TEARDOWN deadline to kStopTeardownWaitMs from now when it lies further off.
  void ShortenTeardownForStop();

  void CheckKeepAlive();
  // The keep-alive inside the interleaved loop: its answer comes inside the media stream.
  void SendKeepAliveOnly();
  // IRTSPStreamObserver, on this thread while the interleaved media is read: the answers to
  // the requests sent during the stream (PLAY, keep-alives) arrive among the frames.
  void OnRtcpFrame(std::span<const uint8_t> frame) override;
  void OnRtpFrame(std::span<const uint8_t> frame) override;
  // One RTCP packet framed for the session's RTCP channel (RFC 2326 10.12).
  void SendInterleavedRtcp(const std::vector<uint8_t>& packet);
  void OnMessage(std::string_view header_block) override;
  bool KeepAliveDue() const;

  CRTSPResponseParser parser_;
  uint32_t cseq_ = 0;  // CSeq of the last request built
  // Set once an answer carried the CSeq of its request: from then on other numbers are strays.
  bool camera_echoes_ = false;
  uint32_t stray_answers_ = 0;
  std::string pending_;  // bytes read past the end of the last message
  // The Digest challenge being answered and its nonce count; kept across the requests of one
  // session.
  CDigestAuthenticator digest_;
  // WWW-Authenticate values of the last response.
  std::vector<std::string> challenges_;
  // SETUP was accepted: the credentials are good, and a 401 from now on means the camera
  // changed its nonce.
  bool in_session_ = false;
  // The request whose answer the interleaved loop waits for, and whether it was already sent
  // again after a 401 (a second refusal in a row is final).
  RequestKind stream_request_ = RequestKind::kPlay;
  bool stream_request_renewed_ = false;
  std::atomic<int64_t> setup_ssrc_{kNoSsrc};
  InterleavedChannels channels_;
  std::optional<uint16_t> camera_rtcp_port_;  // server_port of the last SETUP reply
  // Receiver statistics and reports of an interleaved session (no socket of its own: its
  // packets go on the RTSP connection, from this thread); made when the media loop starts.
  std::unique_ptr<CRTCPHandler> interleaved_rtcp_;
  CSocketHandle socket_;
  uint64_t last_keep_alive_ = 0;  // monotonic time of the last keep-alive; 0 for none
  IRTPReceiverUser* user_ = nullptr;
  RTSPClientParams params_;
  std::atomic<TransportMode> mode_{kRtpOverUdp};
  CEvent pause_event_;
  CEvent play_event_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> played_{false};
  // While the thread sends TEARDOWN, every socket wait ends at this point, so that Close()
  // keeps its bound; once a stop is asked the stop event is no longer watched, and the point
  // lies at most kStopTeardownWaitMs after the stop.
  std::optional<Clock::time_point> teardown_deadline_;
  // Of the last answer read: its status line's reason phrase, and whether a DESCRIBE answer
  // has an m=video line.
  std::string status_phrase_;
  uint32_t answer_status_ = 0;  // 0: no answer
  bool offers_video_ = false;
  mutable CLock failure_lock_;
  CFailureReason failure_ GUARDED_BY(failure_lock_);
};

}  // namespace korvane
