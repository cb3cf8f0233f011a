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
  // The last CSeq the camera answered; the RTSP client also counts its requests in it.
  uint32_t CSeq = 0;
  std::string ContentBase;  // base URL for every request after DESCRIBE
  std::string ContentType;  // lower-cased
  uint32_t ContentLength = 0;
  std::string SessionId;
  int32_t SessionTimeout = 0;  // seconds; 0 when the camera named none
  std::string VideoControl;
  std::string VideoProfile;  // transport profile of the m= line, "RTP/AVP"
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
