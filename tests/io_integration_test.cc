// The driver's digital I/O as a host sees it, against the camera simulator: the alarm requests of
// the start and of queued changes, the input reports, a camera fault, the threads after a stop and
// after the driver is gone; and the reference host's io command.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "camsim_child.h"
#include "driver_host.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr auto kBound = 10s;

// The signal type of every alarm request the simulator accepted (status 200), in order. A Digest
// challenge (401) is part of an exchange, and a faulted request (500) changed nothing.
std::vector<std::string> AnsweredAlarmRequests(std::uint16_t port) {
  std::vector<std::string> types;
  std::istringstream in(InspectionGet(port, "/camsim/requests"));
  const std::string prefix = "action=update&alarm.control=2&alarm.signaltype=";
  for (std::string line; std::getline(in, line);) {
    if (JsonValue(line, "proto") != "http" || JsonValue(line, "status") != "200") continue;
    const std::string query = JsonValue(line, "query");
    types.push_back(query.starts_with(prefix) ? query.substr(prefix.size())
                                              : "other: " + query);
  }
  return types;
}

// Threads of this process whose name starts like the driver's I/O threads ("Digital Input
// thread (Tollivar)", "Digital Output thread (Tollivar)"; the system keeps 15 characters).
int IoThreads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name.starts_with("Digital ")) ++count;
  }
  return count;
}

class RecordingEvents : public ICaptureIOEvents {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  void OnInputStateChanged(std::uint32_t index, std::int32_t state) override {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back("input " + std::to_string(index) + "=" + std::to_string(state));
  }
  void OnIOError() override {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back("error");
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  std::size_t Count(const std::string& event) {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class IoIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
    std::string error;
    ASSERT_TRUE(camsim_.Start({"--auth", "digest", "--user", "admin", "--password", "pw"}, &error))
        << error;
  }

  bool WaitForAlarmRequests(std::size_t count) {
    return WaitUntil([&] { return AnsweredAlarmRequests(camsim_.HttpPort()).size() >= count; },
                     kBound);
  }

  CamsimChild camsim_;
};

TEST_F(IoIntegrationTest, AlarmOutputAndInputsThroughTheHostInterface) {
  tollivar_host::MessageSink messages(3, false);
  tollivar_host::FrameFactory factory;
  tollivar_host::DeviceDescription device;
  device.port = camsim_.HttpPort();
  device.user = "admin";
  device.password = "pw";
  device.inputs = 2;
  device.outputs = 1;
  RecordingEvents events;

  ipc::IIPCaptureDriverEx4* driver = DriverLibrary::Get().create();
  ASSERT_NE(driver, nullptr);
  ASSERT_TRUE(driver->OpenDriver(&messages, &factory, &device));
  ICaptureIOApi* io = driver->GetIOApi();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->GetInputCount(), 2u);
  EXPECT_EQ(io->GetOutputCount(), 1u);
  ASSERT_TRUE(io->SetEventSink(&events));
  ASSERT_TRUE(io->StartIO());

  // The start puts the output in state 1; the first poll reports both inputs.
  ASSERT_TRUE(WaitForAlarmRequests(1));
  ASSERT_TRUE(WaitUntil([&] { return events.Count("input 1=1") == 1; }, kBound));
  EXPECT_TRUE(WaitUntil([&] { return IoThreads() == 2; }, kBound)) << IoThreads();
  EXPECT_THAT(events.Events(), ElementsAre("input 0=1", "input 1=1"));
  EXPECT_TRUE(io->QueueOutputState(0, 0));
  EXPECT_TRUE(io->QueueOutputState(0, 1));
  ASSERT_TRUE(WaitForAlarmRequests(3));
  EXPECT_THAT(AnsweredAlarmRequests(camsim_.HttpPort()), ElementsAre("2", "1", "2"));
  const std::string state = InspectionGet(camsim_.HttpPort(), "/camsim/state");
  EXPECT_EQ(JsonValue(state, "alarm_control"), "2");
  EXPECT_EQ(JsonValue(state, "alarm_signaltype"), "2");

  // A camera fault: every change fails; the sink hears of each, the log once.
  InspectionGet(camsim_.HttpPort(), "/camsim/control?http-fault=status:500");
  EXPECT_TRUE(io->QueueOutputState(0, 0));  // fails: every state back at 0
  EXPECT_TRUE(io->QueueOutputState(0, 1));  // differs from 0: sent again, fails again
  ASSERT_TRUE(WaitUntil([&] { return events.Count("error") == 2; }, kBound));
  EXPECT_EQ(messages.CountLinesContaining("Unable to change output state for device 127.0.0.1:" +
                                          std::to_string(camsim_.HttpPort()) +
                                          " (output index 0)"),
            1);
  InspectionGet(camsim_.HttpPort(), "/camsim/control?http-fault=none");

  EXPECT_TRUE(io->StopIO());
  EXPECT_FALSE(io->QueueOutputState(0, 0));
  EXPECT_EQ(IoThreads(), 0);  // joined by StopIO
  // Started again, then deleted while running: the driver stops it.
  ASSERT_TRUE(io->StartIO());
  ASSERT_TRUE(WaitForAlarmRequests(4));
  EXPECT_TRUE(WaitUntil([&] { return IoThreads() == 2; }, kBound)) << IoThreads();
  DriverLibrary::Get().destroy(driver);
  EXPECT_EQ(IoThreads(), 0);
  EXPECT_THAT(AnsweredAlarmRequests(camsim_.HttpPort()),
              ElementsAre("2", "1", "2", "2"));
}

struct CommandResult {
  int exit_code = -1;
  std::string output;
};

CommandResult RunHost(const std::string& arguments) {
  const char* dir = std::getenv("TOLLIVAR_BINARY_DIR");
  const std::string command = std::string(dir != nullptr ? dir : ".") +
                              "/tools/host/tollivar-host io --library " TOLLIVAR_LIBRARY_PATH
                              " --address 127.0.0.1 " + arguments + " 2>&1";
  CommandResult result;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), pipe)) > 0;) result.output.append(buf, n);
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST_F(IoIntegrationTest, HostIoCommandSetsTheOutputAndReportsInputs) {
  const std::string device = "--port " + std::to_string(camsim_.HttpPort()) +
                             " --user admin --password pw ";
  const CommandResult outputs = RunHost(device + "--outputs 1 --set 0=0 --set 0=1 --json");
  EXPECT_EQ(outputs.exit_code, 0) << outputs.output;
  EXPECT_THAT(outputs.output, HasSubstr(R"("changes":2,"refused":0,"io_errors":0)"));
  EXPECT_THAT(AnsweredAlarmRequests(camsim_.HttpPort()), ElementsAre("2", "1", "2"));

  const CommandResult inputs = RunHost(device + "--inputs 2 --watch 1");
  EXPECT_EQ(inputs.exit_code, 0) << inputs.output;
  EXPECT_THAT(inputs.output, HasSubstr("input 0 state 1\n"));
  EXPECT_THAT(inputs.output, HasSubstr("input 1 state 1\n"));
  EXPECT_THAT(inputs.output, HasSubstr("summary: 0 change(s) queued, 0 refused, 0 I/O error(s), "
                                       "2 input report(s)"));

  InspectionGet(camsim_.HttpPort(), "/camsim/control?http-fault=status:500");
  const CommandResult failing = RunHost(device + "--outputs 1 --set 0=0 --set 0=1 --watch 1");
  EXPECT_EQ(failing.exit_code, 1) << failing.output;
  EXPECT_THAT(failing.output, HasSubstr("the driver reported an error for every change"));
}

}  // namespace
}  // namespace korvane::testing
