#include "ptz_command.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "host_objects.h"
#include "option_table.h"
#include "platform.h"

namespace tollivar_host {
namespace {


constexpr double kMaxSeconds = 3600;
constexpr std::size_t kMaxScriptLines = 10000;

// Set by Ctrl-C once RunPtzCommand watches for it.
const std::atomic<bool>* g_interrupted = nullptr;

bool Interrupted() { return g_interrupted != nullptr && *g_interrupted; }

// The host's direction codes: 0 up, 1 down, 2 left, 3 right, then the diagonals.
constexpr const char* kDirections[] = {"up", "down", "left", "right",
                                       "upleft", "upright", "downleft", "downright"};

bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= 0) || v > kMaxSeconds) return false;
  *out = v;
  return true;
}

// Waits `seconds` unless interrupted; false when interrupted.
bool Wait(double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end) {
    if (Interrupted()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !Interrupted();
}

bool StartsMotion(PtzAction::Kind kind) {
  return kind == PtzAction::Kind::kMove || kind == PtzAction::Kind::kZoom ||
         kind == PtzAction::Kind::kFocus || kind == PtzAction::Kind::kIris;
}

void Report(const std::string& action, int code) {
  std::printf("%s: %d (%s)\n", action.c_str(), code, PtzResultText(code));
  std::fflush(stdout);
}


bool ReadScript(const std::string& path, std::vector<PtzAction>* actions) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "tollivar-host: cannot read the script %s\n", path.c_str());
    return false;
  }
  std::string line;
  std::size_t number = 0;
  while (std::getline(in, line)) {
    if (++number > kMaxScriptLines) {
      std::fprintf(stderr, "tollivar-host: %s: more than %zu lines\n", path.c_str(),
                   kMaxScriptLines);
      return false;
    }
    std::istringstream words_in(line);
    std::vector<std::string> words;
    for (std::string word; words_in >> word;) words.push_back(word);
    if (words.empty() || words[0][0] == '#') continue;
    std::string error;
    auto action = ParsePtzAction(words, &error);
    if (!action) {
      std::fprintf(stderr, "tollivar-host: %s:%zu: %s\n", path.c_str(), number, error.c_str());
      return false;
    }
    actions->push_back(*action);
  }
  return true;
}

// Prints the preset list, marking the current preset.
void ListPresets(korvane::IIPPTZApiEx* control, bool json) {
  std::vector<std::string> names;
  const int count = control->GetPrepositionCount();
  for (int i = 0; i < count; ++i) {
    char buffer[1024];
    const int got =
        control->GetPrepositionName(static_cast<std::uint32_t>(i), buffer, sizeof(buffer));
    names.push_back(got == 1 ? buffer : "");
  }
  char current[1024];
  const bool has_current = control->GetCurrentPreposition(current, sizeof(current)) == 1;
  if (json) {
    const nlohmann::ordered_json list = {
        {"presets", names}, {"current", has_current ? nlohmann::ordered_json(current) : nullptr}};
    std::printf("%s\n", list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool is_current = has_current && names[i] == current;
      std::printf("%zu\t%s%s\n", i + 1, names[i].c_str(), is_current ? "\t(current)" : "");
    }
    std::printf("%d preset(s)\n", count);
  }
  std::fflush(stdout);
}

// Sends the command of a motion or preset action; its result code.
int SendCommand(korvane::IIPPTZApiEx* control, const PtzAction& a) {
  using Kind = PtzAction::Kind;
  switch (a.kind) {
    case Kind::kMove: return control->Move(a.code, a.speed);
    case Kind::kZoom:
      return a.code == 0 ? control->StartZoomCode8(a.speed) : control->StartZoomCode9(a.speed);
    case Kind::kFocus:
      return a.code == 0 ? control->StartFocusFalse(a.speed) : control->StartFocusTrue(a.speed);
    case Kind::kIris:
      return a.code == 0 ? control->StartIrisTrue(a.speed) : control->StartIrisFalse(a.speed);
    case Kind::kStop: return control->Stop();
    case Kind::kPresetSave: return control->SavePreposition(a.name.c_str());
    case Kind::kPresetGo: return control->RecallPreposition(0, a.name.c_str());
    case Kind::kPresetRemove: return control->DeletePreposition(a.name.c_str());
    default: return 1;
  }
}

// Runs one action on the control; returns its result code (1 success).
int RunAction(korvane::IIPPTZApiEx* control, const PtzAction& a, bool json) {
  if (a.kind == PtzAction::Kind::kWait) {
    Wait(a.seconds);
    return 1;
  }
  if (a.kind == PtzAction::Kind::kPresetList) {
    ListPresets(control, json);
    return 1;
  }
  const int code = SendCommand(control, a);
  Report(a.text, code);
  // A timed motion ends with a stop, also when the run is interrupted.
  if (code != 1 || a.seconds <= 0 || !StartsMotion(a.kind)) return code;
  Wait(a.seconds);
  const int stopped = control->Stop();
  Report("stop", stopped);
  return stopped;
}

}  // namespace

