#include "options.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>

namespace camsim {
namespace {

bool ParseInt(const std::string& text, long min, long max, long* out) {
  long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty() || value < min || value > max) return false;
  *out = value;
  return true;
}

using Setter = std::function<bool(Options&, const std::string&)>;

Setter IntSetter(int Options::*field, long min, long max) {
  return [=](Options& o, const std::string& v) {
    long n;
    if (!ParseInt(v, min, max, &n)) return false;
    o.*field = static_cast<int>(n);
    return true;
  };
}

Setter PortSetter(uint16_t Options::*field) {
  return [=](Options& o, const std::string& v) {
    long n;
    if (!ParseInt(v, 0, 65535, &n)) return false;
    o.*field = static_cast<uint16_t>(n);
    return true;
  };
}

Setter TextSetter(std::string Options::*field, bool allow_empty) {
  return [=](Options& o, const std::string& v) {
    if (!allow_empty && v.empty()) return false;
    // The parameter list is line based: a line break in a value would forge keys.
    if (v.find_first_of("\r\n") != std::string::npos) return false;
    o.*field = v;
    return true;
  };
}

const std::map<std::string, Setter>& ValueOptions() {
  static const std::map<std::string, Setter> table = {
      {"--address", TextSetter(&Options::address, false)},
      {"--rtsp-port", PortSetter(&Options::rtsp_port)},
      {"--http-port", PortSetter(&Options::http_port)},
      {"--port-8554", PortSetter(&Options::port_8554)},
      {"--port-665", PortSetter(&Options::port_665)},
      {"--auth",
       [](Options& o, const std::string& v) {
         if (v == "none") o.auth = AuthMode::kNone;
         else if (v == "basic") o.auth = AuthMode::kBasic;
         else if (v == "digest") o.auth = AuthMode::kDigest;
         else return false;
         return true;
       }},
      {"--user", TextSetter(&Options::user, true)},
      {"--password", TextSetter(&Options::password, true)},
      {"--codec",
       [](Options& o, const std::string& v) {
         if (v == "h264") o.codec = Codec::kH264;
         else if (v == "mjpeg") o.codec = Codec::kMjpeg;
         else if (v == "mpeg4") o.codec = Codec::kMpeg4;
         else return false;
         return true;
       }},
      {"--width", IntSetter(&Options::width, 16, 4096)},
      {"--height", IntSetter(&Options::height, 16, 4096)},
      {"--fps", IntSetter(&Options::fps, 1, 60)},
      {"--bitrate", IntSetter(&Options::bitrate, 1, 100)},
      {"--quality", IntSetter(&Options::quality, 1, 10)},
      {"--session-timeout", IntSetter(&Options::session_timeout, 1, 3600)},
      {"--max-width", IntSetter(&Options::max_width, 16, 4096)},
      {"--rtp-reorder", IntSetter(&Options::rtp_reorder, 0, 100)},
      {"--clip", TextSetter(&Options::clip, false)},
      {"--clip-seconds", IntSetter(&Options::clip_seconds, 1, 60)},
      {"--log-requests", TextSetter(&Options::log_requests, false)},
      {"--platform", TextSetter(&Options::platform, true)},
      {"--ctype", TextSetter(&Options::ctype, true)},
      {"--model", TextSetter(&Options::model, true)},
      {"--mac", TextSetter(&Options::mac, true)},
      {"--ptz",
       [](Options& o, const std::string& v) {
         if (v != "on" && v != "off") return false;
         o.ptz = v == "on";
         return true;
       }},
      {"--hostile",
       [](Options& o, const std::string& v) {
         auto hostile = ParseHostile(v);
         if (!hostile) return false;
         o.hostile = *hostile;
         return true;
       }},
      {"--http-fault",
       [](Options& o, const std::string& v) {
         auto fault = ParseHttpFault(v);
         if (!fault) return false;
         o.http_fault = *fault;
         return true;
       }},
  };
  return table;
}

const std::map<std::string, bool Options::*>& FlagOptions() {
  static const std::map<std::string, bool Options::*> table = {
      {"--mjpeg-ports", &Options::mjpeg_ports}, {"--shared", &Options::shared},
      {"--inband-params", &Options::inband_params}, {"--ntsc", &Options::ntsc},
      {"--no-sprop", &Options::no_sprop}, {"--mpeg4-no-inband-config", &Options::mpeg4_no_inband_config},
      {"--pre-encoded", &Options::pre_encoded},
      {"--help", &Options::help},
  };
  return table;
}

}  // namespace

