#pragma once
// JSON text for the machine-readable outputs of tollivar-host.

#include <string>

namespace tollivar_host {

// `text` as a JSON string literal, quotes included (control characters as \u escapes).
std::string JsonText(const std::string& text);

}  // namespace tollivar_host
