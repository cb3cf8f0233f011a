// Command line of cnb-camsim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace camsim {

enum class AuthMode { kNone, kBasic, kDigest };
enum class Codec { kMjpeg = 1, kMpeg4 = 2, kH264 = 3 };

// A fault the HTTP side plays on every camera request (the inspection paths are exempt).
struct HttpFault {
  enum class Kind { kNone, kWrongPassword, kStatus, kSlow, kClose };
  Kind kind = Kind::kNone;
  int value = 0;  // status code for kStatus, seconds for kSlow
};

// Misbehaviour of a hostile or broken camera, for robustness tests of its clients.
struct Hostile {
  bool stray_datagrams = false;  // random datagrams from the camera's address to the RTP port
  bool rtp_padding = false;      // every RTP packet padded (RFC 3550 section 5.1, P bit)
  bool jpeg_drop_fragment = false;  // MJPEG: every 10th picture loses a middle packet, and the
                                    // sequence numbers are renumbered so that no gap shows
  bool stray_200 = false;        // every answer to PLAY is sent a second time a moment later
  bool refuse_teardown = false;  // TEARDOWN answered 455, the session goes on streaming
  bool other_interleaved = false;  // SETUP interleaved=0-1 is answered (and served) as 4-5
  bool refuse_udp = false;         // a UDP SETUP is answered 461 Unsupported Transport
  bool drop_udp = false;           // UDP media goes elsewhere, as behind a firewall that drops it
  bool renew_nonce = false;        // the first keep-alive of each session gets 401 and a
                                   // challenge (a camera that renewed its nonce)
  bool near_wrap = false;        // sequence numbers and RTP time stamps start just before they
                                 // wrap (RFC 3550 5.1 allows any start)
};

// Comma-separated names: stray-datagrams, rtp-padding, jpeg-drop-fragment, stray-200,
// refuse-teardown, other-interleaved, refuse-udp, drop-udp, renew-nonce, near-wrap.
std::optional<Hostile> ParseHostile(const std::string& text);

// "none", "wrong-password", "status:404", "slow:8", "close".
std::optional<HttpFault> ParseHttpFault(const std::string& text);
std::string HttpFaultText(const HttpFault& fault);

struct Options {
  std::string address = "127.0.0.1";
  uint16_t rtsp_port = 554;
  uint16_t http_port = 80;
  AuthMode auth = AuthMode::kNone;
  std::string user = "admin";
  std::string password = "admin";
  Codec codec = Codec::kH264;
  int width = 640;
  int height = 480;
  int fps = 25;
  int bitrate = 4;  // Mbit/s, the camera's video.bitrate unit
  int quality = 7;  // 1..10, the camera's video.quality unit
  int session_timeout = 60;
  bool mjpeg_ports = false;
  uint16_t port_8554 = 8554;
  uint16_t port_665 = 665;
  bool shared = false;
  bool inband_params = false;
  bool no_sprop = false;                // H.264: no sprop-parameter-sets in the SDP, SPS/PPS in band
  bool mpeg4_no_inband_config = false;  // MPEG-4: VOS/VOL only in the SDP's config
  int rtp_reorder = 0;                  // percent of RTP packets swapped with their successor
  bool pre_encoded = false;             // main stream: a clip encoded once at start, looped
  std::string clip;                     // main stream: this Annex B H.264 file, looped
  int clip_seconds = 10;                // length of the pre-encoded clip
  std::string log_requests;
  std::string platform = "A_TYPE";
  std::string ctype;
  std::string model = "CNB-IXP2050";
  std::string mac = "00:0a:5e:1b:2c:3d";
  bool ntsc = false;
  bool ptz = true;
  int max_width = 1920;
  HttpFault http_fault;
  Hostile hostile;
  bool help = false;
};

// Parses argv (both "--name value" and "--name=value"). On failure returns nullopt and sets *error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error);

std::string UsageText();

}  // namespace camsim
