#pragma once

#include <filesystem>
#include <string>

// The lib folder relative to the bin folder of an install (the build sets it from
// CMAKE_INSTALL_LIBDIR).
#ifndef TOLLIVAR_HOST_TO_LIBDIR
#define TOLLIVAR_HOST_TO_LIBDIR "../lib"
#endif

namespace tollivar_host {

// The driver library a command loads when --library is not given, for a program in `folder`
// (ending in '/'): the build tree's (the program sits in <build>/tools/host), then an installed
// one in the lib folder beside the program's bin folder, else the runtime name for the loader's
// search path. libtollivar.so.1 is what a system without the development files has; on Windows,
// tollivar.dll.
inline std::string DefaultLibrary(const std::string& folder) {
#ifdef _WIN32
  // tollivar-host.exe sits in <build>/tools/host, tollivar.dll at the build tree's top; an
  // installed host has the DLL beside it.
  for (const std::string& candidate : {folder + "../../tollivar.dll", folder + "tollivar.dll"}) {
    std::error_code error;
    if (std::filesystem::exists(candidate, error)) return candidate;
  }
  return "tollivar.dll";
#else
  for (const std::string& candidate :
       {folder + "../../libtollivar.so.1", folder + "libtollivar.so.1",
        folder + TOLLIVAR_HOST_TO_LIBDIR "/libtollivar.so.1"}) {
    std::error_code error;
    if (std::filesystem::exists(candidate, error)) return candidate;
  }
  return "libtollivar.so.1";
#endif
}

}  // namespace tollivar_host
