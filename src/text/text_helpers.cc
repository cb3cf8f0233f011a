#include "text/text_helpers.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "base/socket.h"
#include "text/md5.h"

namespace korvane {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64GroupsPerLine = 19;  // 76 characters, the MIME line length
constexpr size_t kBase64LineLength = kBase64GroupsPerLine * 4;
constexpr size_t kBase64MaxInput = size_t{1} << 29;

// Value of a base64 alphabet character, -1 for anything else.
constexpr int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Byte-indexed tables: folding a text or decoding base64 is one load per character, without a
// comparison per character (which the fuzz builds would trace, one callback each).
template <typename T, typename F>
constexpr std::array<T, 256> ByteTable(F f) {
  std::array<T, 256> table{};
  for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = f(static_cast<unsigned char>(i));
  return table;
}
constexpr auto kLower = ByteTable<char>([](unsigned char c) {
  return static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
});
constexpr auto kUpper = ByteTable<char>([](unsigned char c) {
  return static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
});
constexpr auto kBase64Values = ByteTable<int8_t>(
    [](unsigned char c) { return static_cast<int8_t>(Base64Value(c)); });

char UpperAscii(char c) { return kUpper[static_cast<unsigned char>(c)]; }

// Encodes one 3-byte group (or the 1-2 bytes left at the end, '='-padded) into out[0..3].
void EncodeGroup(const uint8_t* in, size_t count, char* out) {
  const uint32_t bits = (static_cast<uint32_t>(in[0]) << 16) |
                        (count > 1 ? static_cast<uint32_t>(in[1]) << 8 : 0) |
                        (count > 2 ? static_cast<uint32_t>(in[2]) : 0);
  out[0] = kBase64Alphabet[(bits >> 18) & 0x3F];
  out[1] = kBase64Alphabet[(bits >> 12) & 0x3F];
  out[2] = count > 1 ? kBase64Alphabet[(bits >> 6) & 0x3F] : '=';
  out[3] = count > 2 ? kBase64Alphabet[bits & 0x3F] : '=';
}

}  // namespace

char LowerAscii(char c) { return kLower[static_cast<unsigned char>(c)]; }

std::string FormatString(const char* format, ...) {
  if (format == nullptr) return {};
  va_list args;
  va_start(args, format);
  std::optional<std::string> text = FormatV(format, args);
  va_end(args);
  return text ? std::move(*text) : std::string();
}

std::string TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

size_t FindAnyOf(std::string_view text, std::string_view chars, size_t from) {
  // Windows keep the search linear when one of the characters is rare or absent.
  constexpr size_t kWindow = 256;
  while (from < text.size()) {
    const size_t window = std::min(kWindow, text.size() - from);
    const char* const start = text.data() + from;
    size_t first = window;
    for (const char c : chars) {
      if (const void* hit = std::memchr(start, c, first)) {
        first = static_cast<size_t>(static_cast<const char*>(hit) - start);
      }
    }
    if (first < window) return from + first;
    from += window;
  }
  return std::string_view::npos;
}

std::string RemoveChars(std::string_view chars, std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (chars.find(c) == std::string_view::npos) result.push_back(c);
  }
  return result;
}

std::string ToLowerCopy(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = LowerAscii(c);
  return result;
}

std::string ToUpperCopy(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpperAscii(c);
  return result;
}

std::string GetParamValue(std::string_view name, std::string_view separator, std::string_view text,
                          std::string_view terminators) {
  constexpr size_t npos = std::string_view::npos;
  if (name.empty() || separator.empty() || terminators.empty()) return {};

  size_t pos = text.find(name);
  while (pos != npos) {
    // Every resumption moves strictly forward, so the loop ends whatever the inputs.
    const auto resume_at = [&](size_t from) {
      return from == npos ? npos : text.find(name, std::max(from, pos + 1));
    };
    const size_t last_terminator = text.find_last_of(terminators, pos);
    const size_t key_start = (last_terminator == npos) ? 0 : last_terminator + 1;
    const size_t next = FindAnyOf(text, terminators, pos);
    const size_t sep = text.find(separator, pos);
    if (sep == npos) return {};
    if (next != npos && next <= sep) {
      // The name stood inside another parameter or word: skip to its separator.
      pos = resume_at(sep);
      continue;
    }
    if (TrimBlanks(text.substr(key_start, sep - key_start)) != name) {
      // The tail of a longer key ("cnonce" for "nonce") or a name preceded by other text.
      pos = resume_at(next);
      continue;
    }
    const size_t value_start = sep + separator.size();
    if (value_start >= text.size()) {
      pos = resume_at(next);
      continue;
    }
    size_t value_end = FindAnyOf(text, terminators, value_start);
    if (value_end == npos) value_end = text.size();
    if (value_end > value_start) return std::string(text.substr(value_start, value_end - value_start));
    pos = resume_at(value_end);  // an empty value: a later occurrence may carry one
  }
  return {};
}

