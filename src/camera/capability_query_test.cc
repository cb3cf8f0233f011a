#include "camera/capability_query.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/fake_cnb_camera.h"
#include "camera/testing/recording_capability_results.h"

// The query service behind the four entry points: the cycle, the outcome reported for each kind
// of failure, and stopping a query from the host's threads.
namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::CnbParamList;
using testing::FakeCnbCamera;
using testing::FakeCnbCameraScript;
using testing::MeasureMs;
using testing::QueryOutcome;
using testing::RecordingCapabilityResults;
using testing::RecordingQueryEvents;

constexpr int kOutcomeWaitMs = 20000;

FakeCnbCameraScript XCamera() {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.modelname", "IXP"}, {"sysinfo.platform", "X_TYPE"}});
  return script;
}

// A port where nobody listens.
uint16_t ClosedPort() {
  FakeCnbCamera gone(FakeCnbCameraScript{});
  return gone.port();
}

struct Cycle {
  RecordingQueryEvents events;
  RecordingCapabilityResults results;
  CCapabilityQuery query;  // last: destroyed (and joined) first

  // Init, Start and the outcome.
  QueryOutcome Run(const char* address, uint16_t port, const char* user = "admin",
                   const char* password = "secret") {
    EXPECT_EQ(query.Init(&events, 0), 1);
    EXPECT_EQ(query.Start(address, port, user, password, &results), 1);
    auto outcome = events.WaitForOutcome(kOutcomeWaitMs);
    EXPECT_TRUE(outcome.has_value()) << "no outcome reported";
    return outcome.value_or(QueryOutcome{});
  }
};

TEST(CapabilityQueryTest, OneQueryPerCycle) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  ASSERT_TRUE(cycle.Run("127.0.0.1", camera.port()).completed);
  EXPECT_EQ(cycle.results.Lines().front(), "model CNB IXP");
  // Finished, but the cycle has not ended.
  EXPECT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 0);
  cycle.query.Uninit();
  // Ended: no query until the next Init.
  EXPECT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 0);
  RecordingQueryEvents second;
  EXPECT_EQ(cycle.query.Init(&second, 0), 1);
  EXPECT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  ASSERT_TRUE(second.WaitForOutcome(kOutcomeWaitMs).has_value());
  EXPECT_TRUE(second.Outcomes()[0].completed);
  cycle.query.Uninit();
  EXPECT_EQ(cycle.events.Outcomes().size(), 1u) << "one outcome per query";
  EXPECT_FALSE(cycle.query.HasThread());
}

TEST(CapabilityQueryTest, SecondInitKeepsTheFirstCallback) {
  FakeCnbCamera camera(XCamera());
  RecordingQueryEvents first;
  RecordingQueryEvents second;
  RecordingCapabilityResults results;
  CCapabilityQuery query;
  EXPECT_EQ(query.Init(&first, 0), 1);
  EXPECT_EQ(query.Init(&second, 1), 0);
  ASSERT_EQ(query.Start("127.0.0.1", camera.port(), "admin", "secret", &results), 1);
  EXPECT_TRUE(first.WaitForOutcome(kOutcomeWaitMs).has_value());
  query.Uninit();
  EXPECT_THAT(second.Outcomes(), IsEmpty());
}

TEST(CapabilityQueryTest, StartRefusesWhatCannotBeAQuery) {
  RecordingCapabilityResults results;
  RecordingQueryEvents events;
  CCapabilityQuery query;
  EXPECT_EQ(query.Start("127.0.0.1", 80, "u", "p", &results), 0) << "no Init";
  ASSERT_EQ(query.Init(&events, 0), 1);
  EXPECT_EQ(query.Start(nullptr, 80, "u", "p", &results), 0);
  EXPECT_EQ(query.Start("127.0.0.1", 80, nullptr, "p", &results), 0);
  EXPECT_EQ(query.Start("127.0.0.1", 80, "u", nullptr, &results), 0);
  EXPECT_EQ(query.Start("", 80, "u", "p", &results), 0);
  EXPECT_EQ(query.Start("127.0.0.1", 0, "u", "p", &results), 0);
  EXPECT_EQ(query.Start("127.0.0.1", 0x10000, "u", "p", &results), 0) << "low 16 bits are 0";
  EXPECT_FALSE(query.HasThread());
  query.Uninit();
  EXPECT_THAT(events.Outcomes(), IsEmpty());
}

