#include "rtsp/base_rtsp_client.h"


#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include "base/debug_message.h"
#include "base/time.h"
#include "rtp/read_pacer.h"
#include "rtp/rtp_receiver.h"
#include "rtp/rtp_receiver_user.h"
#include "rtsp/rtsp_failure.h"
#include "rtsp/rtsp_stream_parser.h"
#include "rtsp/rtsp_transport_ssrc.h"
#include "text/text_helpers.h"

namespace korvane {

namespace {

constexpr char kThreadName[] = "RTSP Client Thread";
constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr size_t kHeaderEndLength = 4;
// Response reads: a small first read (most answers are short), then at most this much at once.
constexpr size_t kFirstReadBytes = 256;
constexpr size_t kResponseReadBytes = 512;
// Interleaved reads: a full-size read, shrinking to what the camera delivers in big bursts.
constexpr size_t kInterleavedReadBytes = 64 * 1024;
// Room for the media of the interleaved stream, as for a UDP media socket.
constexpr uint32_t kInterleavedReceiveBufferBytes = 2 * 1024 * 1024;
constexpr uint32_t kConnectStepMs = 100;

// Milliseconds from now until `deadline`, rounded up; 0 once it has passed.
uint32_t MsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto now = std::chrono::steady_clock::now();
  if (deadline <= now) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<uint32_t>(std::min<int64_t>(ms, kInfinite - 1));
}

}  // namespace

CBaseRTSPClient::CBaseRTSPClient(IDebugMessage* logger) : CBaseThread(logger) {}

CBaseRTSPClient::~CBaseRTSPClient() { Close(); }

bool CBaseRTSPClient::Start(const RTSPClientParams& params, IRTPReceiverUser* user,
                            TransportMode mode) {
  if (IsRunning() || socket_.IsValid()) {
    Close();
  }
  parser_.Reset();
  cseq_ = 0;
  camera_echoes_ = false;
  stray_answers_ = 0;
  pending_.clear();
  digest_.Reset();
  challenges_.clear();
  in_session_ = false;
  played_ = false;
  setup_ssrc_.store(kNoSsrc, std::memory_order_relaxed);
  channels_ = InterleavedChannels{};
  camera_rtcp_port_.reset();
  interleaved_rtcp_.reset();
  params_ = params;
  user_ = user;
  mode_ = mode;
  last_keep_alive_ = 0;
  status_phrase_.clear();
  answer_status_ = 0;
  offers_video_ = false;
  {
    CAutoLock guard(failure_lock_);
    failure_ = {};
  }
  if (!Connect() || !StartThread(kThreadName)) {
    Close();
    return false;
  }
  return true;
}

uint32_t CBaseRTSPClient::CloseTimeoutMs() const {
  const uint64_t longest = std::max(params_.ReceiveTimeoutMs, params_.SendTimeoutMs);
  return static_cast<uint32_t>(std::min<uint64_t>(2 * longest + 1000, kInfinite - 1));
}

void CBaseRTSPClient::Close() {
  StopThread(CloseTimeoutMs());
  socket_.Close();
  pending_.clear();
  user_ = nullptr;
  last_keep_alive_ = 0;
}

CFailureReason CBaseRTSPClient::Failure() const {
  CAutoLock guard(failure_lock_);
  return failure_;
}

void CBaseRTSPClient::Fail(CFailureReason reason) {
  {
    CAutoLock guard(failure_lock_);
    if (failure_.IsSet()) return;  // the first failure is the cause; later ones follow from it
    failure_ = reason;
  }
  if (user_ != nullptr && IsRunning()) user_->OnSessionFailed(reason);
}

void CBaseRTSPClient::FailRequest(RequestKind kind) {
  if (StopEvent().IsSet()) return;  // a stop is no failure of the camera
  RtspAnswer answer;
  answer.kind = kind;
  answer.url = kind == RequestKind::kSetup ? ControlUrl() : BaseUrl();
  answer.status = answer_status_;
  answer.phrase = status_phrase_;
  answer.challenges = challenges_;
  answer.timeout_ms = params_.ReceiveTimeoutMs;
  Fail(RtspRequestFailure(answer));
}

