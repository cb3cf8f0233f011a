// The simulated PTZ head behind /cnb-cgi/ptzCtl: pan, tilt and zoom move while a command runs
// and stop on cmd 255; focus and iris likewise; presets 1..255 store and recall positions.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "request_log.h"

namespace camsim {

class PtzHead {
 public:
  using Clock = std::chrono::steady_clock;

  struct Position {
    double pan = 0;     // degrees, 0 <= pan < 360
    double tilt = 0;    // degrees, -90 .. 90
    double zoom = 1;    // magnification, 1 .. 30
    bool operator==(const Position&) const = default;
  };

  struct Result {
    bool ok = false;
    std::string error;  // the offending parameter when !ok
  };

  static constexpr int kMaxPreset = 255;
  static constexpr unsigned kMaxSpeed = 63;

  // One request: the five numbers of the query, as text. Refuses malformed or unknown commands.
  Result Apply(const std::string& cmd, const std::string& id, const std::string& ps,
               const std::string& ts, const std::string& pr, Clock::time_point now = Clock::now());

  Position At(Clock::time_point now = Clock::now());
  bool Moving();
  // Adds the head's state to a /camsim/state line: angles and zoom in hundredths.
  void AddState(JsonLine& line, Clock::time_point now = Clock::now());

 private:
  // Brings the stored position up to `now` along the running motion. Requires mutex_.
  void AdvanceLocked(Clock::time_point now);

  std::mutex mutex_;
  Position position_;
  double focus_ = 500;   // 0 near .. 1000 far
  double iris_ = 500;    // 0 closed .. 1000 open
  // The running motion, per second.
  double pan_rate_ = 0;
  double tilt_rate_ = 0;
  double zoom_rate_ = 0;
  double focus_rate_ = 0;
  double iris_rate_ = 0;
  bool focus_manual_ = false;
  bool iris_manual_ = false;
  Clock::time_point since_ = Clock::now();
  unsigned last_cmd_ = 0;
  std::string motion_ = "stopped";
  std::map<int, Position> presets_;
};

}  // namespace camsim
