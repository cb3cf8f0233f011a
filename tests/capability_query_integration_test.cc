// The capability query as a host sees it: the library loaded with dlopen, its four entry points,
// the reference host's result objects (tollivar-host probe), and cnb-camsim as the camera, one
// camera per platform kind and the failures a host must tell apart.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
    library_ = dlopen(TOLLIVAR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    ASSERT_TRUE(api_.Load(library_));
  }
  void TearDown() override {
    if (library_ != nullptr) dlclose(library_);
  }

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

  void* library_ = nullptr;
  CapabilityQueryApi api_;
  CamsimChild camsim_;
};

std::vector<std::string> Sizes(const ProbeReport& report) {
  std::vector<std::string> sizes;
  for (const auto& r : report.resolutions) {
    sizes.push_back(r.text + "@" + std::to_string(r.frame_interval_ms));
  }
  return sizes;
}

std::vector<std::string> Capabilities(const ProbeReport& report) {
  std::vector<std::string> ids;
  for (const auto& [id, value] : report.capabilities) {
    ids.push_back(std::to_string(id) + "=" + std::to_string(value));
  }
  return ids;
}

std::vector<std::string> PropertyValues(const ProbeReport& report) {
  std::vector<std::string> values;
  for (const auto& p : report.properties) {
    values.push_back(std::to_string(p.id) + " " + p.name + "=" + p.value + "/" +
                     std::to_string(p.flag));
  }
  return values;
}

struct PlatformCase {
  const char* name;
  std::vector<std::string> camsim;
  const char* model;
  std::vector<std::string> codecs;
  std::vector<std::string> sizes;
  std::vector<uint32_t> intervals;
  uint32_t defaultInterval;
  std::vector<std::string> capabilities;
  const char* standard;  // property 1
  const char* platform;  // property 4
  std::vector<std::string> probes;  // queries of the resolution probes
};

std::vector<uint32_t> Intervals(uint32_t rates) {
  // 1000 / rate rounded, for 1 .. 30 frames per second.
  static const uint32_t kIntervals[] = {1000, 500, 333, 250, 200, 167, 143, 125, 111, 100,
                                        91,   83,  77,  71,  67,  63,  59,  56,  53,  50,
                                        48,   45,  43,  42,  40,  38,  37,  36,  34,  33};
  return std::vector<uint32_t>(kIntervals, kIntervals + rates);
}

class PlatformQueryTest : public CapabilityQueryIntegrationTest,
                          public ::testing::WithParamInterface<PlatformCase> {};