bool CBaseRTSPClient::Connect() {
  const uint32_t address = ResolveHost(params_.Host);
  if (address == 0) {
    Fail(RtspConnectFailure(BaseUrl(), params_.Host, 0, params_.ConnectTimeoutMs));
    return false;
  }
  SocketOptions options;
  options.receiveBufferBytes = params_.ReceiveBufferBytes;
  options.receiveTimeoutMs = params_.ReceiveTimeoutMs;
  options.sendTimeoutMs = params_.SendTimeoutMs;
  // The connection is given whole 100-ms steps: a time-out below one step only accepts a
  // connection that stands at once.
  const uint32_t limit_ms = params_.ConnectTimeoutMs / kConnectStepMs * kConnectStepMs;
  // Start() runs on the owner's thread, before this client's stop event means anything: the
  // wait is bounded by the time-out alone.
  CSocketHandle socket;
  int error = 0;
  if (!OpenTcpConnection(SocketAddress{address, params_.Port}, options, limit_ms, &socket,
                         &error)) {
    Fail(RtspConnectFailure(BaseUrl(), params_.Host, error == 0 ? ETIMEDOUT : error, limit_ms));
    return false;
  }
  socket_ = std::move(socket);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Socket I/O

CBaseRTSPClient::Clock::time_point CBaseRTSPClient::Cap(Clock::time_point deadline) const {
  return teardown_deadline_ ? std::min(deadline, *teardown_deadline_) : deadline;
}

bool CBaseRTSPClient::WaitSocket(short poll_events, Clock::time_point deadline) {
  if (teardown_deadline_) {
    return WaitSocketInTeardown(poll_events, deadline);
  }
  return WaitForEventsOrSocket({&StopEvent()}, socket_.Get(), poll_events,
                               MsUntil(Cap(deadline))) == kWaitSocket;
}

bool CBaseRTSPClient::WaitSocketInTeardown(short poll_events, Clock::time_point deadline) {
  // The goodbye goes out even after a stop was asked: its deadline alone bounds it. A TEARDOWN
  // that ends a failed SETUP may still meet a stop while it waits; the stop shortens it.
  if (!StopEvent().IsSet()) {
    const uint32_t result = WaitForEventsOrSocket({&StopEvent()}, socket_.Get(), poll_events,
                                                  MsUntil(Cap(deadline)));
    if (result != kWaitStopped) {
      return result == kWaitSocket;
    }
    ShortenTeardownForStop();
  }
  return WaitForEventsOrSocket(0, nullptr, socket_.Get(), poll_events, MsUntil(Cap(deadline))) ==
         kWaitSocket;
}

void CBaseRTSPClient::ShortenTeardownForStop() {
  const auto stop_bound = Clock::now() + std::chrono::milliseconds(kStopTeardownWaitMs);
  if (teardown_deadline_ && *teardown_deadline_ > stop_bound) {
    teardown_deadline_ = stop_bound;
  }
}

bool CBaseRTSPClient::SendText(const std::string& text) {
  if (!WaitSocket(kSocketWritable, Clock::now() + std::chrono::milliseconds(params_.SendTimeoutMs))) {
    return false;
  }
  // One send: a request is far smaller than the socket buffer that the writable wait reported free.
  // A camera that has gone away fails the request; it never raises a signal.
  const long sent = SendSome(socket_.Get(), text.data(), text.size());
  return sent >= 0 && static_cast<size_t>(sent) == text.size();
}

std::optional<size_t> CBaseRTSPClient::ExpectedResponseLength(std::string_view header_block) {
  const std::string lower = ToLowerCopy(header_block);
  const std::string value = TrimBlanks(GetParamValue("content-length", ":", lower, "\r\n"));
  if (value.empty()) {
    return header_block.size();
  }
  uint64_t length = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, length);
  if (error != std::errc() || stop != end || length > kMaxBodyBytes) {
    return std::nullopt;
  }
  return header_block.size() + static_cast<size_t>(length);
}

