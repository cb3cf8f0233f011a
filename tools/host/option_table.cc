#include "option_table.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tollivar_host {

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

Option TextOption(const std::string& name, std::string* out) {
  return {name, true, [out](const std::string& value) {
            *out = value;
            return true;
          }};
}

Option FlagOption(const std::string& name, bool* out) {
  return {name, false, [out](const std::string&) {
            *out = true;
            return true;
          }};
}

Parsed ParseOptions(int argc, char** argv, const std::vector<Option>& options,
                    std::vector<std::string>* positional) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Parsed::kHelp;
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (candidate.name == arg) option = &candidate;
    }
    if (option == nullptr) {
      const bool starts_positional = positional != nullptr && (positional->size() > 0 ||
                                                               arg.rfind("--", 0) != 0);
      if (!starts_positional) {
        std::fprintf(stderr, "tollivar-host: unknown option: %s\n", arg.c_str());
        return Parsed::kUsageError;
      }
      positional->push_back(arg);
      continue;
    }
    if (option->takes_value && i + 1 >= argc) {
      std::fprintf(stderr, "tollivar-host: %s needs a value\n", arg.c_str());
      return Parsed::kUsageError;
    }
    if (!option->take(option->takes_value ? argv[++i] : std::string())) {
      return Parsed::kUsageError;
    }
  }
  return Parsed::kOk;
}

}  // namespace tollivar_host
