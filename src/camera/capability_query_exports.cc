// The capability query's C entry points: one process-wide query service.

#include "camera/capability_query.h"
#include "tollivar/capability_query.h"

namespace {

korvane::CCapabilityQuery& ProcessQuery() {
  // Destroyed when the library is unloaded (or the process ends): a query still running is
  // stopped and joined then, before its code goes away.
  static korvane::CCapabilityQuery query;
  return query;
}

}  // namespace

extern "C" {

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL InitCapabilityQuery(
    korvane::ipcapture::ICapabilityQueryEvents* events, std::int32_t ntsc) {
  return ProcessQuery().Init(events, ntsc);
}

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL StartCapabilityQuery(
    const char* address, std::int32_t port, const char* user_name, const char* password,
    korvane::ipcapture::ICapabilityResults* results) {
  return ProcessQuery().Start(address, port, user_name, password, results);
}

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL TerminateCapabilityQuery() { return ProcessQuery().Terminate(); }

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL UninitCapabilityQuery() { return ProcessQuery().Uninit(); }

}  // extern "C"
