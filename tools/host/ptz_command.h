#pragma once

// tollivar-host ptz: moves a camera's PTZ head and keeps its named presets through the driver's
// PTZ objects, one action per run or a small script.

#include <optional>
#include <string>
#include <vector>

namespace tollivar_host {

// One step of a ptz run.
struct PtzAction {
  enum class Kind { kMove, kZoom, kFocus, kIris, kStop, kPresetSave, kPresetGo, kPresetList,
                    kPresetRemove, kWait };
  Kind kind = Kind::kStop;
  int code = 0;           // move: the host direction 0..7; zoom, focus, iris: 0 or 1
  int speed = 8;          // 1..16
  double seconds = 0;     // move, zoom, focus, iris: stop after this long (0: keep going); wait
  std::string name;       // preset name
  std::string text;       // the action as written, for the report
};

struct PtzOptions {
  std::string address;
  unsigned port = 0;
  std::string user;
  std::string password;
  std::string presets;    // custom parameter 5: the preset file is CNB_<presets>.preset
  std::string library;
  std::string script;
  int log_level = 2;
  bool json = false;
  double settle_seconds = 1.0;  // time the driver gets to send queued commands before closing
  std::vector<PtzAction> actions;
};

// Parses one action from its words ("move", "left", "--speed", "16", "--for", "1"). On failure
// returns nothing and sets *error.
std::optional<PtzAction> ParsePtzAction(const std::vector<std::string>& words, std::string* error);

// The meaning of a PTZ result code.
const char* PtzResultText(int code);

// Runs "tollivar-host ptz" with the arguments after "ptz"; returns the exit status.
int RunPtzCommand(int argc, char** argv, const std::string& executable_folder);

void PrintPtzUsage();

}  // namespace tollivar_host
