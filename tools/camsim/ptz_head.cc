#include "ptz_head.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace camsim {
namespace {

// A decimal number of at most six digits, nothing else.
bool ParseSmall(const std::string& text, unsigned* out) {
  if (text.empty() || text.size() > 6) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  *out = value;
  return true;
}

struct Move {
  unsigned cmd;
  const char* name;
  int pan;   // -1 left, +1 right
  int tilt;  // +1 up, -1 down
};

constexpr Move kMoves[] = {
    {65, "left", -1, 0},     {67, "right", 1, 0},       {69, "up", 0, 1},
    {71, "down", 0, -1},     {73, "upleft", -1, 1},     {75, "upright", 1, 1},
    {77, "downleft", -1, -1}, {79, "downright", 1, -1},
};

constexpr double kZoomPerSecond = 2.0;
constexpr double kLensStepsPerSecond = 200.0;

}  // namespace

PtzHead::Result PtzHead::Apply(const std::string& cmd_text, const std::string& id_text,
                               const std::string& ps_text, const std::string& ts_text,
                               const std::string& pr_text, Clock::time_point now) {
  unsigned cmd = 0, id = 0, ps = 0, ts = 0, pr = 0;
  if (!ParseSmall(cmd_text, &cmd)) return {false, "cmd"};
  if (!ParseSmall(id_text, &id)) return {false, "id"};
  if (!ParseSmall(ps_text, &ps)) return {false, "ps"};
  if (!ParseSmall(ts_text, &ts)) return {false, "ts"};
  if (!ParseSmall(pr_text, &pr)) return {false, "pr"};

  std::lock_guard<std::mutex> guard(mutex_);
  AdvanceLocked(now);
  const auto* move = std::find_if(std::begin(kMoves), std::end(kMoves),
                                  [cmd](const Move& m) { return m.cmd == cmd; });
  if (move != std::end(kMoves)) {
    if (ps < 1 || ps > kMaxSpeed) return {false, "ps"};
    if (ts < 1 || ts > kMaxSpeed) return {false, "ts"};
    pan_rate_ = move->pan * static_cast<double>(ps);
    tilt_rate_ = move->tilt * static_cast<double>(ts);
    motion_ = move->name;
  } else if (cmd >= 100 && cmd <= 102) {
    if (pr < 1 || pr > kMaxPreset) return {false, "pr"};
    const int slot = static_cast<int>(pr);
    if (cmd == 100) {
      presets_[slot] = position_;
    } else if (cmd == 101) {
      presets_.erase(slot);
    } else if (const auto found = presets_.find(slot); found != presets_.end()) {
      pan_rate_ = tilt_rate_ = zoom_rate_ = 0;
      position_ = found->second;
      motion_ = "stopped";
    }
  } else {
    switch (cmd) {
      case 55: zoom_rate_ = kZoomPerSecond; motion_ = "zoom in"; break;
      case 53: zoom_rate_ = -kZoomPerSecond; motion_ = "zoom out"; break;
      case 57: focus_rate_ = -kLensStepsPerSecond; motion_ = "focus near"; break;
      case 59: focus_rate_ = kLensStepsPerSecond; motion_ = "focus far"; break;
      case 61: iris_rate_ = kLensStepsPerSecond; motion_ = "iris open"; break;
      case 63: iris_rate_ = -kLensStepsPerSecond; motion_ = "iris close"; break;
      case 34: focus_manual_ = false; break;
      case 35: focus_manual_ = true; break;
      case 36: iris_manual_ = false; break;
      case 37: iris_manual_ = true; break;
      case 255:
        pan_rate_ = tilt_rate_ = zoom_rate_ = focus_rate_ = iris_rate_ = 0;
        motion_ = "stopped";
        break;
      default:
        return {false, "cmd"};
    }
  }
  last_cmd_ = cmd;
  return {true, ""};
}

void PtzHead::AdvanceLocked(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - since_).count();
  since_ = now;
  if (seconds <= 0) return;
  position_.pan = std::fmod(position_.pan + pan_rate_ * seconds, 360.0);
  if (position_.pan < 0) position_.pan += 360.0;
  position_.tilt = std::clamp(position_.tilt + tilt_rate_ * seconds, -90.0, 90.0);
  position_.zoom = std::clamp(position_.zoom + zoom_rate_ * seconds, 1.0, 30.0);
  focus_ = std::clamp(focus_ + focus_rate_ * seconds, 0.0, 1000.0);
  iris_ = std::clamp(iris_ + iris_rate_ * seconds, 0.0, 1000.0);
}

PtzHead::Position PtzHead::At(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(mutex_);
  AdvanceLocked(now);
  return position_;
}

bool PtzHead::Moving() {
  std::lock_guard<std::mutex> guard(mutex_);
  return pan_rate_ != 0 || tilt_rate_ != 0 || zoom_rate_ != 0 || focus_rate_ != 0 ||
         iris_rate_ != 0;
}

void PtzHead::AddState(JsonLine& line, Clock::time_point now) {
  std::lock_guard<std::mutex> guard(mutex_);
  AdvanceLocked(now);
  const auto hundredths = [](double v) { return static_cast<int64_t>(std::llround(v * 100)); };
  line.Int("ptz_pan", hundredths(position_.pan)).Int("ptz_tilt", hundredths(position_.tilt));
  line.Int("ptz_zoom", hundredths(position_.zoom));
  line.Int("ptz_focus", std::llround(focus_)).Int("ptz_iris", std::llround(iris_));
  line.Bool("ptz_focus_manual", focus_manual_).Bool("ptz_iris_manual", iris_manual_);
  line.Str("ptz_motion", motion_).Int("ptz_last_cmd", last_cmd_);
  std::string presets;
  for (const auto& [slot, p] : presets_) {
    char entry[96];
    std::snprintf(entry, sizeof(entry), "%s%d:%lld,%lld,%lld", presets.empty() ? "" : ";", slot,
                  static_cast<long long>(hundredths(p.pan)),
                  static_cast<long long>(hundredths(p.tilt)),
                  static_cast<long long>(hundredths(p.zoom)));
    presets += entry;
  }
  line.Str("ptz_presets", presets);
}

}  // namespace camsim
