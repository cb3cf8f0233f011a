#include "diagnosis.h"

#include <curl/curl.h>

#include <cstdio>
#include <string_view>

#include "json_text.h"

namespace tollivar_host {

namespace {

constexpr long kConnectTimeoutMs = 3000;
constexpr long kRequestTimeoutMs = 6000;
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr char kListPath[] = "/cgi-bin/Param.cgi?action=list";
constexpr char kUpdatePath[] = "/cgi-bin/Param.cgi?action=update";

// Ports and paths of the camera's streams (CNB stream modes; 4 is the driver's default).
constexpr unsigned kMjpegMode1Port = 8554;
constexpr unsigned kMjpegMode2Port = 665;

struct Reply {
  Reach reach = Reach::kNotTried;
  long status = 0;
  std::string auth_offered;
  std::string body;
  std::string error;
};

struct Transfer {
  Reply* reply;
  const std::atomic<bool>* stop;
};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  constexpr std::string_view kName = "WWW-Authenticate:";
  if (StartsWithNoCase(line, kName)) {
    const std::string_view value = Trim(line.substr(kName.size()));
    const std::string scheme(value.substr(0, value.find(' ')));
    std::string& offered = t->reply->auth_offered;
    if (!scheme.empty() && offered.find(scheme) == std::string::npos && offered.size() < 200) {
      offered += offered.empty() ? scheme : ", " + scheme;
    }
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string& body = t->reply->body;
  const size_t n = size * count;
  if (body.size() < kMaxBody) body.append(data, std::min(n, kMaxBody - body.size()));
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->stop->load() ? 1 : 0;
}

Reach ReachOf(CURLcode code) {
  switch (code) {
    case CURLE_OK: return Reach::kOk;
    case CURLE_COULDNT_CONNECT: return Reach::kRefused;
    case CURLE_OPERATION_TIMEDOUT: return Reach::kTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST: return Reach::kUnresolved;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR: return Reach::kNoAnswer;
    default: return Reach::kOther;
  }
}

// One request with the target's credentials (Basic or Digest, whichever the camera asks for).
// `describe`: an RTSP DESCRIBE of `url` instead of an HTTP GET.
Reply Request(const std::string& url, const Target& target, bool describe,
              const std::atomic<bool>& stop) {
  Reply reply;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    reply.reach = Reach::kOther;
    reply.error = "libcurl could not start";
    return reply;
  }
  Transfer transfer{&reply, &stop};
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kRequestTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  if (!target.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, target.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, target.password.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
  }
  if (describe) {
    curl_easy_setopt(curl, CURLOPT_RTSP_STREAM_URI, url.c_str());
    curl_easy_setopt(curl, CURLOPT_RTSP_REQUEST, static_cast<long>(CURL_RTSPREQ_DESCRIBE));
  }
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_cleanup(curl);
  reply.reach = ReachOf(code);
  if (code != CURLE_OK) reply.error = error[0] != '\0' ? error : curl_easy_strerror(code);
  if (code == CURLE_ABORTED_BY_CALLBACK) reply.error = "interrupted";
  return reply;
}

// The value of `key` in a Param.cgi list ("key = value" lines); empty when absent.
std::string ListValue(const std::string& list, const std::string& key) {
  size_t at = 0;
  while ((at = list.find(key, at)) != std::string::npos) {
    if (at == 0 || list[at - 1] == '\n') {
      const size_t eol = list.find('\n', at);
      const std::string_view line(list.data() + at,
                                  (eol == std::string::npos ? list.size() : eol) - at);
      const size_t eq = line.find('=');
      if (eq != std::string::npos && Trim(line.substr(key.size(), eq - key.size())).empty()) {
        return std::string(Trim(line.substr(eq + 1)));
      }
    }
    at += key.size();
  }
  return {};
}

std::string Endpoint(const Target& t, unsigned port) {
  return t.address + ":" + std::to_string(port);
}

std::string HttpUrl(const Target& t, const std::string& path) {
  return "http://" + Endpoint(t, t.http_port) + path;
}

std::string ReachText(Reach reach, const std::string& where, const std::string& error) {
  switch (reach) {
    case Reach::kRefused: return where + " refused the connection (nothing listens there)";
    case Reach::kTimedOut: return where + " did not answer within " +
                                  std::to_string(kConnectTimeoutMs / 1000) + " s";
    case Reach::kUnresolved: return "the name in " + where + " does not resolve";
    case Reach::kNoAnswer: return where + " closed the connection without an answer";
    default: return where + ": " + error;
  }
}

std::string StatusText(long status) {
  return status == 0 ? "no status" : "status " + std::to_string(status);
}

}  // namespace