TEST(CapabilityQueryTest, PortIsItsLowSixteenBitsAndEmptyCredentialsSendNone) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  ASSERT_EQ(cycle.query.Init(&cycle.events, 0), 1);
  const int32_t port = 0x50000 | camera.port();
  ASSERT_EQ(cycle.query.Start("127.0.0.1", port, "", "", &cycle.results), 1);
  ASSERT_TRUE(cycle.events.WaitForOutcome(kOutcomeWaitMs).has_value());
  cycle.query.Uninit();
  EXPECT_TRUE(cycle.events.Outcomes()[0].completed);
  for (const auto& request : camera.Requests()) {
    EXPECT_EQ(request.Header("Authorization"), "") << request.target;
  }
}

struct FailureCase {
  const char* name;
  FakeCnbCameraScript script;
  int32_t code;
  const char* message;
};

class CapabilityQueryFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CapabilityQueryFailureTest, ReportsCodeAndMessage) {
  FakeCnbCamera camera(GetParam().script);
  Cycle cycle;
  const QueryOutcome outcome = cycle.Run("127.0.0.1", camera.port());
  cycle.query.Uninit();
  EXPECT_FALSE(outcome.completed);
  EXPECT_EQ(outcome.code, GetParam().code);
  EXPECT_EQ(outcome.message, GetParam().message);
  EXPECT_EQ(cycle.events.Outcomes().size(), 1u);
}

FakeCnbCameraScript WithListStatus(int status) {
  FakeCnbCameraScript script = XCamera();
  script.listStatus = status;
  return script;
}

FakeCnbCameraScript WithUpdateStatus(int status) {
  FakeCnbCameraScript script = XCamera();
  script.updateStatus = status;
  return script;
}

// A list with only this platform; null: an empty list.
FakeCnbCameraScript WithList(const char* platform) {
  FakeCnbCameraScript script;
  if (platform != nullptr) script.list = CnbParamList({{"sysinfo.platform", platform}});
  return script;
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, CapabilityQueryFailureTest,
    ::testing::Values(
        FailureCase{"ListNotFound", WithListStatus(404), 3, "Failed to get camera properties"},
        FailureCase{"ListEmpty", WithList(nullptr), 3, "Failed to get camera properties"},
        FailureCase{"ListUnauthorized", WithListStatus(401), 1,
                    "Failed to get camera properties, login failed (invalid credentials)"},
        FailureCase{"ListForbidden", WithListStatus(403), 1,
                    "Failed to get camera properties, login failed (invalid credentials)"},
        FailureCase{"WriteRefused", WithUpdateStatus(403), 1,
                    "Failed to get camera properties, login failed (invalid credentials)"},
        FailureCase{"UnknownPlatform", WithList("Z_TYPE"), 3, "Failed to get camera properties"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CapabilityQueryTest, CameraThatCannotBeReachedIsOffline) {
  Cycle cycle;
  const QueryOutcome outcome = cycle.Run("127.0.0.1", ClosedPort());
  cycle.query.Uninit();
  EXPECT_EQ(outcome.code, 2);
  EXPECT_EQ(outcome.message,
            "Failed to get camera properties, device is offline or is in unaccessible subnet");
}

TEST(CapabilityQueryTest, InvalidAddressesAreRefusedWithoutTraffic) {
  const std::string invalid = "@#$%^&*(){}[]/\\+=|:;,~'\"!?";
  for (const char c : invalid) {
    const std::string address = std::string("127.0.0.1") + c;
    Cycle cycle;
    const QueryOutcome outcome = cycle.Run(address.c_str(), 80);
    cycle.query.Uninit();
    EXPECT_EQ(outcome.code, 0) << address;
    EXPECT_EQ(outcome.message, "Camera address is invalid!");
  }
  EXPECT_EQ(invalid.size(), 26u);
  EXPECT_FALSE(CCapabilityQuery::IsInvalidAddress("cam-7.example_site"));
}

TEST(CapabilityQueryTest, MissingResultsObjectIsAnInternalError) {
  RecordingQueryEvents events;
  CCapabilityQuery query;
  query.Init(&events, 0);
  ASSERT_EQ(query.Start("127.0.0.1", 80, "u", "p", nullptr), 1);
  const auto outcome = events.WaitForOutcome(kOutcomeWaitMs);
  query.Uninit();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->code, 3);
  EXPECT_EQ(outcome->message,
            "Failed to start capability fetching thread. Internal error occurs");
}

TEST(CapabilityQueryTest, HostObjectThatFailsAStepFailsTheSave) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  cycle.results.nullResolutionList = true;
  const QueryOutcome outcome = cycle.Run("127.0.0.1", camera.port());
  cycle.query.Uninit();
  EXPECT_EQ(outcome.code, 3);
  EXPECT_EQ(outcome.message, "Failed to save capability query results");
}

