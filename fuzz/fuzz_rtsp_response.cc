// RTSP response parser: the first byte picks the request kind, the rest is the response text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rtsp/rtsp_response_parser.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRecord(const korvane::RTSPResponse& r, std::string_view text) {
  // Every stored text is read from the response, so none can be longer than it.
  for (const std::string* s : {&r.Version, &r.ContentBase, &r.ContentType, &r.SessionId,
                               &r.VideoControl, &r.VideoProfile, &r.AudioControl, &r.AudioProfile,
                               &r.DataControl, &r.DataProfile, &r.Realm, &r.Nonce}) {
    Check(s->size() <= text.size());
  }
  Check(r.Version.size() <= 255);
  Check(r.ContentType.size() <= 255);
  Check(r.VideoControl.size() <= 255);
  Check(r.ContentBase.empty() || r.ContentBase.rfind("rtsp://", 0) == 0);
  Check(r.Realm.find('"') == std::string::npos && r.Nonce.find('"') == std::string::npos);
  Check(r.SessionTimeout >= 0);
  Check(r.Codec.Sps.size() <= 256 && r.Codec.Pps.size() <= 256);
  Check(r.Codec.Config.size() <= text.size());
  for (const std::string& lower : {r.ContentType}) {
    for (char c : lower) Check(!(c >= 'A' && c <= 'Z'));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto kind = static_cast<korvane::RequestKind>(data[0] % 6 + 1);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  korvane::CRTSPResponseParser parser;
  const bool ok = parser.ParseResponse(text, kind);
  const korvane::RTSPResponse& r = parser.Response();
  CheckRecord(r, text);
  if (ok) {
    Check(r.StatusCode == 200 || r.StatusCode == 401);
    Check(!r.Version.empty());
    if (r.Scheme == korvane::AuthScheme::kDigest) Check(!r.Realm.empty() && !r.Nonce.empty());
    if (kind == korvane::RequestKind::kDescribe && !r.Codec.Sps.empty()) {
      Check(!r.Codec.Pps.empty());
    }
  }

  // Same input, fresh parser: same answer and record.
  korvane::CRTSPResponseParser again;
  Check(again.ParseResponse(text, kind) == ok);
  Check(again.Response().CSeq == r.CSeq && again.Response().SessionId == r.SessionId &&
        again.Response().Codec.Sps == r.Codec.Sps);

  // A second response on the same parser keeps the record consistent too.
  parser.ParseResponse(text, kind);
  CheckRecord(parser.Response(), text);

  // With the request URL, a base without a scheme is resolved against it: still an rtsp URL.
  constexpr std::string_view kRequestUrl = "rtsp://127.0.0.1:554/live/ch1";
  korvane::CRTSPResponseParser resolving;
  resolving.ParseResponse(text, kind, kRequestUrl);
  const std::string& base = resolving.Response().ContentBase;
  Check(base.empty() || base.rfind("rtsp://", 0) == 0);
  Check(base.size() <= text.size() + kRequestUrl.size() + 1);
  return 0;
}
