#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Small, pure text and encoding helpers shared by every text protocol of the driver (RTSP
// headers, SDP attributes, the camera's HTTP parameter answers) and by request formatting.
namespace korvane {

// printf-style formatting into a new string. The format is always a literal of this code base;
// untrusted text goes in only as a "%s" argument.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text without leading and trailing blanks and tabs.
std::string TrimBlanks(std::string_view text);

// Copy of `text` with every character that occurs in `chars` deleted.
std::string RemoveChars(std::string_view chars, std::string_view text);

// The first position at or after `from` of any character of `chars`, npos when there is none:
// the answer of std::string_view::find_first_of, found with a memchr per character of `chars`
// over windows of the text rather than a test of every character against every one of them.
size_t FindAnyOf(std::string_view text, std::string_view chars, size_t from = 0);

// One character folded to lower case in the C locale.
char LowerAscii(char c);
// Copies folded character by character in the C locale.
std::string ToLowerCopy(std::string_view text);
std::string ToUpperCopy(std::string_view text);

// Finds `name` `separator` value in `text`, where parameters are delimited by any character of
// `terminators`. A parameter counts only when its name follows a terminator (or the start of the
// text) with nothing but blanks and tabs between, so "cnonce" does not answer "nonce". The
// value runs to the next terminator (or the end). An occurrence with an empty value is skipped
// in favour of a later one. Empty result when not found, or when name, separator or
// terminators are empty.
std::string GetParamValue(std::string_view name, std::string_view separator, std::string_view text,
                          std::string_view terminators);

// Decimal value of GetParamValue (leading digits, as atoi), 0 when not found.
int GetParamInt(std::string_view name, std::string_view separator, std::string_view text,
                std::string_view terminators);

// Cuts `text` at each `delimiter` as repeated line reads would: "a,,b," gives "a", "", "b";
// an empty text gives no strings.
std::vector<std::string> SplitString(std::string_view text, char delimiter);

// SplitString's pieces one at a time, as views into `text` (which must outlive the reader):
// nothing is copied or allocated.
//   PieceReader pieces(text, ',');
//   for (std::string_view piece; pieces.Next(piece);) ...
class PieceReader {
 public:
  PieceReader(std::string_view text, char delimiter) : text_(text), delimiter_(delimiter) {}
  // The next piece; false when none is left.
  bool Next(std::string_view& piece) {
    if (at_ >= text_.size()) return false;
    const size_t end = text_.find(delimiter_, at_);
    const size_t stop = end == std::string_view::npos ? text_.size() : end;
    piece = text_.substr(at_, stop - at_);
    at_ = stop + 1;
    return true;
  }

 private:
  std::string_view text_;
  char delimiter_;
  size_t at_ = 0;
};

// True when `text` is an optional sign followed by one or more decimal digits and nothing else,
// and the number fits an int; `value` is then set, else it is 0.
bool IsInteger(std::string_view text, int& value);

// Frames per second for a frame interval in milliseconds: 1000 / interval rounded to nearest
// (halves up); an interval of 0 gives 1.
unsigned IntervalToRate(unsigned interval_ms);

// First IPv4 address of `host` (a name or a dotted address) in network byte order, 0 when the
// name is empty or does not resolve.
uint32_t ResolveHost(const std::string& host);

// MD5 (RFC 1321) of the characters of `text`, as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view text);
// Lower-case hexadecimal text of bytes, two characters a byte (digests in Digest answers).
std::string LowerHex(std::span<const uint8_t> bytes);
// Md5Hex of a + ":" + b, the building block of the Digest response (RFC 2617 section 3.2.2).
std::string Md5HexOfPair(std::string_view a, std::string_view b);

// Output size bound of Base64Encode for `count` input bytes, line breaks included. 0 (refused)
// for 2^29 bytes or more.
size_t Base64EncodedLength(size_t count);

// Base64 (RFC 4648 alphabet, '=' padding) with CR LF after every 76 characters except at the
// very end of a text that is not a multiple of 57 bytes. `length` holds the capacity of `out`
// on entry and the number of characters written on return; no NUL is written. Fails when a
// pointer is missing or the capacity is below Base64EncodedLength(count).
bool Base64Encode(const uint8_t* data, size_t count, char* out, size_t& length);

// Decodes base64, skipping every character outside the alphabet (blanks, CR, LF, '='...).
// Stops at `length` or at a NUL. A trailing incomplete group yields the whole bytes its bits
// hold. `out_length` holds the capacity of `out` on entry. When `out` is missing or too small,
// nothing is written past its capacity, the result is false and `out_length` is set to the full
// decoded size; otherwise true with the decoded size.
bool Base64Decode(const char* text, size_t length, uint8_t* out, size_t& out_length);

// The base64 of "user:password" for a Basic Authorization header (RFC 7617), one line without
// CR LF, of any length. False (and `out` empty) only when the encoding fails.
bool MakeBasicCredentials(const std::string& user, const std::string& password,
                          std::string& out);

// Hexadecimal text to bytes, two characters a byte, case-insensitive; a character that is not a
// hex digit counts as 0, and a single last character gives a byte of its own value.
void HexToBytes(std::string_view text, std::vector<uint8_t>& out);

}  // namespace korvane
