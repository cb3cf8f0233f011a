// The capability query's C entry points: one process-wide query service.

#include "base/host_boundary.h"
#include "camera/capability_query.h"
#include "tollivar/capability_query.h"

namespace {

korvane::CCapabilityQuery& ProcessQuery() {
#if defined(_WIN32)
  // Never destroyed: a static destructor runs under the loader lock at FreeLibrary, where
  // joining the query thread would hang the host (the thread's exit needs that lock).
  // UninitCapabilityQuery is what stops and joins the query; a host that unloads without it
  // leaves only this object behind.
  static korvane::CCapabilityQuery* const query = new korvane::CCapabilityQuery;
  return *query;
#else
  // Destroyed when the library is unloaded (or the process ends): a query still running is
  // stopped and joined then, before its code goes away.
  static korvane::CCapabilityQuery query;
  return query;
#endif
}

}  // namespace

extern "C" {

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL InitCapabilityQuery(
    korvane::ipcapture::ICapabilityQueryEvents* events, std::int32_t ntsc) {
  return korvane::CallFromHost(0, [&] { return ProcessQuery().Init(events, ntsc); });
}

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL StartCapabilityQuery(
    const char* address, std::int32_t port, const char* user_name, const char* password,
    korvane::ipcapture::ICapabilityResults* results) {
  return korvane::CallFromHost(
      0, [&] { return ProcessQuery().Start(address, port, user_name, password, results); });
}

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL TerminateCapabilityQuery() {
  return korvane::CallFromHost(1, [] { return ProcessQuery().Terminate(); });
}

TOLLIVAR_EXPORT std::int32_t TOLLIVAR_CDECL UninitCapabilityQuery() {
  return korvane::CallFromHost(1, [] { return ProcessQuery().Uninit(); });
}

}  // extern "C"
