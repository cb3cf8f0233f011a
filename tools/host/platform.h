#pragma once

// The calls of tollivar-host that differ between platforms, each in one small file (the
// *_posix.cc files here): loading the driver library, the interrupt signals, the executable's
// folder, whether a stream is a terminal. A port to another platform replaces these files only.

#include <atomic>
#include <cstdio>
#include <memory>
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

}  // namespace tollivar_host
