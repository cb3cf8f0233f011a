#pragma once

#include <cstdint>

namespace korvane {

// One queued output change. The output queue owns it from the moment it is queued and deletes it
// once it was handled, refused or dropped.
class COutputState {
 public:
  COutputState(std::uint32_t index_, std::int32_t state_) : index(index_), state(state_) {}
  virtual ~COutputState() = default;

  std::uint32_t index;  // output index, 0-based
  std::int32_t state;   // requested state; the meaning belongs to the host
};

}  // namespace korvane
