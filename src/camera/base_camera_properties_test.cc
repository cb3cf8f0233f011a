#include "camera/base_camera_properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/recording_capability_results.h"

// What the properties hand to the host's result object, and in which order.
namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::RecordingCapabilityResults;

// Properties set by the test; its own report is one item.
class TestProperties : public CBaseCameraProperties {
 public:
  TestProperties() : CBaseCameraProperties(testing::LoopbackDevice(8080, "admin", "pw"), false) {
    // A completed query of a PAL camera with one codec, one size and two rates.
    manufacturer_ = "CNB";
    model_ = "IXP";
    codecs_ = {3};
    resolutions_ = {{640, 480, 40}};
    frameRates_ = {5, 25};
    completionX_ = completionY_ = completionZ_ = 1;
  }
  bool ReportProperties(ipcapture::ICapabilityResults* results) override {
    return WritePropertyItem(results, 1, "v", 0, "Own");
  }
  bool QueryProperties(int32_t*) override { return true; }

  using CBaseCameraProperties::AddResolution;
  using CBaseCameraProperties::audioInput_;
  using CBaseCameraProperties::audioOutput_;
  using CBaseCameraProperties::capabilities_;
  using CBaseCameraProperties::codecs_;
  using CBaseCameraProperties::completionZ_;
  using CBaseCameraProperties::defaultFrameRate_;
  using CBaseCameraProperties::frameRates_;
  using CBaseCameraProperties::manufacturer_;
  using CBaseCameraProperties::model_;
  using CBaseCameraProperties::ntsc_;
  using CBaseCameraProperties::resolutions_;
  using CBaseCameraProperties::WritePropertyItem;
};

// The whole conversation of a completed query is proven with a CNB camera (CnbReportTest);
// these cover what a CNB camera never has and every step that can fail.

TEST(SaveResultsTest, ModelWithoutManufacturerStandsAlone) {
  TestProperties properties;
  properties.manufacturer_.clear();
  RecordingCapabilityResults results;
  ASSERT_TRUE(SaveResults(&results, properties));
  EXPECT_EQ(results.Lines().front(), "model IXP");
}

TEST(SaveResultsTest, UnknownIntervalTakesTheLargestRateOrTheStandardsRate) {
  struct Case {
    std::set<uint32_t> rates;
    bool ntsc;
    const char* expected;
  };
  for (const Case& c : {Case{{5, 15}, false, "resolution 352x288 352 288 67"},
                        Case{{}, false, "resolution 352x288 352 288 40"},
                        Case{{}, true, "resolution 352x288 352 288 33"}}) {
    TestProperties properties;
    properties.resolutions_ = {{352, 288, 0}};
    properties.frameRates_ = c.rates;
    properties.ntsc_ = c.ntsc;
    RecordingCapabilityResults results;
    SaveResults(&results, properties);  // fails at the empty rate list; the sizes are out
    EXPECT_THAT(results.LinesStartingWith("resolution "), ElementsAre(c.expected));
  }
}

TEST(SaveResultsTest, CapabilityBlockAndAudio) {
  TestProperties properties;
  properties.capabilities_ = {.a = 2, .b = 5, .ptz = false, .c = true, .d = true, .e = false};
  properties.audioInput_.channelCount = 2;
  properties.audioInput_.stereo = true;
  properties.audioOutput_.channelCount = 1;
  RecordingCapabilityResults results;
  ASSERT_TRUE(SaveResults(&results, properties));
  const std::vector<std::string> lines = results.Lines();
  const std::vector<std::string> tail(lines.begin() + 11, lines.end());
  EXPECT_THAT(tail, ElementsAre("capability 5 1", "capability 11 1", "capability 12 0",
                                "capability 2 1", "capability 3 1", "capability 13 5",
                                "capability 15 1", "capability 17 0", "capability 4 2",
                                "item 101 name Audio Input Parameters", "item 101 option 0",
                                "item 101 flag 1", "item 101 value Count=2; IsStereo=1",
                                "item 102 name Audio Output Parameters", "item 102 option 0",
                                "item 102 flag 1", "item 102 value Count=1; IsStereo=0",
                                "item 1 name Own", "item 1 option 0", "item 1 flag 0",
                                "item 1 value v"));
}

TEST(SaveResultsTest, ValueBGoesOutOnlyWithKindOneOrTwo) {
  for (int32_t a : {0, 1, 3}) {
    TestProperties properties;
    properties.capabilities_.a = a;
    properties.capabilities_.b = 4;
    RecordingCapabilityResults results;
    ASSERT_TRUE(SaveResults(&results, properties));
    const auto caps = results.LinesStartingWith("capability 1");
    if (a == 1) {
      EXPECT_THAT(caps, ElementsAre("capability 11 0", "capability 12 0", "capability 13 4",
                                    "capability 14 1", "capability 17 0"));
    } else {
      EXPECT_THAT(caps, ElementsAre("capability 11 0", "capability 12 0")) << a;
    }
  }
}

// Each row breaks one step: the steps before it are written, nothing after it.
struct FailingStepCase {
  const char* name;
  void (*breakIt)(TestProperties&, RecordingCapabilityResults&);
  const char* lastLine;  // the last line written, or "" for none
};

class SaveResultsFailingStepTest : public ::testing::TestWithParam<FailingStepCase> {};

