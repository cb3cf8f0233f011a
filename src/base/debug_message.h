#pragma once

namespace korvane {

// Log levels of IDebugMessage::DebugMessage.
enum : int {
  kLogError = 1,
  kLogWarning = 2,
  kLogInfo = 3,
  kLogDebug = 4,  // never forwarded to the host
};

// The logging sink every driver object writes to. The driver implements it; every message
// starts with "%s: " filled with the qualified method name ("korvane::CBaseThread::JoinThread").
// The format is always a literal of this code base: untrusted text only ever goes in as an
// argument of "%s".
class IDebugMessage {
 public:
  virtual ~IDebugMessage() = default;
  virtual void DebugMessage(int level, const char* format, ...)
      __attribute__((format(printf, 3, 4))) = 0;
};

}  // namespace korvane