std::string CBaseRTSPClient::ReadResponse() {
  // A message that arrived right behind the last one (a duplicate answer) was read with it.
  std::string text = std::move(pending_);
  pending_.clear();
  bool buffered = !text.empty();
  std::vector<char> buffer(std::max(kFirstReadBytes, kResponseReadBytes));
  size_t want = kFirstReadBytes;
  size_t expected = 0;  // 0 until the end of the header block was seen
  size_t searched = 0;  // header end search resumes here
  for (;;) {
    if (!buffered) {
      // The receive time-out bounds each read, as SO_RCVTIMEO would.
      if (!WaitSocket(kSocketReadable,
                      Clock::now() + std::chrono::milliseconds(params_.ReceiveTimeoutMs))) {
        break;
      }
      const long got = ReceiveSome(socket_.Get(), buffer.data(), want);
      if (got == kSocketWouldBlock) {
        continue;
      }
      if (got <= 0) {
        break;  // closed or failed
      }
      text.append(buffer.data(), static_cast<size_t>(got));
    }
    buffered = false;
    if (expected == 0) {
      const size_t end = text.find(kHeaderEnd, searched);
      if (end == std::string::npos) {
        if (text.size() >= kMaxHeaderBytes) {
          return {};  // a header block this long is not an RTSP answer
        }
        searched = text.size() >= kHeaderEndLength ? text.size() - (kHeaderEndLength - 1) : 0;
        want = std::min(kResponseReadBytes, kMaxHeaderBytes - text.size());
        continue;
      }
      const size_t header_length = end + kHeaderEndLength;
      if (header_length > kMaxHeaderBytes) {
        return {};
      }
      const std::optional<size_t> total =
          ExpectedResponseLength(std::string_view(text).substr(0, header_length));
      if (!total) {
        return {};  // a body we will not hold, or a length we cannot read
      }
      expected = *total;
    }
    if (text.size() >= expected) {
      break;
    }
    want = std::min(expected - text.size(), kResponseReadBytes);
  }
  if (expected != 0 && text.size() > expected) {
    pending_ = text.substr(expected);
    text.resize(expected);
  }
  return text;
}

bool CBaseRTSPClient::IsAnswerTo(std::string_view message, uint32_t cseq, bool camera_echoes) {
  if (CRTSPResponseParser::IsRequest(message)) {
    return false;
  }
  const std::optional<uint32_t> answered = CRTSPResponseParser::PeekCSeq(message);
  return !answered || *answered == cseq || !camera_echoes;
}

std::string CBaseRTSPClient::ReadAnswer(uint32_t cseq) {
  uint32_t skipped = 0;
  for (;;) {
    std::string message = ReadResponse();
    if (message.empty()) {
      return {};
    }
    if (IsAnswerTo(message, cseq, camera_echoes_)) {
      if (CRTSPResponseParser::PeekCSeq(message) == cseq) {
        camera_echoes_ = true;
      }
      return message;
    }
    if (++stray_answers_ == 1 && Logger() != nullptr) {
      Logger()->DebugMessage(kLogWarning,
                             "RTSP: skipped a message that does not answer request CSeq %u",
                             static_cast<unsigned>(cseq));
    }
    if (++skipped > kMaxStrayAnswers) {
      return {};
    }
  }
}

bool CBaseRTSPClient::SendRequest(RequestKind kind) {
  if (!socket_.IsValid()) {
    return false;
  }
  const std::string url = kind == RequestKind::kSetup ? ControlUrl() : BaseUrl();
  const std::string text = BuildRequest(kind);
  if (text.empty() || !SendText(text)) {
    return false;
  }
  if (kind == RequestKind::kPlay && IsInterleaved()) {
    // The PLAY answer arrives at the head of the media stream and is read there.
    stream_request_ = kind;
    stream_request_renewed_ = false;
    return ReceiveInterleaved();
  }
  status_phrase_.clear();
  answer_status_ = 0;
  const std::string response = ReadAnswer(cseq_);
  if (response.empty()) {
    return false;
  }
  status_phrase_ = std::string(StatusPhrase(response));
  if (kind == RequestKind::kDescribe) {
    offers_video_ = response.find("\nm=video") != std::string::npos;
  }
  challenges_ = AuthenticateHeaderValues(response);
  if (kind == RequestKind::kSetup) {
    const std::optional<uint32_t> ssrc = ParseTransportSsrc(response);
    setup_ssrc_.store(ssrc ? int64_t{*ssrc} : kNoSsrc, std::memory_order_relaxed);
    camera_rtcp_port_ = ParseTransportServerRtcpPort(response);
    // The camera may choose other channels than we asked for (RFC 2326 12.39) and sends there.
    if (IsInterleaved()) {
      if (const auto channels = ParseTransportInterleaved(response)) channels_ = *channels;
    }
  }
  const bool parsed = parser_.ParseResponse(response, kind, url);
  answer_status_ = parser_.Response().StatusCode;
  return parsed;
}

