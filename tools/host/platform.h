#pragma once

// The calls of tollivar-host that differ between platforms, each in one small file (the
// *_posix.cc files here): loading the driver library, the interrupt signals, the executable's
// folder, whether a stream is a terminal, one HTTP GET. A port to another platform replaces these files only.

#include <atomic>
#include <cstdio>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace tollivar_host {

// A loaded shared library, unloaded when destroyed (library_posix.cc).
class SharedLibrary {
 public:
  // Null, with *error saying why, when `path` cannot be loaded.
  static std::unique_ptr<SharedLibrary> Open(const std::string& path, std::string* error);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The address of the exported `name`; null when the library has none.
  void* Symbol(const char* name) const;

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* const handle_;
};

// From the first call on, Ctrl-C and termination requests set the returned flag instead of
// ending the program (interrupt_posix.cc).
const std::atomic<bool>& WatchInterrupts();

// The folder of the running executable, with a trailing '/' ("./" when unknown)
// (executable_folder_posix.cc).
std::string ExecutableFolder();

// Whether `stream` is a terminal, where a progress line can be redrawn (terminal_posix.cc).
bool IsTerminal(std::FILE* stream);

// The body (its first `max_body` bytes) of a 2xx answer to GET `url` (http only, no proxy, no
// redirect), logging in with `user` and `password` when the camera asks and `user` is not empty;
// nullopt on any failure. Bounded by the two time-outs; `stop` ends it early where the platform
// lets a transfer be interrupted (http_get_posix.cc).
std::optional<std::string> HttpGet(const std::string& url, const std::string& user,
                                   const std::string& password, long connect_timeout_ms,
                                   long request_timeout_ms, std::size_t max_body,
                                   const std::atomic<bool>& stop);

}  // namespace tollivar_host
