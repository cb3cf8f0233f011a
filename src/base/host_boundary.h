#pragma once

#include <utility>

namespace korvane {

// Runs `body` for a call that came from the host and returns its result; an exception (memory
// ran out, a thread could not be started) ends the call with `failed` instead. Nothing may
// unwind into the host's frames: a host built with another compiler has no unwind tables the
// C++ runtime here understands, so an escaping exception would terminate the host.
template <typename Result, typename Body>
Result CallFromHost(Result failed, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return failed;
  }
}

}  // namespace korvane
