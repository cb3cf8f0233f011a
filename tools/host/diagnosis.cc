#include "diagnosis.h"

#include <memory>
#include <optional>
#include <string_view>

#include "platform.h"

namespace tollivar_host {

namespace {

constexpr long kConnectTimeoutMs = 3000;
constexpr long kRequestTimeoutMs = 6000;
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr char kListPath[] = "/cgi-bin/Param.cgi?action=list";

// One row of the hint table: the first row whose step matches (empty: any) and whose word
// occurs in the driver's detail (empty: always) gives the hint.
struct HintRow {
  std::string_view step;
  std::string_view word;
  std::string_view hint;
};

constexpr HintRow kHints[] = {
    {"http-connect", "refused",
     "check --port: it is the camera's web (CGI) port, usually 80; check that the camera is on "
     "and its web server enabled"},
    {"http-connect", "does not resolve", "check --address (host name or IPv4 address of the camera)"},
    {"http-connect", "",
     "check --address, that the camera is on and that the network lets you reach it (ping, "
     "routing, firewall)"},
    {"http-login", "no user name", "give --user and --password: they are the camera's web login"},
    {"http-login", "(403)", "use an account with operator or administrator rights"},
    {"http-login", "Digest", "check --user and --password: they are the camera's web login"},
    {"http-login", "Basic", "check --user and --password: they are the camera's web login"},
    {"http-login", "",
     "the camera offers no scheme the driver speaks (Basic, Digest): enable one of them on the "
     "camera"},
    {"http-request", "no answer",
     "check that --port is the camera's HTTP port (not its RTSP port); restart the camera if it "
     "keeps dropping connections"},
    {"http-request", "", "check that the device is a CNB camera and that --port is its CGI port"},
    {"encoder-update", "",
     "the camera refused the encoder settings: the account may not change them (use an "
     "administrator account), or the camera does not offer --codec, --width/--height and --fps"},
    {"rtsp-connect", "refused",
     "check --rtsp-port: it is the camera's rtp.rtspport (default 554), and that RTSP is enabled "
     "on the camera (MJPEG in stream modes 1 and 2 uses the camera's own ports 665 and 8554)"},
    {"rtsp-connect", "", "check that a firewall lets RTSP through to the camera"},
    {"", "answered 401",
     "check --user and --password; the camera's RTSP login must match its web login"},
    {"rtsp-describe", "answered 404",
     "check --codec and --stream-mode: the camera does not offer this stream"},
    {"rtsp-stream", "", "check --codec and --stream-mode against the camera's encoder settings"},
    {"rtsp-media", "",
     "the camera announces media it does not send: check its load and encoder settings"},
    {"signal", "", "the stream stopped; the driver reconnects by itself: check the network and "
                   "the camera's load"},
    {"", "", "check the camera's RTSP settings and --stream-mode"},
};

constexpr std::string_view kUdpHint =
    "RTP over UDP may be blocked by a firewall or NAT between camera and host: try --transport "
    "tcp or --transport rtsp";
constexpr std::string_view kRefusedUpdate = "refused the encoder update";

std::string_view HintFor(std::string_view step, std::string_view detail, const Target& target) {
  const bool udp = target.transport.empty() || target.transport == "udp";
  if (step == "rtsp-media" && udp) return kUdpHint;
  for (const HintRow& row : kHints) {
    if (!row.step.empty() && row.step != step) continue;
    if (!row.word.empty() && detail.find(row.word) == std::string_view::npos) continue;
    return row.hint;
  }
  return {};
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  return text;
}

// The value of `key` in a Param.cgi list ("key = value" lines); empty when absent.
std::string ListValue(std::string_view list, std::string_view key) {
  size_t begin = 0;
  while (begin < list.size()) {
    const size_t end = std::min(list.find('\n', begin), list.size());
    const std::string_view line = list.substr(begin, end - begin);
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos && Trim(line.substr(0, eq)) == key) {
      return std::string(Trim(line.substr(eq + 1)));
    }
    begin = end + 1;
  }
  return {};
}

}  // namespace

Diagnosis Diagnose(const std::string& reason, const Target& target,
                   const std::string& camera_codec) {
  const size_t colon = reason.find(": ");
  if (reason.empty() || colon == std::string::npos) {
    return {"driver",
            reason.empty() ? "the driver gave no reason within the run (its first connection "
                             "attempt was still going)"
                           : reason,
            "record for longer (--seconds): an attempt waits up to 15 s for a first frame"};
  }
  Diagnosis d{reason.substr(0, colon), reason.substr(colon + 2), ""};
  d.hint = HintFor(d.step, d.problem, target);
  if (d.problem.find(kRefusedUpdate) != std::string::npos) {
    d.hint += "; the camera refused the encoder settings: the account may not change them (use "
              "an administrator account), or the camera does not offer --codec, "
              "--width/--height and --fps";
  }
  if (!camera_codec.empty() && WantsCameraCodec(d)) {
    d.hint += "; the camera's encoder runs video.codec=" + camera_codec +
              " (1 MJPEG, 2 MPEG-4, 3 H.264)";
  }
  return d;
}

bool WantsCameraCodec(const Diagnosis& d) {
  return d.step == "rtsp-stream" ||
         (d.step == "rtsp-describe" && d.problem.find("answered 404") != std::string::npos) ||
         d.problem.find(kRefusedUpdate) != std::string::npos;
}

std::string ReadCameraCodec(const Target& t, const std::atomic<bool>& stop) {
  const std::string url =
      "http://" + t.address + ":" + std::to_string(t.http_port) + kListPath;
  const std::optional<std::string> body =
      HttpGet(url, t.user, t.password, kConnectTimeoutMs, kRequestTimeoutMs, kMaxBody, stop);
  if (!body) return {};
  const std::string codec = ListValue(*body, "video.codec");
  // Only a number: the camera's text goes into the hint.
  return codec.find_first_not_of("0123456789") == std::string::npos ? codec : std::string();
}

nlohmann::ordered_json DiagnosisJson(const Diagnosis& d) {
  return {{"step", d.step}, {"problem", d.problem}, {"hint", d.hint}};
}

}  // namespace tollivar_host