bool CBaseRTSPClient::Request(RequestKind kind) {
  if (!SendRequest(kind)) {
    return false;
  }
  const RTSPResponse& r = parser_.Response();
  bool switched = false;
  bool renewed = false;
  while (r.StatusCode == 401 && AnswerChallenge(switched, renewed)) {
    if (!SendRequest(kind)) {
      return false;
    }
  }
  return r.StatusCode >= 200 && r.StatusCode <= 299;
}

bool CBaseRTSPClient::AnswerChallenge(bool& switched, bool& renewed) {
  const std::vector<AuthChallenge> challenges = ParseAuthChallenges(challenges_);
  const AuthChallenge* strongest = StrongestChallenge(challenges);
  if (strongest == nullptr) {
    return false;
  }
  if (RankChallenge(*strongest) == ChallengeRank::kBasic) {
    if (switched || params_.Scheme == AuthScheme::kBasic) {
      return false;  // Basic credentials were refused
    }
    params_.Scheme = AuthScheme::kBasic;
    switched = true;
    return true;
  }
  // A stale nonce means the credentials were right (RFC 7616 section 3.3).
  const bool stale = params_.Scheme == AuthScheme::kDigest && IsStaleDigest(challenges);
  // The latest nonce serves the later requests too, even when this one is given up.
  digest_.Learn(challenges);
  if (params_.Scheme != AuthScheme::kDigest) {
    if (switched) {
      return false;
    }
    params_.Scheme = AuthScheme::kDigest;
    switched = true;
    return true;
  }
  if (stale && !renewed) {
    renewed = true;
    return true;
  }
  // Inside a session the credentials were accepted already: a plain 401 with a new challenge
  // is a camera that changed its nonce without saying stale. Answered once, like stale.
  if (in_session_ && !renewed) {
    renewed = true;
    return true;
  }
  return false;
}

void CBaseRTSPClient::OnRtpFrame(std::span<const uint8_t> frame) {
  if (!interleaved_rtcp_ || frame.size() < 12) return;
  // RFC 3550 5.1: sequence number in bytes 2-3, SSRC in bytes 8-11.
  const uint16_t sequence = static_cast<uint16_t>((frame[2] << 8) | frame[3]);
  const uint32_t ssrc = (uint32_t{frame[8]} << 24) | (uint32_t{frame[9]} << 16) |
                        (uint32_t{frame[10]} << 8) | frame[11];
  interleaved_rtcp_->OnRtpSequence(sequence, ssrc);
}

void CBaseRTSPClient::OnRtcpFrame(std::span<const uint8_t> frame) {
  // Answered at once, as the UDP handler answers each packet of the camera's.
  if (interleaved_rtcp_ && interleaved_rtcp_->OnCameraRtcp(frame)) {
    SendInterleavedRtcp(interleaved_rtcp_->BuildReceiverReportAt(CRTCPHandler::NowMs()));
  }
}

void CBaseRTSPClient::SendInterleavedRtcp(const std::vector<uint8_t>& packet) {
  if (packet.empty() || packet.size() > 0xFFFF) return;
  std::string frame = {'$', static_cast<char>(channels_.rtcp),
                       static_cast<char>(packet.size() >> 8), static_cast<char>(packet.size())};
  frame.append(reinterpret_cast<const char*>(packet.data()), packet.size());
  SendText(frame);
}

void CBaseRTSPClient::OnMessage(std::string_view header_block) {
  if (!IsAnswerTo(header_block, cseq_, camera_echoes_)) return;
  constexpr std::string_view kUnauthorized = " 401";
  const size_t space = header_block.find(' ');
  if (space == std::string_view::npos ||
      header_block.substr(space, kUnauthorized.size()) != kUnauthorized) {
    stream_request_renewed_ = false;  // answered: the next refusal starts a new count
    return;
  }
  challenges_ = AuthenticateHeaderValues(header_block);
  // No scheme switch inside a session, and one renewal per request.
  bool switched = true;
  bool renewed = stream_request_renewed_;
  if (!AnswerChallenge(switched, renewed)) return;
  stream_request_renewed_ = true;
  SendText(BuildRequest(stream_request_));
  if (stream_request_ == RequestKind::kOptions) last_keep_alive_ = GetMonotonicTime();
}

// ---------------------------------------------------------------------------------------------
// Session

