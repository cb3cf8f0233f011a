// Base64 decoding: sizes agree between a large and a short buffer, writes stay inside the given
// capacity, and what decodes re-encodes to text that decodes to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text/text_helpers.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<uint8_t> out(size);
  size_t length = out.size();
  const bool ok = korvane::Base64Decode(text, size, out.empty() ? nullptr : out.data(), length);
  Check(length <= size * 3 / 4 + 2);
  if (!out.empty()) Check(ok);

  // A buffer one byte short (canaries around it) fails, reports the same size, and stays put.
  if (length > 0) {
    std::vector<uint8_t> small(length + 1, 0xA5);
    size_t small_length = length - 1;
    Check(!korvane::Base64Decode(text, size, small.data(), small_length));
    Check(small_length == length);
    Check(small[length - 1] == 0xA5 && small[length] == 0xA5);
    Check(std::memcmp(small.data(), out.data(), length - 1) == 0);
  }

  out.resize(length);
  std::string encoded(korvane::Base64EncodedLength(out.size()), '\0');
  size_t encoded_length = encoded.size();
  const uint8_t none = 0;
  Check(korvane::Base64Encode(out.empty() ? &none : out.data(), out.size(), encoded.data(),
                              encoded_length));
  Check(encoded_length <= encoded.size());
  std::vector<uint8_t> round(out.size() + 1);
  size_t round_length = round.size();
  Check(korvane::Base64Decode(encoded.data(), encoded_length, round.data(), round_length));
  round.resize(round_length);
  Check(round == out);
  return 0;
}
