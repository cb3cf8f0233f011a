#pragma once

#include <cstdint>
#include <string>

#include "core/decoder_config.h"

namespace korvane {

// The request a response answers.
enum class RequestKind : int {
  kDescribe = 1,
  kSetup = 2,
  kPlay = 3,
  kTeardown = 4,
  kOptions = 5,
  kPause = 6,
};

// The medium an SDP line belongs to.
enum class MediaKind : int {
  kNone = 0,  // before the first m= line, or under an m= line of another type
  kVideo = 1,
  kAudio = 2,
  kData = 3,
};

// The scheme of the last WWW-Authenticate challenge.
enum class AuthScheme : int {
  kNone = 0,  // none, or one we do not speak
  kBasic = 1,
  kDigest = 2,
};

// What the RTSP session needs from the responses of one camera. Fields carry over from one
// response to the next; a response overwrites only what its own headers carry.
struct RTSPResponse {
  std::string Version;  // "RTSP/1.0"
  uint32_t StatusCode = 0;
  uint32_t CSeq = 0;  // the last CSeq the camera answered with
  // Base URL for every request after DESCRIBE: Content-Base, or Content-Location of a DESCRIBE
  // answer without one (RFC 2326 appendix C.1.1), resolved against the request URL.
  std::string ContentBase;
  std::string ContentType;  // lower-cased
  uint32_t ContentLength = 0;
  std::string SessionId;
  int32_t SessionTimeout = 0;  // seconds; 0 when the camera named none
  // The video medium is the first one of a codec this driver handles (H264, MP4V-ES, JPEG, or
  // a dynamic payload type without rtpmap); later video media are not read.
  std::string VideoControl;
  std::string VideoProfile;  // transport profile of the m= line, "RTP/AVP"
  int32_t VideoPayloadType = -1;  // -1 until an m= line names one
  std::string VideoEncoding;      // rtpmap encoding name, upper-cased; empty without rtpmap
  uint32_t VideoClockRate = 0;    // rtpmap clock rate; 0 without rtpmap
  // Audio and data: the first medium of each kind.
  std::string AudioControl;
  std::string AudioProfile;
  std::string DataControl;
  std::string DataProfile;
  AuthScheme Scheme = AuthScheme::kNone;
  std::string Realm;  // quotes removed
  std::string Nonce;  // quotes removed
  DecoderConfig Codec;  // Sps, Pps, Config
};

}  // namespace korvane