uint64_t CBaseRTSPClient::KeepAliveIntervalMs(int32_t session_timeout_s,
                                              uint32_t default_period_s) {
  const uint64_t period_s =
      session_timeout_s > 0 ? static_cast<uint64_t>(session_timeout_s) : default_period_s;
  return period_s * 1000 / 2;
}

bool CBaseRTSPClient::KeepAliveDue() const {
  return last_keep_alive_ == 0 ||
         GetElapsedMs(last_keep_alive_) >
             KeepAliveIntervalMs(parser_.Response().SessionTimeout, params_.KeepAlivePeriodS);
}

void CBaseRTSPClient::CheckKeepAlive() {
  if (KeepAliveDue()) {
    Request(RequestKind::kOptions);
    last_keep_alive_ = GetMonotonicTime();
  }
}

void CBaseRTSPClient::SendKeepAliveOnly() {
  if (KeepAliveDue()) {
    stream_request_ = RequestKind::kOptions;
    stream_request_renewed_ = false;
    const std::string text = BuildRequest(RequestKind::kOptions);
    SendText(text);
    last_keep_alive_ = GetMonotonicTime();
  }
}

bool CBaseRTSPClient::ReceiveInterleaved() {
  // The packets take the same way as over UDP: this thread only cuts them out of the stream;
  // the receiver's queue thread locks onto the source, puts them in order and hands them to the
  // user.
  CRTPReceiver receiver(Logger());
  receiver.SetUser(user_);
  receiver.SetExpectedSsrc(SetupSsrc());
  if (!receiver.StartInterleaved()) {
    return true;
  }
  CRTSPStreamParser stream(&receiver);
  stream.SetChannels(channels_.rtp, channels_.rtcp);
  stream.SetObserver(this);
  interleaved_rtcp_ = std::make_unique<CRTCPHandler>(Logger());
  interleaved_rtcp_->StartReportTimer();
  // Bytes read behind the last answer (a repeated answer, say) come first; the reader steps
  // over text and keeps any frame in them.
  if (!pending_.empty()) {
    stream.Consume(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pending_.data()),
                                            pending_.size()));
    pending_.clear();
  }
  // One read takes as much as the socket holds, up to many frames; all are parsed in place.
  std::vector<uint8_t> buffer(kInterleavedReadBytes);
  const auto receive_timeout = std::chrono::milliseconds(params_.ReceiveTimeoutMs);
  const auto check_period = std::chrono::milliseconds(kLoopWaitMs);
  auto data_deadline = Clock::now() + receive_timeout;
  auto next_check = Clock::now() + check_period;
  // Paced as the UDP thread is: about one wake per picture (see CReadPacer). While this thread
  // sleeps, the socket must hold a whole key frame, or the camera would wait for our reads.
  SetSocketReceiveBuffer(socket_.Get(), kInterleavedReceiveBufferBytes);
  const bool timed = EnableReceiveTimes(socket_.Get());
  // From here on this thread is a receive thread: a short burst of work per picture.
  DeferWakePreemption();
  CReadPacer pacer;
  CReadPacer::Plan plan;
  for (;;) {
    const uint32_t wait_ms =
        std::min(MsUntil(std::min(data_deadline, next_check)),
                 interleaved_rtcp_->MsUntilReport(CRTCPHandler::NowMs()));
    uint32_t result = kWaitTimeout;
    if (plan.next == CReadPacer::Next::kPause) {
      // Read after the pause whether or not the socket became readable in it.
      result = WaitForEvents({&StopEvent()}, std::min(plan.ms, wait_ms));
      if (result != kWaitStopped) result = kWaitSocket;
    } else {
      const bool bounded = plan.ms > 0 && plan.ms <= wait_ms;
      result = WaitForEventsOrSocket({&StopEvent()}, socket_.Get(), kSocketReadable,
                                     bounded ? plan.ms : wait_ms);
      // A bounded wait reads (and reports the read end) even when nothing came.
      if (bounded && result == kWaitTimeout) result = kWaitSocket;
    }
    if (result == kWaitStopped) {
      return false;
    }
    if (auto due = interleaved_rtcp_->TakeDueReport(CRTCPHandler::NowMs())) {
      SendInterleavedRtcp(*due);
    }
    const auto now = Clock::now();
    if (now >= next_check) {
      // The same keep-alive cadence as the session loop: a camera with a session timeout drops
      // a session that only receives.
      SendKeepAliveOnly();
      next_check = now + check_period;
    }
    if (result != kWaitSocket) {
      if (now >= data_deadline) {
        return true;  // nothing for a whole receive time-out: the read failed
      }
      continue;
    }
    CReadPacer::Round round;
    // Everything waiting: a read that fills the buffer may have left more behind.
    for (;;) {
      uint64_t received_us = 0;
      const long got = ReceiveSome(socket_.Get(), buffer.data(), buffer.size(),
                                   timed ? &received_us : nullptr);
      if (got == kSocketWouldBlock) {
        break;
      }
      if (got <= 0) {
        return true;  // closed or failed
      }
      if (StopEvent().IsSet()) {
        return false;
      }
      stream.Consume(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)));
      round.got_data = true;
      round.received_us = received_us;
      data_deadline = Clock::now() + receive_timeout;
      if (static_cast<size_t>(got) < buffer.size()) {
        break;
      }
      round.backlog = true;
    }
    round.verdict = receiver.EndOfRead();
    round.now_us = SocketClockNowUs();
    plan = pacer.After(round);
  }
}