std::string StreamUrl(const Target& t) {
  unsigned port = t.rtsp_port;
  std::string path;
  if (t.codec == "h264") {
    if (t.stream_mode == 0) path = "main";
  } else if (t.codec == "mjpeg") {
    if (t.stream_mode == 0) path = "sub";
    if (t.stream_mode == 1) port = kMjpegMode1Port;
    if (t.stream_mode == 2) {
      port = kMjpegMode2Port;
      path = "mjpeg";
    }
  } else if (t.codec == "mpeg4" && t.stream_mode == 2) {
    path = "mpeg4";
  }
  return "rtsp://" + Endpoint(t, port) + "/" + path;
}

Diagnosis Diagnose(const Findings& f, const Target& t) {
  const std::string http = "the camera's HTTP port " + Endpoint(t, t.http_port);
  if (f.http != Reach::kOk) {
    Diagnosis d{"http-connect", ReachText(f.http, http, f.error_text), ""};
    switch (f.http) {
      case Reach::kRefused:
        d.hint = "check --port: it is the camera's web (CGI) port, usually 80; check that the "
                 "camera is on and its web server enabled";
        break;
      case Reach::kTimedOut:
        d.hint = "check --address, that the camera is on and that the network lets you reach "
                 "it (ping, routing, firewall)";
        break;
      case Reach::kUnresolved:
        d.hint = "check --address (host name or IPv4 address of the camera)";
        break;
      default:
        d.hint = "check that --port is the camera's HTTP port (not its RTSP port); restart the "
                 "camera if it keeps dropping connections";
        break;
    }
    return d;
  }
  if (f.list_status == 401) {
    const std::string offered = f.auth_offered.empty() ? "no scheme named" : f.auth_offered;
    Diagnosis d{"http-login", "", ""};
    d.problem = f.had_credentials
                    ? "the camera refused the user name and password (HTTP 401; it offers " +
                          offered + ")"
                    : "the camera asks for a login (HTTP 401; it offers " + offered +
                          ") and none was given";
    const bool supported = f.auth_offered.find("Basic") != std::string::npos ||
                           f.auth_offered.find("Digest") != std::string::npos;
    d.hint = supported || f.auth_offered.empty()
                 ? "check --user and --password: they are the camera's web login"
                 : "the camera offers only " + f.auth_offered +
                       ", the driver speaks Basic and Digest: enable one of them on the camera";
    return d;
  }
  if (f.list_status == 403) {
    return {"http-login",
            "the camera does not let this user read its parameters (HTTP 403)",
            "use an account with operator or administrator rights"};
  }
  if (f.list_status / 100 != 2) {
    return {"http-list",
            "the camera answers " + std::string(kListPath) + " with " +
                StatusText(f.list_status),
            "check that the device is a CNB camera and that --port is its CGI port"};
  }
  if (f.update != Reach::kNotTried &&
      (f.update != Reach::kOk || f.update_status / 100 != 2 ||
       f.update_reply.find("Success") == std::string::npos)) {
    std::string problem = "the camera refused the encoder settings update (";
    problem += f.update != Reach::kOk ? ReachText(f.update, http, f.error_text)
               : f.update_status / 100 != 2 ? "HTTP " + std::to_string(f.update_status)
                                            : "reply \"" + f.update_reply + "\"";
    problem += ")";
    return {"encoder-update", problem,
            "the account may not change settings: use an administrator account; else check "
            "that the camera offers --codec, --width/--height and --fps"};
  }
  const std::string url = StreamUrl(t);
  const size_t host_end = url.find('/', 7);
  const std::string rtsp = "the camera's RTSP port " + url.substr(7, host_end - 7);
  if (f.rtsp != Reach::kOk && f.rtsp != Reach::kNotTried) {
    return {"rtsp-connect", ReachText(f.rtsp, rtsp, f.error_text),
            f.rtsp == Reach::kRefused
                ? "check --rtsp-port: it is the camera's rtp.rtspport (default 554), and that "
                  "RTSP is enabled on the camera"
                : "check that a firewall lets RTSP through to the camera"};
  }
  if (f.describe_status == 401) {
    return {"rtsp-describe",
            "the RTSP server refused the user name and password for " + url + " (status 401)",
            "check --user and --password; the camera's RTSP login must match its web login"};
  }
  if (f.describe_status == 404) {
    return {"rtsp-describe", "the camera has no stream at " + url + " (status 404)",
            "check --codec and --stream-mode: the camera does not offer this stream"};
  }
  if (f.describe_status / 100 != 2) {
    return {"rtsp-describe", "DESCRIBE " + url + " was refused (" +
                                 StatusText(f.describe_status) + ")",
            "check the camera's RTSP settings and --stream-mode"};
  }
  if (!f.describe_has_video) {
    return {"rtsp-describe", "the description of " + url + " has no video",
            "check --codec and --stream-mode against the camera's encoder settings"};
  }
  const bool udp = t.transport.empty() || t.transport == "udp";
  return {"rtsp-media",
          "the camera describes its stream at " + url + " but no frame arrived",
          udp ? "RTP over UDP may be blocked by a firewall or NAT between camera and host: try "
                "--transport tcp or --transport rtsp"
              : "the camera announces media it does not send: check its load and encoder "
                "settings, and the driver's log lines above"};
}

