#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/base_http_sender.h"
#include "camera/result_def.h"

namespace korvane {

// Result codes of RequestGetRD.
enum : uint32_t {
  kRequestOk = 0,
  kRequestNotProcessed = 8,   // the camera answered with a status outside 200..299
  kRequestNotSent = 11,       // no answer (connection, time-out, refused credentials)
  kRequestEmptyResponse = 12, // the body was wanted and none could be read
  kRequestResponseTooLarge = 13,  // the body was wanted and exceeded the sender's cap
};

namespace HUtils {

// GETs `path` from the sender's camera and fills `result` (code, severity, error text).
// With `readBody`, the body of a 2xx answer is read into `body`; `body` is emptied first in
// any case. Without it, the sender drops the body as it arrives. The sender's copy of the answer
// is released before returning. Writes no log line: the caller decides what to do with the text.
CResultDef& RequestGetRD(const std::string& path, Web::CBaseHttpSender& sender,
                         CResultDef& result, std::vector<uint8_t>& body, bool readBody);

// GET without reading the body; true when the camera answered 2xx.
bool RequestGet(const std::string& path, Web::CBaseHttpSender& sender);

// GET and read the body into `text` (byte for byte); false, with `text` empty, on any
// failure, a non-2xx status or an empty body.
bool RequestGetText(Web::CBaseHttpSender& sender, std::string& text, const std::string& path);

}  // namespace HUtils

using HUtils::RequestGet;
using HUtils::RequestGetText;

}  // namespace korvane