std::optional<Hostile> ParseHostile(const std::string& text) {
  static const std::map<std::string, bool Hostile::*> names = {
      {"stray-datagrams", &Hostile::stray_datagrams},
      {"rtp-padding", &Hostile::rtp_padding},
      {"jpeg-drop-fragment", &Hostile::jpeg_drop_fragment},
      {"stray-200", &Hostile::stray_200},
      {"refuse-teardown", &Hostile::refuse_teardown},
      {"other-interleaved", &Hostile::other_interleaved},
      {"refuse-udp", &Hostile::refuse_udp},
      {"drop-udp", &Hostile::drop_udp},
      {"renew-nonce", &Hostile::renew_nonce},
      {"near-wrap", &Hostile::near_wrap},
  };
  Hostile hostile;
  size_t begin = 0;
  while (begin <= text.size()) {
    const size_t end = std::min(text.find(',', begin), text.size());
    const auto name = names.find(text.substr(begin, end - begin));
    if (name == names.end()) return std::nullopt;
    hostile.*(name->second) = true;
    begin = end + 1;
  }
  return hostile;
}

std::optional<HttpFault> ParseHttpFault(const std::string& text) {
  HttpFault fault;
  const auto colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : text.substr(colon + 1);
  long n = 0;
  if (name == "none" && colon == std::string::npos) {
    fault.kind = HttpFault::Kind::kNone;
  } else if (name == "wrong-password" && colon == std::string::npos) {
    fault.kind = HttpFault::Kind::kWrongPassword;
  } else if (name == "close" && colon == std::string::npos) {
    fault.kind = HttpFault::Kind::kClose;
  } else if (name == "status" && ParseInt(arg, 100, 599, &n)) {
    fault.kind = HttpFault::Kind::kStatus;
    fault.value = static_cast<int>(n);
  } else if (name == "slow" && ParseInt(arg, 1, 600, &n)) {
    fault.kind = HttpFault::Kind::kSlow;
    fault.value = static_cast<int>(n);
  } else {
    return std::nullopt;
  }
  return fault;
}

std::string HttpFaultText(const HttpFault& fault) {
  switch (fault.kind) {
    case HttpFault::Kind::kNone: return "none";
    case HttpFault::Kind::kWrongPassword: return "wrong-password";
    case HttpFault::Kind::kClose: return "close";
    case HttpFault::Kind::kStatus: return "status:" + std::to_string(fault.value);
    case HttpFault::Kind::kSlow: return "slow:" + std::to_string(fault.value);
  }
  return "none";
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (auto flag = FlagOptions().find(name); flag != FlagOptions().end()) {
      if (value) {
        *error = "option " + name + " takes no value";
        return std::nullopt;
      }
      options.*(flag->second) = true;
      continue;
    }
    auto setter = ValueOptions().find(name);
    if (setter == ValueOptions().end()) {
      *error = "unknown option " + name;
      return std::nullopt;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    if (!setter->second(options, *value)) {
      *error = "bad value for " + name + ": " + *value;
      return std::nullopt;
    }
  }
  return options;
}

