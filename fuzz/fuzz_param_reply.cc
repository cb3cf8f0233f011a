// Fuzzes the camera's Param.cgi reply reader (and the WWW-Authenticate parser that reads the
// same camera's 401 answers), checking invariants rather than only "no crash".
//
// Input: byte 0 chooses the target; for the reply reader, byte 1 is the key length, then the
// key, then the reply.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "camera/http_authenticator.h"
#include "camera/param_reply.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Keys the property reader and the channels look up.
constexpr const char* kKnownKeys[] = {
    "sysinfo.modelname", "sysinfo.platform", "ctype",          "firmware.boot",
    "firmware.kern",     "rtp.rtspport",     "condition.outputformat",
    "ptzcfg.cameraid",   "network.ethaddress", "video.resolution",
};

void CheckValue(std::string_view reply, std::string_view key) {
  const std::string value = korvane::GetReplyParam(reply, key);
  if (value.empty()) return;
  // A value never spans a line end and is a piece of the reply, right after " = ".
  Check(value.find_first_of("\r\n") == std::string::npos);
  const size_t at = reply.find(" = " + value);
  Check(at != std::string_view::npos);
  Check(!key.empty() && reply.find(key) != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      if (input.empty()) return 0;
      const size_t keyLength = std::min<size_t>(static_cast<uint8_t>(input[0]), input.size() - 1);
      const std::string_view key = input.substr(1, keyLength);
      const std::string_view reply = input.substr(1 + keyLength);
      CheckValue(reply, key);
      for (const char* known : kKnownKeys) CheckValue(reply, known);
      break;
    }
    case 1: {
      const auto challenges = Web::ParseAuthChallenges({std::string(input)});
      for (const Web::AuthChallenge& challenge : challenges) {
        Check(!challenge.schemeName.empty());
        Check(input.find(challenge.schemeName) != std::string_view::npos);
      }
      Web::CHttpAuthenticator authenticator;
      if (authenticator.LearnChallenges(challenges)) {
        const auto header = authenticator.MakeAuthorization(Web::kAuthSchemeDigest, "user",
                                                            "password", "GET", "/a");
        Check(header.has_value());
        Check(header->find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
      }
      break;
    }
    default: {
      if (input.size() < 4) return 0;
      const unsigned width = static_cast<uint8_t>(input[0]) << 8 | static_cast<uint8_t>(input[1]);
      const unsigned height = static_cast<uint8_t>(input[2]) << 8 | static_cast<uint8_t>(input[3]);
      const uint16_t index = korvane::ResolutionIndex(width, height);
      Check(index <= 9 && index != 8);
      break;
    }
  }
  return 0;
}
