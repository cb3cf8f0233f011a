#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tollivar_host {

struct IoOptions {
  std::string address;
  unsigned port = 0;
  std::string user;
  std::string password;
  std::uint32_t inputs = 0;
  std::uint32_t outputs = 0;
  std::vector<std::pair<std::uint32_t, std::int32_t>> changes;  // --set INDEX=STATE, in order
  unsigned watch_seconds = 2;
  bool json = false;
  std::string library;
  int log_level = 3;
};

void PrintIoUsage();
// Parses the arguments after "io": 0 when they are complete, 1 after --help, 2 on a bad command
// line (with a message on stderr).
int ParseIo(int argc, char** argv, IoOptions* options);
// Runs the io command; returns the process exit status.
int RunIo(const IoOptions& options);

}  // namespace tollivar_host
