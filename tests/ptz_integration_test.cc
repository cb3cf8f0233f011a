// PTZ as a host sees it, against the camera simulator: the library loaded with dlopen, the PTZ
// driver object and the control of channel 0, presets kept across a restart of the driver, and
// the reference host's ptz command.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "camsim_child.h"
#include "driver_host.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The ptzCtl queries the simulator accepted, oldest first (a Digest exchange also logs the
// challenged first try).
std::vector<std::string> PtzQueries(std::uint16_t port) {
  std::vector<std::string> queries;
  std::istringstream in(InspectionGet(port, "/camsim/requests"));
  for (std::string line; std::getline(in, line);) {
    if (JsonValue(line, "path") == "/cnb-cgi/ptzCtl" && JsonValue(line, "status") == "200") {
      queries.push_back(JsonValue(line, "query"));
    }
  }
  return queries;
}

std::string State(std::uint16_t port, const std::string& key) {
  return JsonValue(InspectionGet(port, "/camsim/state"), key);
}

// Threads of this process whose name starts with `prefix` (the kernel keeps 15 characters).
int ThreadsNamed(const std::string& prefix) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

std::string Query(unsigned cmd, unsigned speed, unsigned pr) {
  return "cmd=" + std::to_string(cmd) + "&id=1&ps=" + std::to_string(speed) +
         "&ts=" + std::to_string(speed) + "&pr=" + std::to_string(pr);
}

// One opened driver with PTZ, as a host holds it.
class PtzSession {
 public:
  PtzSession(std::uint16_t http_port, const std::string& presets) {
    device_.address = "127.0.0.1";
    device_.port = http_port;
    device_.user = "admin";
    device_.password = "secret";
    device_.custom = {"(none)", "(none)", "(none)", "(none)", presets};
    auto& library = DriverLibrary::Get();
    if (library.Loaded()) driver_ = library.create();
    if (driver_ != nullptr && driver_->OpenDriver(&messages_, &factory_, &device_)) {
      korvane::IIPPTZDriverEx* ptz = driver_->GetPTZDriverEx();
      if (ptz != nullptr && ptz == driver_->GetPTZDriver()) control_ = ptz->GetPTZApiEx(0);
    }
  }
  ~PtzSession() {
    if (driver_ != nullptr) DriverLibrary::Get().destroy(driver_);
  }
  korvane::IIPPTZApiEx* Control() { return control_; }
  std::vector<std::string> Presets() {
    std::vector<std::string> names;
    for (int i = 0; i < control_->GetPrepositionCount(); ++i) {
      char name[64] = {};
      control_->GetPrepositionName(static_cast<std::uint32_t>(i), name, sizeof(name));
      names.emplace_back(name);
    }
    return names;
  }

 private:
  tollivar_host::MessageSink messages_{0, false};
  tollivar_host::FrameFactory factory_;
  tollivar_host::DeviceDescription device_;
  ipc::IIPCaptureDriverEx4* driver_ = nullptr;
  korvane::IIPPTZApiEx* control_ = nullptr;
};

class PtzIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
    std::string error;
    ASSERT_TRUE(camsim_.Start({"--auth", "digest", "--user", "admin", "--password", "secret"},
                              &error))
        << error;
    presets_ = "ptz-it-" + std::to_string(getpid());
    file_ = ExecutableFolder() + "CNB_" + presets_ + ".preset";
  }
  void TearDown() override { std::filesystem::remove(file_); }

  bool WaitForQueries(std::size_t count) {
    return WaitUntil([&] { return PtzQueries(camsim_.HttpPort()).size() >= count; }, 10s);
  }

  CamsimChild camsim_;
  std::string presets_;
  std::string file_;
};

