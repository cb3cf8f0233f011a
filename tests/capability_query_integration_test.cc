// The capability query as a host sees it: the library loaded with dlopen, its four entry points,
// the reference host's result objects (tollivar-host probe), and cnb-camsim as the camera, one
// camera per platform kind and the failures a host must tell apart.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/http_sender.h"
#include "camera/http_utils.h"
#include "camera/testing/camera_test_util.h"
#include "camsim_child.h"
#include "probe.h"

namespace korvane::testing {
namespace {

using ::testing::ElementsAreArray;
using tollivar_host::CapabilityQueryApi;
using tollivar_host::ProbeOptions;
using tollivar_host::ProbeReport;
using tollivar_host::RunProbe;

constexpr char kUser[] = "admin";
constexpr char kPassword[] = "pw";

// A GET of one of the simulator's inspection paths (never authenticated).
std::string Inspect(uint16_t port, const std::string& path) {
  Web::CHttpSender sender(LoopbackDevice(port, "", ""));
  std::string text;
  RequestGetText(sender, text, path);
  return text;
}

// The queries of the camera requests in the simulator's log, in order.
std::vector<std::string> LoggedQueries(uint16_t port) {
  std::vector<std::string> queries;
  std::istringstream in(Inspect(port, "/camsim/requests"));
  for (std::string line; std::getline(in, line);) {
    if (JsonValue(line, "proto") != "http" || JsonValue(line, "status") == "401") continue;
    queries.push_back(JsonValue(line, "query"));
  }
  return queries;
}

std::string VideoState(uint16_t port) {
  const std::string state = Inspect(port, "/camsim/state");
  return "fps=" + JsonValue(state, "fps") + " size=" + JsonValue(state, "width") + "x" +
         JsonValue(state, "height");
}

class CapabilityQueryIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    library_ = tollivar_host::SharedLibrary::Open(TOLLIVAR_LIBRARY_PATH, &error);
    ASSERT_NE(library_, nullptr) << error;
    ASSERT_TRUE(api_.Load(*library_));
  }
  void TearDown() override { library_.reset(); }

  void StartCamsim(std::vector<std::string> args) {
    args.insert(args.end(), {"--auth", "digest", "--user", kUser, "--password", kPassword});
    std::string error;
    ASSERT_TRUE(camsim_.Start(args, &error)) << error;
  }

  ProbeReport Probe(const std::string& password = kPassword, uint16_t port = 0,
                    const std::atomic<bool>* interrupt = nullptr) {
    ProbeOptions options;
    options.address = "127.0.0.1";
    options.port = port != 0 ? port : camsim_.HttpPort();
    options.user = kUser;
    options.password = password;
    options.timeout_s = 60;
    return RunProbe(api_, options, interrupt);
  }

  std::unique_ptr<tollivar_host::SharedLibrary> library_;
  CapabilityQueryApi api_;
  CamsimChild camsim_;
};

// One camera per platform kind. What each kind reports is proven on the properties object; here
// the wiring: the query completes through the exports, the platform is the camsim's, the probes
// reach the simulator (and are refused above --max-width), and the settings are written back.
struct PlatformCase {
  const char* name;
  std::vector<std::string> camsim;
  const char* model;
  const char* platformKind;  // property 4
  std::vector<std::string> sizes;
  const char* probe;  // query of the resolution probe, "" for none
  bool ptz = true;
};

class PlatformQueryTest : public CapabilityQueryIntegrationTest,
                          public ::testing::WithParamInterface<PlatformCase> {};