const char* PtzResultText(int code) {
  switch (code) {
    case 1: return "success";
    case -3: return "invalid argument or operation not offered";
    case -18: return "failed: no command thread, or the command was not queued";
    case -19: return "the camera lacks this capability";
    case -23: return "no such preset, or the preset operation failed";
    case -26: return "the preset list is full";
    default: return "unknown result";
  }
}

namespace {

// The motion verbs, each with its second words in the order of the host's codes.
struct MotionVerb {
  const char* verb;
  PtzAction::Kind kind;
  std::vector<const char*> words;
  const char* usage;
};

const std::vector<MotionVerb>& MotionVerbs() {
  static const std::vector<MotionVerb> verbs = {
      {"move", PtzAction::Kind::kMove,
       {std::begin(kDirections), std::end(kDirections)},
       "move needs up, down, left, right, upleft, upright, downleft or downright"},
      {"zoom", PtzAction::Kind::kZoom, {"in", "out"}, "zoom needs in or out"},
      {"focus", PtzAction::Kind::kFocus, {"near", "far"}, "focus needs near or far"},
      {"iris", PtzAction::Kind::kIris, {"open", "close"}, "iris needs open or close"},
  };
  return verbs;
}

// "preset save|go|remove NAME" or "preset list" into `a`; false when the words are not one.
bool ParsePreset(const std::vector<std::string>& words, PtzAction* a) {
  using Kind = PtzAction::Kind;
  if (words.size() == 2 && words[1] == "list") {
    a->kind = Kind::kPresetList;
    return true;
  }
  if (words.size() < 3) return false;
  if (words[1] == "save") {
    a->kind = Kind::kPresetSave;
  } else if (words[1] == "go") {
    a->kind = Kind::kPresetGo;
  } else if (words[1] == "remove") {
    a->kind = Kind::kPresetRemove;
  } else {
    return false;
  }
  for (std::size_t i = 2; i < words.size(); ++i) a->name += (i > 2 ? " " : "") + words[i];
  return true;
}

// The options of a motion action from words[first] on; the first bad word, or empty.
std::string ParseMotionOptions(const std::vector<std::string>& words, std::size_t first,
                               PtzAction* a) {
  for (std::size_t i = first; i < words.size(); ++i) {
    long long value = 0;
    const bool has_value = a->kind != PtzAction::Kind::kStop && i + 1 < words.size();
    if (words[i] == "--speed" && has_value && ParseNumber(words[i + 1], 1, 16, &value)) {
      a->speed = static_cast<int>(value);
      ++i;
    } else if (words[i] == "--for" && has_value && ParseSeconds(words[i + 1], &a->seconds)) {
      ++i;
    } else {
      return words[i];
    }
  }
  return {};
}

}  // namespace

std::optional<PtzAction> ParsePtzAction(const std::vector<std::string>& words,
                                        std::string* error) {
  PtzAction a;
  for (const auto& w : words) a.text += (a.text.empty() ? "" : " ") + w;
  auto fail = [&](const std::string& why) {
    *error = why;
    return std::optional<PtzAction>();
  };
  if (words.empty()) return fail("no action");
  const std::string& verb = words[0];
  if (verb == "wait") {
    if (words.size() != 2 || !ParseSeconds(words[1], &a.seconds)) {
      return fail("wait needs seconds (0..3600)");
    }
    a.kind = PtzAction::Kind::kWait;
    return a;
  }
  if (verb == "preset") {
    if (!ParsePreset(words, &a)) return fail("preset needs save NAME, go NAME, remove NAME or list");
    return a;
  }
  std::size_t next = 1;
  if (verb == "stop") {
    a.kind = PtzAction::Kind::kStop;
  } else {
    const auto& verbs = MotionVerbs();
    const auto motion = std::find_if(verbs.begin(), verbs.end(),
                                     [&verb](const MotionVerb& m) { return verb == m.verb; });
    if (motion == verbs.end()) return fail("unknown action: " + verb);
    const auto word = words.size() < 2 ? motion->words.end()
                                       : std::find(motion->words.begin(), motion->words.end(),
                                                   std::string_view(words[1]));
    if (word == motion->words.end()) return fail(motion->usage);
    a.kind = motion->kind;
    a.code = static_cast<int>(word - motion->words.begin());
    next = 2;
  }
  const std::string bad = ParseMotionOptions(words, next, &a);
  if (!bad.empty()) return fail("unexpected or invalid: " + bad + " (--speed 1..16, --for 0..3600)");
  return a;
}