TEST(CapabilityQueryTest, HostExceptionIsReportedNotPropagated) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  cycle.results.throwOnModelName = true;
  const QueryOutcome outcome = cycle.Run("127.0.0.1", camera.port());
  cycle.query.Uninit();
  EXPECT_EQ(outcome.code, 3);
  EXPECT_EQ(outcome.message, "Failed to get camera properties. Unhandled exception occurs.");
}

// --- Stopping --------------------------------------------------------------------------------

FakeCnbCameraScript HangingProbeCamera() {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.platform", "A_TYPE"}, {"video.framerate", "25"}});
  script.hangOn = "video.resolution=";
  return script;
}

void WaitForRequests(const FakeCnbCamera& camera, size_t count) {
  for (int i = 0; i < 2000 && camera.Targets().size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(camera.Targets().size(), count);
}

TEST(CapabilityQueryStopTest, TerminateDuringAProbeReturnsAtOnceAndReportsCode3) {
  FakeCnbCamera camera(HangingProbeCamera());
  Cycle cycle;
  ASSERT_EQ(cycle.query.Init(&cycle.events, 0), 1);
  ASSERT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  WaitForRequests(camera, 3);  // list, write test, the probe that hangs
  int32_t result = 0;
  EXPECT_LT(MeasureMs([&] { result = cycle.query.Terminate(); }), 1000);
  EXPECT_EQ(result, 1);
  const auto outcome = cycle.events.WaitForOutcome(4000);  // far below the 5 s request time-out
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->code, 3);
  EXPECT_EQ(outcome->message, "Failed to get camera properties");
  EXPECT_THAT(cycle.results.Lines(), IsEmpty());
  cycle.query.Uninit();
}

TEST(CapabilityQueryStopTest, UninitDuringAQueryJoinsWithinItsBound) {
  FakeCnbCamera camera(HangingProbeCamera());
  Cycle cycle;
  ASSERT_EQ(cycle.query.Init(&cycle.events, 0), 1);
  ASSERT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  WaitForRequests(camera, 3);
  EXPECT_TRUE(cycle.query.HasThread());
  EXPECT_LT(MeasureMs([&] { EXPECT_EQ(cycle.query.Uninit(), 1); }), 5000);
  EXPECT_FALSE(cycle.query.HasThread());
  // The outcome came before Uninit returned, and nothing after it.
  ASSERT_EQ(cycle.events.Outcomes().size(), 1u);
  EXPECT_EQ(cycle.events.Outcomes()[0].code, 3);
}

TEST(CapabilityQueryStopTest, TerminateWithoutAQueryDoesNotStopTheNextOne) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  ASSERT_EQ(cycle.query.Init(&cycle.events, 0), 1);
  EXPECT_EQ(cycle.query.Terminate(), 1);
  ASSERT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  const auto outcome = cycle.events.WaitForOutcome(kOutcomeWaitMs);
  cycle.query.Uninit();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->completed);
}

TEST(CapabilityQueryStopTest, UninitFromTheCallbackEndsTheCycle) {
  FakeCnbCamera camera(XCamera());
  Cycle cycle;
  std::promise<void> ended;
  cycle.events.onOutcome = [&] {
    EXPECT_EQ(cycle.query.Uninit(), 1);
    ended.set_value();
  };
  ASSERT_EQ(cycle.query.Init(&cycle.events, 0), 1);
  ASSERT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  ASSERT_EQ(ended.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  // A new cycle from the host's thread joins the old thread first.
  RecordingQueryEvents next;
  ASSERT_EQ(cycle.query.Init(&next, 0), 1);
  ASSERT_EQ(cycle.query.Start("127.0.0.1", camera.port(), "admin", "secret", &cycle.results), 1);
  EXPECT_TRUE(next.WaitForOutcome(kOutcomeWaitMs).has_value());
  cycle.query.Uninit();
  EXPECT_FALSE(cycle.query.HasThread());
}

}  // namespace
}  // namespace korvane