TEST_P(SaveResultsFailingStepTest, StopsAtTheStep) {
  TestProperties properties;
  RecordingCapabilityResults results;
  GetParam().breakIt(properties, results);
  EXPECT_FALSE(SaveResults(&results, properties));
  const std::vector<std::string> lines = results.Lines();
  if (*GetParam().lastLine == '\0') {
    EXPECT_THAT(lines, IsEmpty());
  } else {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), GetParam().lastLine);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SaveResultsFailingStepTest,
    ::testing::Values(
        FailingStepCase{"EmptyModel", [](auto& p, auto&) { p.model_.clear(); }, ""},
        FailingStepCase{"NullConnectionField",
                        [](auto&, auto& r) { r.nullConnectionFields = {3}; }, "field 2 8080"},
        FailingStepCase{"NoCodecs", [](auto& p, auto&) { p.codecs_.clear(); }, "field 4 pw"},
        FailingStepCase{"OnlyUnknownCodecs", [](auto& p, auto&) { p.codecs_ = {0, 4}; },
                        "field 4 pw"},
        FailingStepCase{"QueryNotCompleted", [](auto& p, auto&) { p.completionZ_ = 0; },
                        "capability 7 1"},
        FailingStepCase{"NoResolutions", [](auto& p, auto&) { p.resolutions_.clear(); },
                        "capability 0 1"},
        FailingStepCase{"NullResolutionList",
                        [](auto&, auto& r) { r.nullResolutionList = true; }, "capability 0 1"},
        FailingStepCase{"NoFrameRates", [](auto& p, auto&) { p.frameRates_.clear(); },
                        "resolution 640x480 640 480 40"},
        FailingStepCase{"NullFrameRateList",
                        [](auto&, auto& r) { r.nullFrameRateList = true; },
                        "resolution 640x480 640 480 40"},
        FailingStepCase{"NullAudioItem",
                        [](auto& p, auto& r) {
                          p.audioInput_.channelCount = 1;
                          r.nullPropertyItems = {101};
                        },
                        "capability 4 1"},
        FailingStepCase{"NullOwnItem", [](auto&, auto& r) { r.nullPropertyItems = {1}; },
                        "capability 3 1"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FrameRateCase {
  const char* name;
  std::set<uint32_t> rates;
  uint32_t defaultRate;
  std::vector<std::string> expected;
};

class ReportFrameRatesTest : public ::testing::TestWithParam<FrameRateCase> {};

TEST_P(ReportFrameRatesTest, IntervalsAscendingRatesThenDefault) {
  TestProperties properties;
  properties.frameRates_ = GetParam().rates;
  properties.defaultFrameRate_ = GetParam().defaultRate;
  RecordingCapabilityResults results;
  EXPECT_TRUE(properties.ReportFrameRates(results.GetFrameRateList(1)));
  EXPECT_EQ(results.Lines(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ReportFrameRatesTest,
    ::testing::Values(
        FrameRateCase{"NtscKindA", {30, 15, 5, 1}, 0,
                      {"interval 1000", "interval 200", "interval 67", "interval 33",
                       "default 67"}},
        FrameRateCase{"PalKindA", {25, 12, 5, 1}, 0,
                      {"interval 1000", "interval 200", "interval 83", "interval 40",
                       "default 83"}},
        // Half of 25 is 12: the smallest rate not below it is 15.
        FrameRateCase{"HalfFallsBetweenRates", {5, 15, 25}, 0,
                      {"interval 200", "interval 67", "interval 40", "default 67"}},
        FrameRateCase{"ExplicitDefault", {5, 10, 20}, 7,
                      {"interval 200", "interval 100", "interval 50", "default 100"}},
        FrameRateCase{"DefaultAboveEveryRate", {5, 10}, 11, {"interval 200", "interval 100"}},
        // Half of 1 is 0: the smallest rate.
        FrameRateCase{"SingleRate", {1}, 0, {"interval 1000", "default 1000"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReportFrameRatesTest, NoRatesOrNoListFails) {
  TestProperties properties;
  EXPECT_FALSE(properties.ReportFrameRates(nullptr));
  properties.frameRates_.clear();
  RecordingCapabilityResults results;
  EXPECT_FALSE(properties.ReportFrameRates(results.GetFrameRateList(1)));
  EXPECT_THAT(results.Lines(), IsEmpty());
}

TEST(WritePropertyItemTest, SkipsBadIdsAndNamesAndMarksEmptyValues) {
  RecordingCapabilityResults results;
  EXPECT_TRUE(TestProperties::WritePropertyItem(&results, 0, "x", 1, "Name"));
  EXPECT_TRUE(TestProperties::WritePropertyItem(&results, -3, "x", 1, "Name"));
  EXPECT_TRUE(TestProperties::WritePropertyItem(&results, 4, "x", 1, ""));
  EXPECT_THAT(results.Lines(), IsEmpty());
  EXPECT_TRUE(TestProperties::WritePropertyItem(&results, 4, "", 1, "Name"));
  EXPECT_THAT(results.Lines(), ElementsAre("item 4 name Name", "item 4 option 0",
                                           "item 4 flag 1", "item 4 value (none)"));
}

TEST(AddResolutionTest, RepeatedSizeKeepsItsPlaceAndTheShorterInterval) {
  TestProperties properties;
  properties.resolutions_.clear();
  properties.AddResolution(640, 480, 40);
  properties.AddResolution(320, 240, 40);
  properties.AddResolution(640, 480, 33);  // shorter: taken
  properties.AddResolution(320, 240, 67);  // longer: ignored
  properties.AddResolution(320, 240, 0);   // unknown: ignored
  properties.AddResolution(0, 240, 40);    // no width: not a size
  properties.AddResolution(800, 0, 40);
  EXPECT_THAT(properties.resolutions_,
              ElementsAre(CameraResolution{640, 480, 33}, CameraResolution{320, 240, 40}));
}

}  // namespace
}  // namespace korvane