TEST_F(PtzIntegrationTest, PresetsMoveTheHeadAndSurviveARestartOfTheDriver) {
  const std::uint16_t port = camsim_.HttpPort();
  {
    PtzSession session(port, presets_);
    korvane::IIPPTZApiEx* control = session.Control();
    ASSERT_NE(control, nullptr);
    // The PTZ command thread (it names itself once it runs).
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed("BaseIPPTZThread") == 1; }, 5s));
    EXPECT_EQ(control->SavePreposition("Door"), 1);
    EXPECT_EQ(control->Move(2, 16), 1);
    ASSERT_TRUE(WaitUntil([&] { return State(port, "ptz_motion") == "left"; }, 10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(control->Stop(), 1);
    ASSERT_TRUE(WaitForQueries(3));
    EXPECT_NE(State(port, "ptz_pan"), "0");  // the head has turned
    EXPECT_EQ(control->SavePreposition("Gate"), 1);
    EXPECT_EQ(control->SavePreposition("a<b"), -3);
    EXPECT_THAT(session.Presets(), ElementsAre("Door", "Gate"));
  }
  EXPECT_EQ(ThreadsNamed("BaseIPPTZThread"), 0);  // joined when the driver was deleted

  std::ifstream in(file_);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><CNB><PtzChannel01><Preposition000>"
            "<Name value=\"Door\"/><Slot value=\"0\"/></Preposition000><Preposition001>"
            "<Name value=\"Gate\"/><Slot value=\"1\"/></Preposition001></PtzChannel01></CNB>");

  PtzSession restarted(port, presets_);
  ASSERT_NE(restarted.Control(), nullptr);
  EXPECT_THAT(restarted.Presets(), ElementsAre("Door", "Gate"));
  EXPECT_EQ(restarted.Control()->RecallPreposition(0, "Door"), 1);
  EXPECT_EQ(State(port, "ptz_pan"), "0");  // back where Door was saved
  EXPECT_THAT(PtzQueries(port),
              ElementsAre(Query(100, 1, 1), Query(65, 63, 1), Query(255, 1, 1),
                          Query(100, 1, 2), Query(102, 1, 1)));
}

TEST_F(PtzIntegrationTest, HostCommandSavesListsAndRecallsPresets) {
  const std::string host = std::string(TOLLIVAR_HOST_BINARY) + " ptz --address 127.0.0.1 --port " +
                           std::to_string(camsim_.HttpPort()) +
                           " --user admin --password secret --settle 0.2 --presets " + presets_;
  // The host keeps its preset file beside itself.
  const std::string host_file =
      std::filesystem::path(TOLLIVAR_HOST_BINARY).parent_path() / ("CNB_" + presets_ + ".preset");
  EXPECT_THAT(RunCommand(host + " preset save Door"), HasSubstr("preset save Door: 1 (success)"));
  EXPECT_THAT(RunCommand(host + " move left --speed 16 --for 0.3"),
              HasSubstr("stop: 1 (success)"));
  EXPECT_THAT(RunCommand(host + " preset save Gate"), HasSubstr(": 1 (success)"));
  EXPECT_THAT(RunCommand(host + " --json preset list"),
              HasSubstr("{\"presets\":[\"Door\",\"Gate\"],\"current\":null}"));
  EXPECT_THAT(RunCommand(host + " preset save 'x&y'"), HasSubstr(": -3 (invalid argument"));
  EXPECT_THAT(RunCommand(host + " preset go Door"), HasSubstr("preset go Door: 1 (success)"));
  EXPECT_THAT(PtzQueries(camsim_.HttpPort()),
              ElementsAre(Query(100, 1, 1), Query(65, 63, 1), Query(255, 1, 1),
                          Query(100, 1, 2), Query(102, 1, 1)));
  std::filesystem::remove(host_file);
}

TEST_F(PtzIntegrationTest, KillingTheHostWhileSavingNeverLeavesAFileThatDoesNotParse) {
  const std::string script = ExecutableFolder() + presets_ + ".script";
  {
    std::ofstream out(script);
    for (int i = 0; i < 40; ++i) out << "preset save P" << i << "\nmove up --speed 1\n";
  }
  const std::string host_folder =
      std::filesystem::path(TOLLIVAR_HOST_BINARY).parent_path().string() + "/";
  const std::string host_file = host_folder + "CNB_" + presets_ + ".preset";
  const std::string port = std::to_string(camsim_.HttpPort());
  for (int round = 0; round < 8; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(TOLLIVAR_HOST_BINARY, TOLLIVAR_HOST_BINARY, "ptz", "--address", "127.0.0.1",
            "--port", port.c_str(), "--user", "admin", "--password", "secret", "--presets",
            presets_.c_str(), "--script", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(60 + 37 * round));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (!std::filesystem::exists(host_file)) continue;
    // Whatever moment the kill hit, the file is a whole document of the driver's layout.
    const std::string listed =
        RunCommand(std::string(TOLLIVAR_HOST_BINARY) + " ptz --address 127.0.0.1 --port " +
                   port + " --user admin --password secret --settle 0 --presets " + presets_ +
                   " --json preset list");
    EXPECT_THAT(listed, HasSubstr("{\"presets\":[")) << "round " << round;
    EXPECT_THAT(listed, ::testing::Not(HasSubstr("cannot be parsed"))) << "round " << round;
  }
  std::filesystem::remove(script);
  for (const auto& entry : std::filesystem::directory_iterator(host_folder)) {
    if (entry.path().filename().string().rfind("CNB_" + presets_ + ".preset", 0) == 0) {
      std::filesystem::remove(entry.path());
    }
  }
}

}  // namespace
}  // namespace korvane::testing