void PrintPtzUsage() {
  std::fputs(
      "usage: tollivar-host ptz --address A --port P --presets NAME [options] ACTION...\n"
      "       tollivar-host ptz --address A --port P --presets NAME [options] --script FILE\n"
      "\n"
      "Moves a camera's PTZ head and keeps its named presets through libtollivar. The presets\n"
      "are kept in CNB_NAME.preset beside this program (custom parameter 5).\n"
      "\n"
      "actions (one per run, or one per line of the script; # starts a comment):\n"
      "  move up|down|left|right|upleft|upright|downleft|downright [--speed 1..16] [--for S]\n"
      "  zoom in|out [--speed 1..16] [--for S]\n"
      "  focus near|far [--for S]     iris open|close [--for S]\n"
      "  stop                         ends what this run started\n"
      "  preset save NAME | preset go NAME | preset remove NAME | preset list\n"
      "  wait S                       (scripts) pause for S seconds\n"
      "  --for S stops the motion after S seconds; without it the head keeps moving.\n"
      "\n"
      "options:\n"
      "  --user U --password W   camera credentials\n"
      "  --json                  preset list as JSON\n"
      "  --settle S              time the driver gets to send queued commands before the\n"
      "                          run ends (default 1)\n"
      "  --library PATH          libtollivar.so to load\n"
      "  --log-level L           driver log lines shown, 1 errors .. 3 information (default 2)\n"
      "\n"
      "Each action prints its result code and meaning. Exit status: 0 every action succeeded,\n"
      "4 an action failed, 2 bad usage, 3 the driver could not be loaded or has no PTZ.\n",
      stderr);
}

namespace {

// The options and the action of the command line (or of --script); 0, or the exit status.
int ParsePtzCommand(int argc, char** argv, PtzOptions* o) {
  const auto settle = [o](const std::string& value) {
    if (ParseSeconds(value, &o->settle_seconds)) return true;
    std::fprintf(stderr, "tollivar-host: --settle needs seconds: %s\n", value.c_str());
    return false;
  };
  const std::vector<Option> options = {
      TextOption("--address", &o->address), NumberOption("--port", 1, 65535, &o->port),
      TextOption("--user", &o->user),       TextOption("--password", &o->password),
      TextOption("--presets", &o->presets), TextOption("--library", &o->library),
      TextOption("--script", &o->script),   Option{"--settle", true, settle},
      NumberOption("--log-level", 0, 4, &o->log_level), FlagOption("--json", &o->json),
  };
  std::vector<std::string> action_words;
  const Parsed parsed = ParseOptions(argc, argv, options, &action_words);
  if (parsed == Parsed::kHelp) {
    PrintPtzUsage();
    return -1;
  }
  if (parsed == Parsed::kUsageError) return 2;
  if (o->address.empty() || o->port == 0 || o->presets.empty()) {
    std::fputs("tollivar-host: ptz needs --address, --port and --presets\n", stderr);
    return 2;
  }
  if (!o->script.empty() && !action_words.empty()) {
    std::fputs("tollivar-host: give either an action or --script, not both\n", stderr);
    return 2;
  }
  if (!o->script.empty()) return ReadScript(o->script, &o->actions) ? 0 : 2;
  std::string error;
  auto action = ParsePtzAction(action_words, &error);
  if (!action) {
    std::fprintf(stderr, "tollivar-host: %s\n", error.c_str());
    return 2;
  }
  o->actions.push_back(*action);
  return 0;
}

// Runs the actions in order; 4 when one failed, else 0. Waits for the queued ones to be sent.
int RunActions(korvane::IIPPTZApiEx* control, const PtzOptions& o) {
  int status = 0;
  bool queued = false;
  bool motion_started = false;
  for (const PtzAction& action : o.actions) {
    if (Interrupted()) break;
    if (action.kind == PtzAction::Kind::kStop && !motion_started) {
      // The driver stops what its control started; a fresh run has started nothing.
      std::fputs("tollivar-host: no motion was started in this run: stop sends nothing\n",
                 stderr);
    }
    motion_started = motion_started || StartsMotion(action.kind);
    if (RunAction(control, action, o.json) != 1) status = 4;
    queued = queued || action.kind != PtzAction::Kind::kPresetList;
  }
  // Motion commands are queued in the driver and sent by its PTZ thread; closing the driver
  // drops what is still queued.
  if (queued) Wait(o.settle_seconds);
  return status;
}

}  // namespace

int RunPtzCommand(int argc, char** argv, const std::string& executable_folder) {
  PtzOptions o;
  const int parsed = ParsePtzCommand(argc, argv, &o);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  if (o.library.empty()) o.library = DefaultLibrary(executable_folder);

  const std::optional<DriverLibrary> library = LoadDriverLibrary(o.library);
  if (!library) return 3;
  g_interrupted = &WatchInterrupts();
  MessageSink messages(o.log_level, false);
  FrameFactory factory;
  DeviceDescription device(o.address, o.port, o.user, o.password);
  device.custom = {"(none)", "(none)", "(none)", "(none)", o.presets};

  OpenedDriver driver(*library);
  if (driver.get() == nullptr || !driver->OpenDriver(&messages, &factory, &device)) {
    std::fputs("tollivar-host: the driver could not be opened\n", stderr);
    return 3;
  }
  korvane::IIPPTZDriverEx* ptz = driver->GetPTZDriverEx();
  korvane::IIPPTZApiEx* control = ptz != nullptr ? ptz->GetPTZApiEx(0) : nullptr;
  if (control == nullptr) {
    std::fputs("tollivar-host: the driver offers no PTZ control (see its log above)\n", stderr);
    return 3;
  }
  return RunActions(control, o);
}

}  // namespace tollivar_host