Findings RunChecks(const Target& t, const std::atomic<bool>& stop) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  Findings f;
  f.had_credentials = !t.user.empty();
  const Reply list = Request(HttpUrl(t, kListPath), t, false, stop);
  f.http = list.reach;
  f.list_status = static_cast<int>(list.status);
  f.auth_offered = list.auth_offered;
  f.error_text = list.error;
  if (f.http != Reach::kOk || f.list_status / 100 != 2) return f;

  // Writes back the frame rate the camera has: a change of nothing that needs the same rights
  // as the driver's encoder update.
  const std::string rate = ListValue(list.body, "video.framerate");
  if (!rate.empty() && rate.find_first_not_of("0123456789") == std::string::npos) {
    const Reply update =
        Request(HttpUrl(t, std::string(kUpdatePath) + "&video.framerate=" + rate), t, false,
                stop);
    f.update = update.reach;
    f.update_status = static_cast<int>(update.status);
    f.update_reply = std::string(Trim(update.body.substr(0, update.body.find('\n'))));
    f.error_text = update.error;
    if (f.update != Reach::kOk || f.update_status / 100 != 2 ||
        f.update_reply.find("Success") == std::string::npos) {
      return f;
    }
  }

  const Reply describe = Request(StreamUrl(t), t, true, stop);
  f.rtsp = describe.reach;
  f.describe_status = static_cast<int>(describe.status);
  f.describe_has_video = describe.body.find("m=video") != std::string::npos;
  f.error_text = describe.error;
  return f;
}

std::string DiagnosisJson(const Diagnosis& d) {
  return "{\"step\":" + JsonText(d.step) + ",\"problem\":" + JsonText(d.problem) +
         ",\"hint\":" + JsonText(d.hint) + "}";
}

}  // namespace tollivar_host
