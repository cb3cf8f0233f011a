// Authentication challenges. Input: a response text whose WWW-Authenticate headers are read and
// parsed. Every challenge has a scheme name; the strongest one is one of them; a Digest answer
// to whatever was learnt never carries a line break or a NUL into a header.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "text/digest_auth.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> values = korvane::AuthenticateHeaderValues(input);
  for (const std::string& value : values) {
    Check(value.find_first_of("\r\n") == std::string::npos);
  }
  // The whole input as one header value too: the parser must take any bytes.
  std::vector<std::string> headers = values;
  headers.emplace_back(input);
  const std::vector<korvane::AuthChallenge> challenges = korvane::ParseAuthChallenges(headers);
  for (const korvane::AuthChallenge& challenge : challenges) {
    Check(!challenge.schemeName.empty());
  }
  const korvane::AuthChallenge* strongest = korvane::StrongestChallenge(challenges);
  if (strongest != nullptr) {
    Check(strongest >= challenges.data() && strongest < challenges.data() + challenges.size());
    Check(korvane::RankChallenge(*strongest) != korvane::ChallengeRank::kUnanswerable);
  }
  korvane::CDigestAuthenticator digest;
  digest.SetClientNonceSourceForTesting([] { return std::string("0a4f113b"); });
  if (digest.Learn(challenges)) {
    for (int i = 0; i < 2; ++i) {
      const auto answer = digest.Answer("user", "password", "DESCRIBE", "rtsp://127.0.0.1/");
      Check(answer.has_value());
      Check(answer->find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    }
  }
  return 0;
}
