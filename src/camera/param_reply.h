#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The camera's HTTP parameter interface (Param.cgi): what the codec channels, the property
// reader and the I/O code share about its requests and replies.
namespace korvane {

// Reads the whole parameter list.
inline constexpr char kParamListPath[] = "/cgi-bin/Param.cgi?action=list";
// Start of a parameter write; each pair is appended as "&key=value".
inline constexpr char kParamUpdatePath[] = "/cgi-bin/Param.cgi?action=update";
// A successful update answers with a body that contains this word.
inline constexpr char kParamUpdateSuccess[] = "Success";

// The value of `key` in a Param.cgi reply: one "key = value" per line, lines ended by CR LF.
// The key must start its line (blanks and tabs before it are allowed); a longer key that merely
// ends in `key` does not match. Empty when the key is missing or its value is empty.
std::string GetReplyParam(std::string_view reply, std::string_view key);

// "/cgi-bin/Param.cgi?action=update&k1=v1&k2=v2..." for the given pairs, in order. Keys and
// values are put in as given: they are this program's own texts and numbers.
std::string MakeParamUpdatePath(const std::vector<std::pair<std::string, std::string>>& pairs);

// True when an update reply reports success (its body contains "Success").
bool IsUpdateSuccessReply(std::string_view body);

// The camera's "video.resolution" index for a picture size; 0 when the camera has none.
// Width 352 (CIF family) is index 1 and width 720 (D1 family) is index 3 whatever the height,
// because the camera derives their heights from the video standard.
uint16_t ResolutionIndex(unsigned width, unsigned height);

}  // namespace korvane
