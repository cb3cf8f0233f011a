#include "camera/integration/camsim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace korvane::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);

uint16_t PortAfter(const std::string& line, const std::string& key) {
  const size_t at = line.find(key);
  if (at == std::string::npos) return 0;
  return static_cast<uint16_t>(std::atoi(line.c_str() + at + key.size()));
}

}  // namespace

CamsimProcess::CamsimProcess(const std::vector<std::string>& args) {
  std::vector<std::string> all = {CAMSIM_BINARY, "--address", "127.0.0.1", "--rtsp-port", "0",
                                  "--http-port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  stdoutFd_ = pipeFds[0];
  if (spawned != 0) {
    pid_ = -1;
    return;
  }

  const Clock::time_point deadline = Clock::now() + kStartLimit;
  while (Clock::now() < deadline) {
    pollfd fd{stdoutFd_, POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
    if (n <= 0) break;  // the simulator exited
    output_.append(buffer, static_cast<size_t>(n));
    const size_t ready = output_.find("cnb-camsim ready");
    if (ready != std::string::npos && output_.find('\n', ready) != std::string::npos) {
      const std::string line = output_.substr(ready);
      rtspPort_ = PortAfter(line, "rtsp=");
      httpPort_ = PortAfter(line, "http=");
      break;
    }
  }
}

CamsimProcess::~CamsimProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const Clock::time_point deadline = Clock::now() + kStopLimit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);  // a stuck test peer must not outlive the test
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

}  // namespace korvane::testing
