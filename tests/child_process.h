#pragma once

// Child processes of the integration tests (the simulator, the fault relay): started with their
// output in a file, stopped with SIGTERM and a bounded wait.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvane::testing {

// Starts argv[0] (looked up on PATH when `search_path`) with standard output and error going to
// the file `output`. The child's pid, or -1 when it could not be started.
inline pid_t SpawnWithOutput(std::vector<std::string> argv, const std::string& output,
                             bool search_path) {
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned = search_path
                          ? posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ)
                          : posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// SIGTERM, then up to `grace` for the child to end; a child that hangs is killed so that the
// test run ends. Its exit code, or -1 when it was killed or did not exit normally.
inline int TerminateChild(pid_t pid, std::chrono::seconds grace) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + grace;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace korvane::testing
