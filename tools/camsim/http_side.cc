#include "http_side.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace camsim {
namespace {

constexpr char kRealm[] = "cnb-camsim";
constexpr char kOpaque[] = "5ccc069c403ebaf9f0171e9517f40e41";
constexpr unsigned kNonceTimeoutSeconds = 300;
constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr unsigned kMaxConnections = 64;
constexpr char kInspectionPrefix[] = "/camsim/";

// The raw request target, taken before libmicrohttpd decodes the query, so that the log and
// the parameter update see exactly what the client sent.
struct RequestState {
  std::string target;
  bool headers_seen = false;
};

void* OnUriLog(void*, const char* uri, MHD_Connection*) {
  auto* state = new RequestState;
  state->target = uri ? uri : "";
  return state;
}

void OnCompleted(void*, MHD_Connection*, void** request_state, MHD_RequestTerminationCode) {
  delete static_cast<RequestState*>(*request_state);
  *request_state = nullptr;
}

MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char*, const char* method,
                    const char*, const char*, size_t* upload_size, void** request_state) {
  auto* state = static_cast<RequestState*>(*request_state);
  if (!state) return MHD_NO;
  if (!state->headers_seen) {
    state->headers_seen = true;
    return MHD_YES;
  }
  if (*upload_size != 0) {  // the CGI takes no bodies; drop them
    *upload_size = 0;
    return MHD_YES;
  }
  return static_cast<MHD_Result>(
      static_cast<HttpSide*>(cls)->Handle(connection, method ? method : "", state->target));
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& pairs,
                    const std::string& key) {
  for (const auto& [k, v] : pairs) {
    if (k == key) return v;
  }
  return "";
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

HttpSide::HttpSide(const Options& options, ParamStore& params, RequestLog& log,
                   MediaControl media)
    : options_(options), params_(params), log_(log), media_(std::move(media)),
      fault_(options.http_fault) {
  std::random_device random;
  for (auto& byte : digest_random_) byte = static_cast<unsigned char>(random());
}

HttpSide::~HttpSide() { Stop(); }

bool HttpSide::Start(std::string* error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.http_port);
  if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
    *error = "not an IPv4 address: " + options_.address;
    return false;
  }
  // A thread per connection: a slow answer must not hold up the other clients.
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0, nullptr, nullptr,
      &OnAccess, this, MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_URI_LOG_CALLBACK, &OnUriLog, this,
      MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, this, MHD_OPTION_DIGEST_AUTH_RANDOM,
      sizeof(digest_random_), digest_random_, MHD_OPTION_NONCE_NC_SIZE, 1024u,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
      kMaxConnections, MHD_OPTION_END);
  if (!daemon_) {
    *error = "cannot listen on HTTP port " + std::to_string(options_.http_port);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : options_.http_port;
  return true;
}

void HttpSide::Stop() {
  stopping_ = true;
  if (daemon_) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
}

void HttpSide::SetFault(const HttpFault& fault) {
  korvane::CMutexLock guard(fault_lock_);
  fault_ = fault;
}

HttpFault HttpSide::fault() const {
  korvane::CMutexLock guard(fault_lock_);
  return fault_;
}

bool HttpSide::SleepUnlessStopping(int seconds) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (stopping_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

HttpSide::AuthVerdict HttpSide::CheckCredentials(MHD_Connection* connection) const {
  if (options_.auth == AuthMode::kNone) return AuthVerdict::kAccepted;
  if (options_.auth == AuthMode::kBasic) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool ok = user && password && options_.user == user && options_.password == password;
    if (user) MHD_free(user);
    if (password) MHD_free(password);
    return ok ? AuthVerdict::kAccepted : AuthVerdict::kChallenge;
  }
  char* user = MHD_digest_auth_get_username(connection);
  if (!user) return AuthVerdict::kChallenge;
  const bool same_user = options_.user == user;
  MHD_free(user);
  if (!same_user) return AuthVerdict::kChallenge;
  const int result = MHD_digest_auth_check2(connection, kRealm, options_.user.c_str(),
                                            options_.password.c_str(), kNonceTimeoutSeconds,
                                            MHD_DIGEST_ALG_MD5);
  if (result == MHD_YES) return AuthVerdict::kAccepted;
  return result == MHD_INVALID_NONCE ? AuthVerdict::kStaleNonce : AuthVerdict::kChallenge;
}

