#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "camera/testing/scripted_http_server.h"

// A CNB camera's parameter interface as the capability query sees it, scripted per test: the
// list reply, how updates are answered, and where the camera stops answering.
namespace korvane::testing {

// "k1 = v1\r\nk2 = v2\r\n..." in the given order.
std::string CnbParamList(const std::vector<std::pair<std::string, std::string>>& pairs);

struct FakeCnbCameraScript {
  std::string list;               // body of action=list
  int listStatus = 200;           // status of action=list (401, 403, 404 ... to refuse it)
  int updateStatus = 200;         // status of every update
  // video.resolution indexes an update accepts with "Success"; others get an "Error:" line.
  std::set<int> acceptedResolutions = {1, 2, 3, 4, 5, 6, 7, 9};
  // The camera never answers requests whose target contains this text (empty: none).
  std::string hangOn;
};

class FakeCnbCamera {
 public:
  explicit FakeCnbCamera(FakeCnbCameraScript script);

  uint16_t port() const { return server_.port(); }
  // Every request target received ("/cgi-bin/Param.cgi?action=list", ...), in order.
  std::vector<std::string> Targets() const;
  std::vector<ScriptedRequest> Requests() const { return server_.Requests(); }

 private:
  ScriptedReply Answer(const ScriptedRequest& request) const;

  const FakeCnbCameraScript script_;
  ScriptedHttpServer server_;
};

}  // namespace korvane::testing
