#pragma once

#include <cstdint>
#include <string>

#include "base/debug_message.h"
#include "tollivar/ptz.h"

namespace korvane {

// Command types of a queued PTZ item.
enum PtzCommandType : std::uint32_t {
  kPtzMove = 1,  // pan, tilt or zoom (directions 8 and 9)
  kPtzFocus = 2,
  kPtzIris = 3,
  kPtzStop = 4,
  kPtzAreaZoom = 5,
  kPtzCenter = 6,
  kPtzUnzoom = 7,
};

// Sub-types: the focus and iris directions, and which motion a stop ends.
enum PtzSubType : std::uint32_t {
  kPtzSubNone = 0,
  kPtzFocusNear = 1,
  kPtzFocusFar = 2,
  kPtzIrisOpen = 3,
  kPtzIrisClose = 4,
  kPtzStopMove = 5,
  kPtzStopZoom = 6,
  kPtzStopFocus = 7,
  kPtzStopIris = 8,
};

// Host move directions that zoom instead of panning or tilting.
inline constexpr std::int32_t kPtzZoomDirectionA = 8;
inline constexpr std::int32_t kPtzZoomDirectionB = 9;

// One queued command.
class CPTZItem {
 public:
  virtual ~CPTZItem() = default;

  std::uint32_t commandType = 0;
  std::uint32_t subType = kPtzSubNone;
  IIPParams* params = nullptr;  // the PTZ control's flags; not owned, outlives the item
  std::int32_t speed = 0;       // the host's speed value
  std::int32_t param1 = 0;      // move: direction; area zoom, centre: first argument
  std::int32_t param2 = 0;
  std::int32_t param3 = 0;
};

// Which PTZ functions a channel offers.
class CPtzCapabilities {
 public:
  static constexpr std::uint32_t kDefaultMaxPrepositions = 255;

  virtual ~CPtzCapabilities() = default;

  bool canPan = true;
  bool canTilt = true;
  bool canZoom = true;
  bool canFocus = true;
  bool canIris = true;
  bool canAreaZoom = false;
  bool canCenter = false;
  bool canUnzoom = false;
  std::uint32_t maxPrepositions = kDefaultMaxPrepositions;
};

// Camera preset requests of one channel, sent at once on the caller's thread. Slot indexes are
// 0-based; the camera's preset number is slot + 1.
class IPrepositionComm : public virtual IDebugMessage {
 public:
  virtual bool SetPreposition(std::uint32_t slot, const std::string& name) = 0;
  virtual bool GoToPreposition(std::uint32_t slot, const std::string& name,
                               std::int32_t value) = 0;
  virtual bool ClearPreposition(std::uint32_t slot, const std::string& name) = 0;
};

}  // namespace korvane
