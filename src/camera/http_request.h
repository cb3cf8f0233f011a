#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Web {

// Authentication schemes, numbered as the camera protocol's bit set (one bit each).
enum : uint32_t {
  kAuthSchemeNone = 0,
  kAuthSchemeBasic = 1,
  kAuthSchemeNtlm = 2,
  kAuthSchemePassport = 4,
  kAuthSchemeDigest = 8,
  kAuthSchemeNegotiate = 16,
};

// Bits of HttpRequest::flags.
enum : uint32_t {
  kRequestFlagNoQueryEscape = 1u << 0,     // send the query exactly as given
  kRequestFlagIgnoreCertErrors = 1u << 1,  // with secure: accept any certificate
  kRequestFlagNoRedirects = 1u << 2,       // hand a 3xx answer back instead of following it
  kRequestFlagNoResponseWait = 1u << 3,    // return after sending (not supported here)
};

// HttpRequest::schemePreference value that sends no credentials at all.
inline constexpr int32_t kSchemePreferenceNoCredentials = 5;

// The scheme a request offers first, for its scheme preference bit set (the last matching row
// of the table wins): 0 Basic, bit 0 NTLM, bit 1 Passport, bits 0 and 1 Digest, bit 2 Negotiate.
uint32_t PreferredScheme(int32_t preference);

// One request to the camera. Every request of this system is a plain GET without a body.
struct HttpRequest {
  std::string verb = "GET";
  std::string object;  // path and query, sent as given
  int32_t secure = 0;  // 1: HTTPS
  int32_t schemePreference = 0;
  std::vector<uint8_t> body;
  uint32_t totalLength = 0;  // more than the body would mean streaming the rest: not supported
  std::vector<std::string> headerLines;  // "Name: value", each replacing a header of that name
  uint32_t flags = kRequestFlagNoQueryEscape | kRequestFlagNoRedirects;
  // False when nobody will read the answer's body: it is then counted and dropped as it
  // arrives instead of being kept in the sender.
  bool readBody = true;
};

}  // namespace Web