TEST_P(PlatformQueryTest, CompletesAndLeavesTheCameraAsItWas) {
  const PlatformCase& c = GetParam();
  StartCamsim(c.camsim);
  const std::string before = VideoState(camsim_.HttpPort());

  const ProbeReport report = Probe();
  ASSERT_EQ(report.outcome, ProbeReport::Outcome::kCompleted)
      << report.failure_code << " " << report.failure_message;
  EXPECT_EQ(report.model, c.model);
  std::vector<std::string> sizes;
  for (const auto& r : report.resolutions) sizes.push_back(r.text);
  EXPECT_THAT(sizes, ElementsAreArray(c.sizes));
  ASSERT_EQ(report.properties.size(), 5u);
  EXPECT_EQ(report.properties[3].value, c.platformKind);
  EXPECT_EQ(report.properties[2].value, std::to_string(camsim_.RtspPort()));
  const auto ptz = std::find(report.capabilities.begin(), report.capabilities.end(),
                             std::pair<uint32_t, uint32_t>{1, 1});
  EXPECT_EQ(ptz != report.capabilities.end(), c.ptz);

  std::vector<std::string> expected = {"action=list", "action=update&video.framerate=15"};
  if (*c.probe != '\0') expected.push_back(c.probe);
  expected.push_back("action=update&video.framerate=25&video.resolution=2");
  EXPECT_THAT(LoggedQueries(camsim_.HttpPort()), ElementsAreArray(expected));
  EXPECT_EQ(VideoState(camsim_.HttpPort()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlatformQueryTest,
    ::testing::Values(
        PlatformCase{"A", {"--platform", "A_TYPE"}, "CNB CNB-IXP2050", "0",
                     {"352x288", "720x576", "640x480", "1280x720", "1280x960", "1280x1024",
                      "1920x1080"},
                     "action=update&video.resolution=7"},
        PlatformCase{"ANtscWithoutFullHd", {"--platform", "A_TYPE", "--max-width", "1280", "--ntsc"},
                     "CNB CNB-IXP2050", "0",
                     {"352x240", "720x480", "640x480", "1024x768", "1280x1024"},
                     "action=update&video.resolution=7"},
        PlatformCase{"GWithoutModelName", {"--platform", "G_TYPE_V2", "--model", ""},
                     "CNB G_TYPE_V2", "1", {"320x240", "640x480", "1024x768", "1280x1024"},
                     "action=update&video.resolution=9"},
        PlatformCase{"TWithoutSxga", {"--platform", "T_TYPE", "--max-width", "1024"},
                     "CNB CNB-IXP2050", "2", {"320x240", "640x480"},
                     "action=update&video.resolution=9"},
        PlatformCase{"X", {"--platform", "X_TYPE"}, "CNB CNB-IXP2050", "3",
                     {"320x240", "720x576"}, ""},
        PlatformCase{"D1CameraType", {"--platform", "Z_TYPE", "--ctype", "d1", "--ptz", "off"},
                     "CNB CNB-IXP2050", "3", {"320x240", "720x576"}, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CapabilityQueryIntegrationTest, UnknownPlatformIsReportedAndNothingWritten) {
  StartCamsim({"--platform", "Q_TYPE"});
  const ProbeReport report = Probe();
  EXPECT_EQ(report.outcome, ProbeReport::Outcome::kFailed);
  EXPECT_EQ(report.failure_code, 3);
  EXPECT_EQ(report.failure_message, "Failed to get camera properties");
  EXPECT_THAT(LoggedQueries(camsim_.HttpPort()), ElementsAreArray({"action=list"}));
}

TEST_F(CapabilityQueryIntegrationTest, WrongPasswordIsALoginFailure) {
  StartCamsim({});
  const ProbeReport report = Probe("not-the-password");
  EXPECT_EQ(report.failure_code, 1);
  EXPECT_EQ(report.failure_message,
            "Failed to get camera properties, login failed (invalid credentials)");
}

TEST_F(CapabilityQueryIntegrationTest, ClosedPortIsOffline) {
  uint16_t port = 0;
  {
    CamsimChild gone;
    std::string error;
    ASSERT_TRUE(gone.Start({}, &error)) << error;
    port = gone.HttpPort();
  }
  const ProbeReport report = Probe(kPassword, port);
  EXPECT_EQ(report.failure_code, 2);
  EXPECT_EQ(report.failure_message,
            "Failed to get camera properties, device is offline or is in unaccessible subnet");
}

TEST_F(CapabilityQueryIntegrationTest, TerminateCutsASlowCameraShort) {
  StartCamsim({"--http-fault", "slow:30"});
  std::atomic<bool> interrupt{false};
  std::thread host([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    interrupt = true;  // RunProbe calls TerminateCapabilityQuery
  });
  const int64_t elapsed = MeasureMs([&] {
    const ProbeReport report = Probe(kPassword, 0, &interrupt);
    EXPECT_TRUE(report.interrupted);
    EXPECT_EQ(report.outcome, ProbeReport::Outcome::kFailed);
    EXPECT_EQ(report.failure_code, 3);
    EXPECT_EQ(report.failure_message, "Failed to get camera properties");
  });
  host.join();
  EXPECT_LT(elapsed, 5000) << "the slow answer is not waited for";
}

// A query stopped while the camera is answering its resolution probe still writes the listed
// frame rate and resolution back; a camera that does not answer the write-back costs the stop
// at most its bound. Every answer of the camera comes a second late, so the stop falls into the
// probe; the second camera then holds its answers back for half a minute.
struct StoppedProbeCase {
  const char* name;
  const char* fault_after_probe;  // switched on once the probe arrived; "" to keep slow:1
  int64_t max_stop_ms;            // from the stop to the end of the query cycle
};

class StoppedProbeTest : public CapabilityQueryIntegrationTest,
                         public ::testing::WithParamInterface<StoppedProbeCase> {};

TEST_P(StoppedProbeTest, TheListedSettingsAreWrittenBack) {
  const StoppedProbeCase& c = GetParam();
  StartCamsim({"--platform", "G_TYPE_V2", "--http-fault", "slow:1"});
  const uint16_t port = camsim_.HttpPort();
  const std::string before = VideoState(port);
  constexpr char kProbe[] = "action=update&video.resolution=9";
  constexpr char kWriteBack[] = "action=update&video.framerate=25&video.resolution=2";
  std::atomic<bool> interrupt{false};
  std::chrono::steady_clock::time_point stopped_at;
  std::thread host([&] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < give_up) {
      const auto queries = LoggedQueries(port);
      if (std::find(queries.begin(), queries.end(), kProbe) != queries.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (*c.fault_after_probe != '\0') {
      Inspect(port, std::string("/camsim/control?http-fault=") + c.fault_after_probe);
    }
    stopped_at = std::chrono::steady_clock::now();
    interrupt = true;  // RunProbe calls TerminateCapabilityQuery, then Uninit
  });
  const ProbeReport report = Probe(kPassword, 0, &interrupt);
  const auto ended_at = std::chrono::steady_clock::now();
  host.join();
  const auto stop_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(ended_at - stopped_at).count();
  EXPECT_TRUE(report.interrupted);
  EXPECT_EQ(report.failure_code, 3);
  EXPECT_LT(stop_ms, c.max_stop_ms);
  const auto queries = LoggedQueries(port);
  ASSERT_FALSE(queries.empty());
  EXPECT_EQ(queries.back(), kWriteBack);
  EXPECT_EQ(VideoState(port), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, StoppedProbeTest,
    ::testing::Values(StoppedProbeCase{"AnsweringWriteBack", "", 3500},
                      StoppedProbeCase{"SilentWriteBack", "slow:30", 4500}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane::testing