int HttpSide::QueueChallenge(MHD_Connection* connection, bool stale) const {
  static const char kBody[] = "401 Unauthorized\r\n";
  MHD_Response* response = MHD_create_response_from_buffer(
      sizeof(kBody) - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  MHD_Result result;
  if (options_.auth == AuthMode::kDigest) {
    result = MHD_queue_auth_fail_response2(connection, kRealm, kOpaque, response,
                                           stale ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
  } else {
    result = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
  }
  MHD_destroy_response(response);
  return result;
}

int HttpSide::Queue(MHD_Connection* connection, const Reply& reply) const {
  MHD_Response* response = MHD_create_response_from_buffer(
      reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  if (!reply.location.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, reply.location.c_str());
  }
  const MHD_Result result =
      MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return result;
}

void HttpSide::LogRequest(const std::string& method, const std::string& path,
                          const std::string& query, bool has_auth, int status) {
  JsonLine line;
  line.Str("proto", "http").Int("port", port_).Str("method", method).Str("path", path);
  line.Str("query", query).Bool("auth", has_auth).Int("status", status);
  log_.Add(line);
}

int HttpSide::Handle(MHD_Connection* connection, const std::string& method,
                     const std::string& target) {
  const auto mark = target.find('?');
  const std::string path = target.substr(0, mark);
  const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);
  if (path.starts_with(kInspectionPrefix)) return HandleInspection(connection, query, path);

  const HttpFault fault = this->fault();
  const bool has_auth =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  if (fault.kind == HttpFault::Kind::kClose) {
    LogRequest(method, path, query, has_auth, 0);
    return MHD_NO;  // libmicrohttpd closes the connection without an answer
  }
  // The verdict and the effect come first, the delay last: a slow camera still applies an
  // update whose answer arrives too late for the client.
  AuthVerdict verdict = CheckCredentials(connection);
  if (fault.kind == HttpFault::Kind::kWrongPassword) verdict = AuthVerdict::kChallenge;
  Reply reply;
  if (verdict != AuthVerdict::kAccepted) {
    reply.status = 401;
  } else if (fault.kind == HttpFault::Kind::kStatus) {
    reply.status = fault.value;
    reply.body = std::to_string(fault.value) + "\r\n";
    if (fault.value / 100 == 3) reply.location = "/";
  } else if (method != "GET") {
    reply = {405, "Method Not Allowed\r\n"};
  } else {
    reply = Route(path, query);
  }
  LogRequest(method, path, query, has_auth, reply.status);
  if (fault.kind == HttpFault::Kind::kSlow && !SleepUnlessStopping(fault.value)) return MHD_NO;
  if (verdict != AuthVerdict::kAccepted) {
    return QueueChallenge(connection, verdict == AuthVerdict::kStaleNonce);
  }
  return Queue(connection, reply);
}

HttpSide::Reply HttpSide::Route(const std::string& path, const std::string& query) {
  const auto pairs = SplitQuery(query);
  if (path == "/cgi-bin/Param.cgi") {
    const std::string action = ValueOf(pairs, "action");
    if (action == "list") return {200, params_.ListText()};
    if (action == "update") {
      const UpdateResult result = params_.Update(query);
      if (result.video_changed && media_.video_changed) media_.video_changed();
      return {200, result.body};
    }
    return {400, "Error: unknown action\r\n"};
  }
  if (path == "/cnb-cgi/ptzCtl") {
    for (const char* key : {"cmd", "id", "ps", "ts", "pr"}) {
      if (!IsNumber(ValueOf(pairs, key))) return {400, std::string("Error: ") + key + "\r\n"};
    }
    const PtzHead::Result result =
        ptz_head_.Apply(ValueOf(pairs, "cmd"), ValueOf(pairs, "id"), ValueOf(pairs, "ps"),
                        ValueOf(pairs, "ts"), ValueOf(pairs, "pr"));
    if (!result.ok) return {400, "Error: " + result.error + "\r\n"};
    return {200, "OK\r\n"};
  }
  return {404, "Not Found\r\n"};
}

std::string HttpSide::StateJson() const {
  const VideoConfig v = params_.Video();
  JsonLine line;
  line.Bool("media_paused", media_.paused ? media_.paused() : false);
  line.Str("http_fault", HttpFaultText(fault()));
  const bool refusing = media_.refusing_rtsp_credentials && media_.refusing_rtsp_credentials();
  line.Str("rtsp_fault", refusing ? "wrong-password" : "none");
  line.Int("codec", static_cast<int>(v.codec)).Int("width", v.size.width);
  line.Int("height", v.size.height).Int("fps", v.fps).Int("bitrate", v.bitrate);
  line.Int("quality", v.quality).Bool("dual_enabled", v.dual_enabled);
  line.Int("dual_width", v.dual_size.width).Int("dual_height", v.dual_size.height);
  line.Int("dual_quality", v.dual_quality);
  // The alarm output as the last accepted update left it (the driver's I/O switches it).
  line.Str("alarm_control", params_.Get("alarm.control").value_or(""));
  line.Str("alarm_signaltype", params_.Get("alarm.signaltype").value_or(""));
  ptz_head_.AddState(line);
  return line.Text() + "\n";
}

int HttpSide::HandleInspection(MHD_Connection* connection, const std::string& query,
                               const std::string& path) {
  if (path == "/camsim/requests") {
    return Queue(connection, {200, log_.Snapshot(), "application/x-ndjson"});
  }
  if (path == "/camsim/state") return Queue(connection, {200, StateJson(), "application/json"});
  if (path != "/camsim/control") return Queue(connection, {404, "Not Found\r\n"});

  const auto pairs = SplitQuery(query);
  for (const auto& [key, value] : pairs) {
    if (key == "media" && value == "pause" && media_.pause) {
      const std::string seconds = ValueOf(pairs, "seconds");
      if (!seconds.empty() && !IsNumber(seconds)) {
        return Queue(connection, {400, "Error: seconds\r\n"});
      }
      media_.pause(seconds.empty() ? 0 : std::stoi(seconds));
    } else if (key == "media" && value == "resume" && media_.resume) {
      media_.resume();
    } else if (key == "rtsp-fault" && (value == "wrong-password" || value == "none") &&
               media_.refuse_rtsp_credentials) {
      if (!media_.refuse_rtsp_credentials(value != "none")) {
        return Queue(connection, {400, "Error: rtsp-fault needs --auth basic or digest\r\n"});
      }
    } else if (key == "http-fault") {
      const auto fault = ParseHttpFault(value);
      if (!fault) return Queue(connection, {400, "Error: http-fault\r\n"});
      SetFault(*fault);
    } else if (key != "seconds") {
      return Queue(connection, {400, "Error: " + key + "\r\n"});
    }
  }
  return Queue(connection, {200, StateJson(), "application/json"});
}

}  // namespace camsim