std::string UsageText() {
  return R"(Usage: cnb-camsim [options]
A CNB network camera simulator: RTSP/RTP live test video and the camera's HTTP CGI.

Network
  --address A            listen address of every server (default 127.0.0.1)
  --rtsp-port N          RTSP port serving /, /main, /sub and /mpeg4 (default 554; 0 = free port)
  --http-port N          HTTP port of the CGI (default 80; 0 = free port)
  --mjpeg-ports          also serve /mjpeg on --port-8554 and / on --port-665 (MJPEG)
  --port-8554 N          port of the /mjpeg server (default 8554; 0 = free port)
  --port-665 N           port of the second MJPEG server (default 665; 0 = free port)
Authentication (RTSP and HTTP alike)
  --auth none|basic|digest   (default none)
  --user NAME            (default admin)
  --password TEXT        (default admin)
Video (initial encoder settings; Param.cgi updates change them for later sessions)
  --codec h264|mjpeg|mpeg4   codec of the main stream / and /main (default h264)
  --width N --height N   main stream picture size (default 640x480)
  --fps N                frame rate, 1..60 (default 25)
  --bitrate N            video.bitrate in Mbit/s, 1..100 (default 4)
  --quality N            video.quality 1..10 (default 7)
  --max-width N          resolution updates wider than this are refused (default 1920)
  --inband-params        H.264: also send SPS/PPS in-band before every IDR picture
  --shared               all clients of a path share one encoder
  --pre-encoded          main stream: H.264 clip of --clip-seconds encoded once at start with
                         the initial settings and looped in real time (cheap for many clients)
  --clip-seconds N       length of that clip, 1..60 (default 10)
  --clip FILE            main stream: this H.264 Annex B file, looped in real time at --fps
Camera quirks
  --no-sprop             H.264: no sprop-parameter-sets in the SDP; SPS/PPS in band instead
  --mpeg4-no-inband-config   MPEG-4: VOS/VOL headers only in the SDP config, none in the stream
  --rtp-reorder PERCENT  swap this share of RTP packets with the next packet of the same picture
  --hostile LIST         comma-separated misbehaviours: stray-datagrams (random datagrams from
                         the camera's address to the client's RTP port, 10 per second for 10 s
                         after each UDP SETUP), rtp-padding (every RTP packet padded),
                         jpeg-drop-fragment (MJPEG: every 10th picture loses a middle packet,
                         sequence numbers renumbered without a gap), stray-200 (every PLAY answer
                         sent twice), refuse-teardown (TEARDOWN answered 455, streaming goes on),
                         other-interleaved (interleaved=0-1 served as 4-5), refuse-udp (UDP
                         SETUP answered 461), drop-udp (UDP media never reaches the client),
                         renew-nonce (each session's first keep-alive answered 401 with a challenge),
                         near-wrap (sequence numbers start 40 packets and RTP time stamps 1 s
                         before they wrap, one picture stamped 0)
  --session-timeout S    RTSP session time-out in seconds (default 60)
Camera identity (Param.cgi?action=list)
  --platform TEXT        sysinfo.platform: A_TYPE, G_TYPE, T_TYPE, X_TYPE or any text (default A_TYPE)
  --ctype TEXT           adds a ctype key with this value
  --model TEXT           sysinfo.modelname (default CNB-IXP2050; empty leaves the key empty)
  --mac TEXT             network.ethaddress (default 00:0a:5e:1b:2c:3d)
  --ptz on|off           ptzcfg.cameraid 1 or empty: a PTZ head or none (default on)
  --ntsc                 NTSC video standard (default PAL)
Test hooks
  --log-requests FILE    append one JSON line per RTSP and HTTP request to FILE
  --http-fault F         none | wrong-password | status:CODE | slow:SECONDS | close
  --help                 this text

Inspection paths on the HTTP port (never authenticated, never logged, never faulted):
  /camsim/control?media=pause[&seconds=N] | media=resume
  /camsim/control?http-fault=F
  /camsim/control?rtsp-fault=wrong-password|none   (RTSP refuses every credential; needs --auth)
  /camsim/requests       the request log as JSON lines
  /camsim/state          current faults and video settings as JSON
When every server listens the program prints
  "cnb-camsim ready rtsp=PORT http=PORT [mjpeg8554=PORT mjpeg665=PORT]".
SIGTERM or SIGINT stops it with exit code 0.
)";
}

}  // namespace camsim
