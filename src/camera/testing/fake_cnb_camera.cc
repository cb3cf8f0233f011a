#include "camera/testing/fake_cnb_camera.h"

#include <cstdlib>

namespace korvane::testing {
namespace {

constexpr char kListTarget[] = "/cgi-bin/Param.cgi?action=list";
constexpr char kUpdatePrefix[] = "/cgi-bin/Param.cgi?action=update";
constexpr char kResolutionKey[] = "video.resolution=";

}  // namespace

std::string CnbParamList(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string text;
  for (const auto& [key, value] : pairs) text += key + " = " + value + "\r\n";
  return text;
}

FakeCnbCamera::FakeCnbCamera(FakeCnbCameraScript script)
    : script_(std::move(script)),
      server_([this](const ScriptedRequest& request) { return Answer(request); }) {}

std::vector<std::string> FakeCnbCamera::Targets() const {
  std::vector<std::string> targets;
  for (const ScriptedRequest& request : server_.Requests()) targets.push_back(request.target);
  return targets;
}

ScriptedReply FakeCnbCamera::Answer(const ScriptedRequest& request) const {
  const std::string& target = request.target;
  if (!script_.hangOn.empty() && target.find(script_.hangOn) != std::string::npos) {
    return ScriptedReply::NeverAnswer();
  }
  if (target == kListTarget) {
    if (script_.listStatus != 200) {
      return ScriptedReply::Status(script_.listStatus, "Refused", {}, "refused\r\n");
    }
    return ScriptedReply::Ok(script_.list);
  }
  if (target.starts_with(kUpdatePrefix)) {
    if (script_.updateStatus != 200) {
      return ScriptedReply::Status(script_.updateStatus, "Refused", {}, "refused\r\n");
    }
    const size_t at = target.find(kResolutionKey);
    if (at != std::string::npos) {
      const int index = std::atoi(target.c_str() + at + sizeof(kResolutionKey) - 1);
      if (!script_.acceptedResolutions.contains(index)) {
        return ScriptedReply::Ok("Error: video.resolution resolution not supported\r\n");
      }
    }
    return ScriptedReply::Ok("Success\r\n");
  }
  return ScriptedReply::Status(404, "Not Found", {}, "Not Found\r\n");
}

}  // namespace korvane::testing
