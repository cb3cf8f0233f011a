#include "camera/http_utils.h"

#include "base/debug_message.h"
#include "text/text_helpers.h"

namespace korvane::HUtils {

CResultDef& RequestGetRD(const std::string& path, Web::CBaseHttpSender& sender,
                         CResultDef& result, std::vector<uint8_t>& body, bool readBody) {
  static constexpr char kFunction[] = "korvane::HUtils::RequestGetRD";
  result.severity = CResultDef::kDefaultSeverity;
  result.code = kRequestOk;
  result.text.clear();
  const std::string deviceText =
      FormatString("device %s:%u", sender.Device().address.c_str(),
                   static_cast<unsigned>(sender.Device().port));

  Web::HttpRequest request;
  request.verb = "GET";
  request.object = path;
  request.readBody = readBody;
  body.clear();

  if (!sender.Send(request) || sender.StatusCode() == 0) {
    result.SetResultEx(kLogDebug, kRequestNotSent, "%s: cannot send request \"%s\" to %s",
                       kFunction, path.c_str(), deviceText.c_str());
  } else if (sender.StatusCode() / 100 != 2) {
    result.SetResultEx(kLogError, kRequestNotProcessed,
                       "%s: %s does not process request \"%s\", status code = %u", kFunction,
                       deviceText.c_str(), path.c_str(), sender.StatusCode());
  }
  if (readBody && result.code == kRequestOk && sender.BodyTooLarge()) {
    result.SetResultEx(kLogError, kRequestResponseTooLarge,
                       "%s: response to request \"%s\" from %s is too large", kFunction,
                       path.c_str(), deviceText.c_str());
  } else if (readBody && result.code == kRequestOk && sender.ReadResponse(body) == 0) {
    result.SetResultEx(kLogError, kRequestEmptyResponse,
                       "%s: incorrect response for request \"%s\" from %s", kFunction,
                       path.c_str(), deviceText.c_str());
  }
  // The answer has been used: its buffer goes now rather than at the next request.
  sender.CloseRequest();
  return result;
}

bool RequestGet(const std::string& path, Web::CBaseHttpSender& sender) {
  CResultDef result;
  std::vector<uint8_t> body;
  return RequestGetRD(path, sender, result, body, false).code == kRequestOk;
}

bool RequestGetText(Web::CBaseHttpSender& sender, std::string& text, const std::string& path) {
  text.clear();
  CResultDef result;
  std::vector<uint8_t> body;
  if (RequestGetRD(path, sender, result, body, true).code != kRequestOk) return false;
  text.assign(body.begin(), body.end());
  return true;
}

}  // namespace korvane::HUtils