TEST_P(PlatformQueryTest, ReportsWhatTheCameraIsAndLeavesItAsItWas) {
  const PlatformCase& c = GetParam();
  StartCamsim(c.camsim);
  const std::string before = VideoState(camsim_.HttpPort());

  const ProbeReport report = Probe();
  ASSERT_EQ(report.outcome, ProbeReport::Outcome::kCompleted)
      << report.failure_code << " " << report.failure_message;
  EXPECT_EQ(report.model, c.model);
  EXPECT_THAT(report.Codecs(), ElementsAreArray(c.codecs));
  EXPECT_THAT(Sizes(report), ElementsAreArray(c.sizes));
  EXPECT_THAT(report.frame_intervals_ms, ElementsAreArray(c.intervals));
  EXPECT_EQ(report.default_frame_interval_ms, c.defaultInterval);
  EXPECT_THAT(Capabilities(report), ElementsAreArray(c.capabilities));
  EXPECT_EQ(report.connection[0], "127.0.0.1");
  EXPECT_EQ(report.connection[1], std::to_string(camsim_.HttpPort()));
  EXPECT_EQ(report.connection[2], kUser);
  EXPECT_THAT(PropertyValues(report),
              ElementsAreArray(std::vector<std::string>{
                  std::string("1 Device Video Standard=") + c.standard + "/0",
                  "2 Device Firmware=boot: 1.02 kernel: 2.6.18 root: 3.1.7 local: 3.1.7-sim "
                  "view: 1.4.0/1",
                  "3 RTSP port=" + std::to_string(camsim_.RtspPort()) + "/0",
                  std::string("4 Device Platform=") + c.platform + "/0",
                  "5 Device MAC address=000A5E1B2C3D/1"}));

  // Every probe is in the log, and the camera got its settings back.
  std::vector<std::string> expected = {"action=list", "action=update&video.framerate=15"};
  for (const std::string& probe : c.probes) expected.push_back(probe);
  expected.push_back("action=update&video.framerate=25&video.resolution=2");
  EXPECT_THAT(LoggedQueries(camsim_.HttpPort()), ElementsAreArray(expected));
  EXPECT_EQ(VideoState(camsim_.HttpPort()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PlatformQueryTest,
    ::testing::Values(
        PlatformCase{"AFullHd",
                     {"--platform", "A_TYPE"},
                     "CNB CNB-IXP2050",
                     {"MJPEG", "H.264"},
                     {"352x288@40", "720x576@40", "640x480@40", "1280x720@40", "1280x960@40",
                      "1280x1024@40", "1920x1080@40"},
                     {1000, 200, 83, 40},
                     83,
                     {"8=1", "7=1", "0=1", "1=1", "11=0", "12=0", "2=1", "3=1"},
                     "0",
                     "0",
                     {"action=update&video.resolution=7"}},
        // 1920x1080 refused (no "Success"): the smaller set.
        PlatformCase{"AWithoutFullHd",
                     {"--platform", "A_TYPE", "--max-width", "1280", "--ntsc"},
                     "CNB CNB-IXP2050",
                     {"MJPEG", "H.264"},
                     {"352x240@33", "720x480@33", "640x480@33", "1024x768@33", "1280x1024@33"},
                     {1000, 200, 67, 33},
                     67,
                     {"8=1", "7=1", "0=1", "1=1", "11=0", "12=0", "2=1", "3=1"},
                     "1",
                     "0",
                     {"action=update&video.resolution=7"}},
        PlatformCase{"G",
                     {"--platform", "G_TYPE_V2", "--model", ""},
                     "CNB G_TYPE_V2",
                     {"MJPEG", "MPEG-4", "H.264"},
                     {"320x240@40", "640x480@40", "1024x768@40", "1280x1024@40"},
                     Intervals(25),
                     83,
                     {"8=1", "6=1", "7=1", "0=1", "1=1", "11=0", "12=0", "2=1", "3=1"},
                     "0",
                     "1",
                     {"action=update&video.resolution=9"}},
        PlatformCase{"TWithoutSxga",
                     {"--platform", "T_TYPE", "--max-width", "1024", "--ntsc"},
                     "CNB CNB-IXP2050",
                     {"MPEG-4", "H.264"},
                     {"320x240@33", "640x480@33"},
                     Intervals(30),
                     67,
                     {"6=1", "7=1", "0=1", "1=1", "11=0", "12=0", "2=1", "3=1"},
                     "1",
                     "2",
                     {"action=update&video.resolution=9"}},
        PlatformCase{"X",
                     {"--platform", "X_TYPE"},
                     "CNB CNB-IXP2050",
                     {"MJPEG", "MPEG-4", "H.264"},
                     {"320x240@40", "720x576@40"},
                     Intervals(25),
                     83,
                     {"8=1", "6=1", "7=1", "0=1", "1=1", "11=0", "12=0", "2=1", "3=1"},
                     "0",
                     "3",
                     {}},
        // Known only by its d1 camera type; no PTZ head.
        PlatformCase{"D1CameraType",
                     {"--platform", "Z_TYPE", "--ctype", "d1", "--ptz", "off"},
                     "CNB CNB-IXP2050",
                     {"MJPEG", "MPEG-4", "H.264"},
                     {"320x240@40", "720x576@40"},
                     Intervals(25),
                     83,
                     {"8=1", "6=1", "7=1", "0=1", "11=0", "12=0", "2=1", "3=1"},
                     "0",
                     "3",
                     {}}),
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

}  // namespace
}  // namespace korvane::testing