bool CBaseRTSPClient::SetUp() {
  if (Request(RequestKind::kSetup)) return true;
  if (mode_ != kRtpOverUdp || parser_.Response().StatusCode != kUnsupportedTransport ||
      StopEvent().IsSet()) {
    return false;
  }
  // A camera that serves RTP only on the RTSP connection: ask for that on the same connection.
  mode_ = kRtpOverRtsp;
  channels_ = InterleavedChannels{};
  if (user_ != nullptr) user_->OnInterleavedFallback();
  return Request(RequestKind::kSetup);
}

void CBaseRTSPClient::Run() {
  pause_event_.Reset();
  play_event_.Reset();
  if (StopEvent().IsSet()) {
    return;
  }
  if (!Request(RequestKind::kDescribe)) {
    FailRequest(RequestKind::kDescribe);
    return;  // nothing was set up: nothing to tear down
  }
  if (params_.Media == MediaKind::kVideo) {
    if (CFailureReason media = DescribeMediaFailure(BaseUrl(), parser_.Response(),
                                                     offers_video_, params_.Encoding);
        media.IsSet()) {
      Fail(std::move(media));
    }
  }
  if (user_ != nullptr) {
    user_->OnCodecConfig(&parser_.Response().Codec);
  }
  const bool set_up = !StopEvent().IsSet() && SetUp();
  if (!set_up) FailRequest(RequestKind::kSetup);
  if (set_up) {
    in_session_ = true;
    if (user_ != nullptr) {
      user_->OnSessionSetUp(SetupSsrc());
      if (mode_ == kRtpOverUdp && camera_rtcp_port_) user_->OnCameraRtcpPort(*camera_rtcp_port_);
    }
    if (!paused_) {
      play_event_.Set();
    }
    constexpr uint32_t kPauseAsked = 1;
    constexpr uint32_t kPlayAsked = 2;
    for (;;) {
      const uint32_t which =
          WaitForEvents({&StopEvent(), &pause_event_, &play_event_}, kLoopWaitMs);
      if (which == kWaitStopped) {
        break;
      }
      if (which == kPauseAsked) {
        if (Request(RequestKind::kPause)) {
          paused_ = true;
        }
      } else if (which == kPlayAsked) {
        paused_ = false;
        if (Request(RequestKind::kPlay)) {
          played_ = true;
        } else if (!IsInterleaved()) {
          FailRequest(RequestKind::kPlay);
        }
      } else {
        CheckKeepAlive();
      }
    }
  }
  // Bounded so that Close() keeps its promise even when the camera does not answer; during a
  // stop (the usual way here) the host is waiting, and the answer would change nothing.
  teardown_deadline_ = Clock::now() + std::chrono::milliseconds(std::max(params_.ReceiveTimeoutMs,
                                                                         params_.SendTimeoutMs));
  if (StopEvent().IsSet()) {
    ShortenTeardownForStop();
  }
  // RFC 3550 6.6: the receiver leaves the session, on the RTSP connection as over UDP.
  if (interleaved_rtcp_) SendInterleavedRtcp(interleaved_rtcp_->BuildBye());
  Request(RequestKind::kTeardown);
  teardown_deadline_.reset();
}

}  // namespace korvane