int GetParamInt(std::string_view name, std::string_view separator, std::string_view text,
                std::string_view terminators) {
  const std::string value = GetParamValue(name, separator, text, terminators);
  // Leading digits as atoi reads them, saturated instead of overflowing.
  std::string_view digits(value);
  const size_t first = digits.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string_view::npos) return 0;
  digits.remove_prefix(first);
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  long long result = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    result = std::min<long long>(result * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (negative) result = -result;
  return static_cast<int>(std::clamp<long long>(result, INT_MIN, INT_MAX));
}

std::vector<std::string> SplitString(std::string_view text, char delimiter) {
  std::vector<std::string> parts;
  PieceReader pieces(text, delimiter);
  for (std::string_view piece; pieces.Next(piece);) parts.emplace_back(piece);
  return parts;
}

bool IsInteger(std::string_view text, int& value) {
  value = 0;
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty()) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  // from_chars takes '-' but not '+'.
  const std::string_view number = (text[0] == '+') ? text.substr(1) : text;
  int parsed = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), parsed);
  if (error != std::errc() || end != number.data() + number.size()) return false;
  value = parsed;
  return true;
}

unsigned IntervalToRate(unsigned interval_ms) {
  if (interval_ms == 0) return 1;
  // 1000 / interval, halves rounded up.
  const uint64_t interval = interval_ms;
  return static_cast<unsigned>((2000 + interval) / (2 * interval));
}

uint32_t ResolveHost(const std::string& host) { return LookUpIPv4(host); }

std::string LowerHex(std::span<const uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0x0F]);
  }
  return hex;
}

std::string Md5Hex(std::string_view text) {
  return LowerHex(CMd5::Of(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
}

std::string Md5HexOfPair(std::string_view a, std::string_view b) {
  std::string joined;
  joined.reserve(a.size() + 1 + b.size());
  joined.append(a).append(":").append(b);
  return Md5Hex(joined);
}

size_t Base64EncodedLength(size_t count) {
  if (count >= kBase64MaxInput) return 0;
  size_t length = count * 4 / 3 + count % 3;
  if (length % kBase64LineLength != 0 && length % 4 != 0) length += 4 - length % 4;
  return length + 2 * (length / kBase64LineLength + 1);
}

bool Base64Encode(const uint8_t* data, size_t count, char* out, size_t& length) {
  if (data == nullptr || out == nullptr) return false;
  const size_t needed = Base64EncodedLength(count);
  if (needed == 0 || length < needed) return false;
  size_t written = 0;
  size_t groups = 0;
  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    EncodeGroup(data + i, 3, out + written);
    written += 4;
    // MIME-style line break after each full line of 76 characters, the last one included.
    if (++groups % kBase64GroupsPerLine == 0) {
      out[written++] = '\r';
      out[written++] = '\n';
    }
  }
  if (i < count) {
    EncodeGroup(data + i, count - i, out + written);
    written += 4;
  }
  length = written;
  return true;
}

bool Base64Decode(const char* text, size_t length, uint8_t* out, size_t& out_length) {
  const size_t capacity = (out == nullptr) ? 0 : out_length;
  size_t decoded = 0;
  uint32_t bits = 0;
  int in_group = 0;
  const auto emit = [&](uint8_t byte) {
    if (decoded < capacity) out[decoded] = byte;
    ++decoded;
  };
  for (size_t i = 0; text != nullptr && i < length && text[i] != '\0'; ++i) {
    const int value = kBase64Values[static_cast<unsigned char>(text[i])];
    if (value < 0) continue;  // blanks, line breaks, padding and stray characters
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++in_group == 4) {
      emit(static_cast<uint8_t>(bits >> 16));
      emit(static_cast<uint8_t>(bits >> 8));
      emit(static_cast<uint8_t>(bits));
      bits = 0;
      in_group = 0;
    }
  }
  // An incomplete last group yields the whole bytes its 6-bit characters hold.
  if (in_group == 3) {
    emit(static_cast<uint8_t>(bits >> 10));
    emit(static_cast<uint8_t>(bits >> 2));
  } else if (in_group == 2) {
    emit(static_cast<uint8_t>(bits >> 4));
  }
  out_length = decoded;
  return out != nullptr && decoded <= capacity;
}

bool MakeBasicCredentials(const std::string& user, const std::string& password,
                          std::string& out) {
  out.clear();
  const std::string joined = user + ":" + password;
  if (joined.size() >= kBase64MaxInput) return false;
  // One line: an Authorization header must not carry a line break (RFC 7617 section 2).
  std::string encoded((joined.size() + 2) / 3 * 4, '\0');
  const auto* bytes = reinterpret_cast<const uint8_t*>(joined.data());
  size_t written = 0;
  for (size_t i = 0; i < joined.size(); i += 3) {
    EncodeGroup(bytes + i, std::min<size_t>(3, joined.size() - i), encoded.data() + written);
    written += 4;
  }
  out = std::move(encoded);
  return true;
}

void HexToBytes(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  const auto nibble = [](char c) -> uint8_t {
    c = LowerAscii(c);
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
  };
  out.reserve((text.size() + 1) / 2);
  size_t i = 0;
  for (; i + 2 <= text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(nibble(text[i]) * 16 + nibble(text[i + 1])));
  }
  if (i < text.size()) out.push_back(nibble(text[i]));
}

}  // namespace korvane
