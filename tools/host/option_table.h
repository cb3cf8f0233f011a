#pragma once

// The command lines of tollivar-host's four commands: each command lists its options in one
// table, and one parser reads them all, with the same messages for a missing value, a number
// out of range and an unknown option.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tollivar_host {

// `text` as a whole decimal number within [min, max].
bool ParseNumber(const std::string& text, long long min, long long max, long long* out);

// One option: its name, whether a value follows it, and what it does with the value (false:
// the value is refused, `take` has said why on stderr).
struct Option {
  std::string name;
  bool takes_value = true;
  std::function<bool(const std::string& value)> take;
};

Option TextOption(const std::string& name, std::string* out);
Option FlagOption(const std::string& name, bool* out);
// A decimal number within [min, max] into `out` (any integer type).
template <typename T>
Option NumberOption(const std::string& name, long long min, long long max, T* out);

enum class Parsed { kOk, kHelp, kUsageError };

// Reads `argv` against `options`; --help or -h gives kHelp. Words that are no option go to
// `positional` when it is given, from the first of them on (an unknown "--" word before any
// positional one is an error); without it every unknown word is an error.
Parsed ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                    std::vector<std::string>* positional = nullptr);

template <typename T>
Option NumberOption(const std::string& name, long long min, long long max, T* out) {
  return {name, true, [name, min, max, out](const std::string& value) {
            long long n = 0;
            if (!ParseNumber(value, min, max, &n)) {
              std::fprintf(stderr, "tollivar-host: %s needs a number from %lld to %lld: %s\n",
                           name.c_str(), min, max, value.c_str());
              return false;
            }
            *out = static_cast<T>(n);
            return true;
          }};
}

}  // namespace tollivar_host
