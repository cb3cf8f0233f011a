#pragma once

#include "base/thread_annotations.h"

namespace korvane {

// A thread role (the capture thread of a channel, the host's calling thread) as a capability of
// clang's thread-safety analysis: state that only the thread in that role touches says
// GUARDED_BY(role), and code that runs in the role says so once, with Assume() at its entry (or
// REQUIRES(role) on a helper), so that any other access fails the clang stage. It costs nothing
// at run time and checks nothing there: the analysis holds each such entry to its word.
class CAPABILITY("role") CThreadRole {
 public:
  // Marks the rest of the calling function as running in this role.
  void Assume() const ASSERT_CAPABILITY(this) {}
};

}  // namespace korvane
