// Parameter finder. Input: name, separator and terminators, each ended by a NUL byte, then the
// text. The value must be a terminator-free piece of the text that follows the separator.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/text_helpers.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool NextField(std::string_view& input, std::string_view& field) {
  const size_t end = input.find('\0');
  if (end == std::string_view::npos) return false;
  field = input.substr(0, end);
  input.remove_prefix(end + 1);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view name, separator, terminators;
  if (!NextField(input, name) || !NextField(input, separator) || !NextField(input, terminators)) {
    return 0;
  }
  const std::string_view text = input;
  const std::string value = korvane::GetParamValue(name, separator, text, terminators);
  if (!value.empty()) {
    Check(!name.empty() && !separator.empty() && !terminators.empty());
    Check(value.find_first_of(terminators) == std::string::npos);
    // The value stands right after "name<separator>" (blanks allowed before the name).
    const std::string key_value = std::string(separator) + value;
    const size_t at = text.find(key_value);
    Check(at != std::string_view::npos);
    Check(text.find(name) != std::string_view::npos);
  }
  korvane::GetParamInt(name, separator, text, terminators);  // no overflow on long digit runs
  return 0;
}
