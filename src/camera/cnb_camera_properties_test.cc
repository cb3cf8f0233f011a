#include "camera/cnb_camera_properties.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/testing/camera_test_util.h"
#include "camera/testing/fake_cnb_camera.h"
#include "camera/testing/recording_capability_results.h"

// CCNBCameraProperties against scripted parameter lists: how the list is read, which sizes and
// rates each platform gets, the probes, the write-back, and the failure codes.
namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::CnbParamList;
using testing::FakeCnbCamera;
using testing::FakeCnbCameraScript;
using testing::LoopbackDevice;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr int32_t kUntouched = -7;
constexpr char kList[] = "/cgi-bin/Param.cgi?action=list";
constexpr char kWriteTest[] = "/cgi-bin/Param.cgi?action=update&video.framerate=15";

struct Queried {
  std::unique_ptr<CCNBCameraProperties> properties;
  bool ok = false;
  int32_t code = kUntouched;
  std::vector<std::string> targets;
};

Queried Query(FakeCnbCameraScript script, bool initialNtsc = false) {
  FakeCnbCamera camera(std::move(script));
  Queried q;
  q.properties =
      std::make_unique<CCNBCameraProperties>(LoopbackDevice(camera.port()), initialNtsc);
  q.ok = q.properties->QueryProperties(&q.code);
  q.targets = camera.Targets();
  return q;
}

Queried QueryList(const Pairs& pairs, bool initialNtsc = false) {
  FakeCnbCameraScript script;
  script.list = CnbParamList(pairs);
  return Query(std::move(script), initialNtsc);
}

std::vector<std::string> Sizes(const CCNBCameraProperties& p) {
  std::vector<std::string> sizes;
  for (const CameraResolution& r : p.Resolutions()) {
    sizes.push_back(std::to_string(r.width) + "x" + std::to_string(r.height) + "@" +
                    std::to_string(r.frameIntervalMs));
  }
  return sizes;
}

// --- Platform kind -------------------------------------------------------------------------

struct PlatformCase {
  const char* name;
  Pairs list;
  std::optional<int32_t> kind;  // nullopt: the query fails with code 3
};

class PlatformKindTest : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(PlatformKindTest, FromPlatformAndCameraType) {
  const Queried q = QueryList(GetParam().list);
  if (!GetParam().kind) {
    EXPECT_FALSE(q.ok);
    EXPECT_EQ(q.code, 3);
    EXPECT_THAT(q.targets, ElementsAre(kList)) << "nothing is written to an unknown camera";
    return;
  }
  ASSERT_TRUE(q.ok) << q.code;
  EXPECT_EQ(q.properties->PlatformKind(), *GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PlatformKindTest,
    ::testing::Values(
        PlatformCase{"A", {{"sysinfo.platform", "A_TYPE"}}, 0},
        PlatformCase{"GVersion2", {{"sysinfo.platform", "G_TYPE_V2"}}, 1},
        PlatformCase{"T", {{"sysinfo.platform", "xT_TYPE"}}, 2},
        PlatformCase{"X", {{"sysinfo.platform", "X_TYPE"}}, 3},
        // Tested in the order A, G, T, X.
        PlatformCase{"XAndG", {{"sysinfo.platform", "X_TYPE/G_TYPE"}}, 1},
        PlatformCase{"D1CameraType", {{"sysinfo.platform", "Z_TYPE"}, {"ctype", "xd1x"}}, 3},
        PlatformCase{"CifCameraType", {{"sysinfo.platform", "Z_TYPE"}, {"ctype", "cif"}},
                     std::nullopt},
        // The camera type counts only when there is a platform.
        PlatformCase{"CameraTypeWithoutPlatform", {{"ctype", "d1"}}, std::nullopt},
        PlatformCase{"NoPlatform", {{"sysinfo.modelname", "IXP"}}, std::nullopt},
        PlatformCase{"LowerCase", {{"sysinfo.platform", "a_type"}}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Values read from the list -------------------------------------------------------------

TEST(CnbListTest, ModelFallsBackToThePlatformText) {
  Queried q = QueryList({{"sysinfo.platform", "G_TYPE_V2"}});
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.properties->Manufacturer(), "CNB");
  EXPECT_EQ(q.properties->Model(), "G_TYPE_V2");
  q = QueryList({{"sysinfo.modelname", "IXP2050"}, {"sysinfo.platform", "G_TYPE"}});
  EXPECT_EQ(q.properties->Model(), "IXP2050");
  EXPECT_EQ(q.properties->Platform(), "G_TYPE");
}

struct RtspPortCase {
  const char* value;
  int32_t port;
};

class RtspPortTest : public ::testing::TestWithParam<RtspPortCase> {};

TEST_P(RtspPortTest, Read) {
  const Queried q =
      QueryList({{"sysinfo.platform", "X_TYPE"}, {"rtp.rtspport", GetParam().value}});
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.properties->RtspPort(), GetParam().port) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, RtspPortTest,
                         ::testing::Values(RtspPortCase{"8554", 8554}, RtspPortCase{"0", 554},
                                           RtspPortCase{"70000", 554},
                                           RtspPortCase{"65534", 65534},
                                           RtspPortCase{"65535", 554},
                                           RtspPortCase{"8554abc", 8554},
                                           RtspPortCase{"-80", 554},
                                           RtspPortCase{"99999999999999", 554}));

struct StandardCase {
  const char* name;
  Pairs formats;
  bool initialNtsc;
  bool ntsc;
};

class VideoStandardTest : public ::testing::TestWithParam<StandardCase> {};

TEST_P(VideoStandardTest, Read) {
  Pairs list = {{"sysinfo.platform", "X_TYPE"}};
  list.insert(list.end(), GetParam().formats.begin(), GetParam().formats.end());
  const Queried q = QueryList(list, GetParam().initialNtsc);
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.properties->IsNtsc(), GetParam().ntsc);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VideoStandardTest,
    ::testing::Values(
        StandardCase{"OutputNtsc", {{"condition.outputformat", "1"}}, false, true},
        // The output format is not empty, so the input format is not read.
        StandardCase{"OutputPalWinsOverInput",
                     {{"condition.outputformat", "0"}, {"condition.inputformat", "1"}}, true,
                     false},
        StandardCase{"InputWhenNoOutput", {{"condition.inputformat", "1"}}, false, true},
        StandardCase{"EmptyOutputReadsInput",
                     {{"condition.outputformat", ""}, {"condition.inputformat", "1"}}, false,
                     true},
        StandardCase{"AnyTextWithAOne", {{"condition.outputformat", "NTSC-1"}}, false, true},
        // A successful list read always decides, whatever the host assumed.
        StandardCase{"NoFormatsIsPal", {}, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct FirmwareCase {
  const char* name;
  Pairs parts;
  const char* text;
};

class FirmwareTest : public ::testing::TestWithParam<FirmwareCase> {};

TEST_P(FirmwareTest, Composed) {
  Pairs list = {{"sysinfo.platform", "X_TYPE"}};
  list.insert(list.end(), GetParam().parts.begin(), GetParam().parts.end());
  const Queried q = QueryList(list);
  ASSERT_TRUE(q.ok);
  EXPECT_EQ(q.properties->Firmware(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, FirmwareTest,
    ::testing::Values(
        FirmwareCase{"KernelOnly", {{"firmware.kern", "2.1"}}, " kernel: 2.1"},
        // Always in this order, whatever the order of the list.
        FirmwareCase{"AllFive",
                     {{"firmware.view", "v"},
                      {"firmware.locl", "l"},
                      {"firmware.root", "r"},
                      {"firmware.kern", "k"},
                      {"firmware.boot", "b"}},
                     "boot: b kernel: k root: r local: l view: v"},
        FirmwareCase{"EmptyValuesSkipped", {{"firmware.boot", ""}, {"firmware.root", "3"}},
                     " root: 3"},
        FirmwareCase{"None", {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CnbListTest, MacAddressAndPtz) {
  Queried q = QueryList({{"sysinfo.platform", "X_TYPE"},
                         {"network.ethaddress", "00:0a:5e:1b:2c:3d"},
                         {"ptzcfg.cameraid", "1"}});
  EXPECT_EQ(q.properties->MacAddress(), "000A5E1B2C3D");
  EXPECT_TRUE(q.properties->Capabilities().ptz);
  q = QueryList({{"sysinfo.platform", "X_TYPE"}, {"ptzcfg.cameraid", ""}});
  EXPECT_EQ(q.properties->MacAddress(), "");
  EXPECT_FALSE(q.properties->Capabilities().ptz);
}

// --- Codecs, sizes and rates per platform --------------------------------------------------

struct PlatformMediaCase {
  const char* name;
  const char* platform;
  bool ntsc;
  std::set<int> accepted;  // resolution indexes the camera accepts
  std::set<uint32_t> codecs;
  std::vector<std::string> sizes;
  std::vector<uint32_t> rates;
  std::vector<std::string> probes;  // resolution updates sent, in order
};

std::vector<uint32_t> Range(uint32_t last) {
  std::vector<uint32_t> rates;
  for (uint32_t r = 1; r <= last; ++r) rates.push_back(r);
  return rates;
}

class PlatformMediaTest : public ::testing::TestWithParam<PlatformMediaCase> {};

TEST_P(PlatformMediaTest, CodecsSizesRatesAndProbes) {
  const PlatformMediaCase& c = GetParam();
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.platform", c.platform},
                              {"condition.outputformat", c.ntsc ? "1" : "0"},
                              {"video.framerate", "20"},
                              {"video.resolution", "2"}});
  script.acceptedResolutions = c.accepted;
  const Queried q = Query(script);
  ASSERT_TRUE(q.ok) << q.code;
  EXPECT_EQ(q.properties->Codecs(), c.codecs);
  EXPECT_THAT(Sizes(*q.properties), ElementsAreArray(c.sizes));
  EXPECT_THAT(q.properties->FrameRates(), ElementsAreArray(c.rates));
  EXPECT_EQ(q.properties->CompletionX(), 1);
  EXPECT_EQ(q.properties->CompletionY(), 1);
  EXPECT_EQ(q.properties->CompletionZ(), 1);

  std::vector<std::string> expected = {kList, kWriteTest};
  for (const std::string& probe : c.probes) {
    expected.push_back("/cgi-bin/Param.cgi?action=update&video.resolution=" + probe);
  }
  // The camera is put back as the list showed it.
  expected.push_back("/cgi-bin/Param.cgi?action=update&video.framerate=20&video.resolution=2");
  EXPECT_THAT(q.targets, ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, PlatformMediaTest,
    ::testing::Values(
        PlatformMediaCase{"APalFullHd",
                          "A_TYPE",
                          false,
                          {1, 2, 3, 4, 5, 6, 7, 9},
                          {1, 3},
                          {"352x288@40", "720x576@40", "640x480@40", "1280x720@40",
                           "1280x960@40", "1280x1024@40", "1920x1080@40"},
                          {1, 5, 12, 25},
                          {"7"}},
        // A camera that answers the 1920x1080 probe without "Success".
        PlatformMediaCase{"ANtscNoFullHd",
                          "A_TYPE",
                          true,
                          {1, 2, 3, 4, 9},
                          {1, 3},
                          {"352x240@33", "720x480@33", "640x480@33", "1024x768@33",
                           "1280x1024@33"},
                          {1, 5, 15, 30},
                          {"7"}},
        PlatformMediaCase{"GPalSxga",
                          "G_TYPE",
                          false,
                          {1, 2, 9},
                          {1, 2, 3},
                          {"320x240@40", "640x480@40", "1024x768@40", "1280x1024@40"},
                          Range(25),
                          {"9"}},
        PlatformMediaCase{"TNtscNoSxga",
                          "T_TYPE",
                          true,
                          {1, 2},
                          {2, 3},
                          {"320x240@33", "640x480@33"},
                          Range(30),
                          {"9"}},
        PlatformMediaCase{"XPalNoProbe",
                          "X_TYPE",
                          false,
                          {},
                          {1, 2, 3},
                          {"320x240@40", "720x576@40"},
                          Range(25),
                          {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Write-back ----------------------------------------------------------------------------

TEST(CnbWriteBackTest, OnlyListedNumbersGoBack) {
  struct Case {
    Pairs video;
    const char* restore;  // "" for none
  };
  for (const Case& c : {
           Case{{}, ""},
           Case{{{"video.framerate", "12"}}, "&video.framerate=12"},
           Case{{{"video.resolution", "9"}}, "&video.resolution=9"},
           // The camera's own text is never sent back in a request.
           Case{{{"video.framerate", "12&video.codec=1"}, {"video.resolution", "0"}}, ""},
       }) {
    Pairs list = {{"sysinfo.platform", "X_TYPE"}};
    list.insert(list.end(), c.video.begin(), c.video.end());
    const Queried q = QueryList(list);
    ASSERT_TRUE(q.ok);
    std::vector<std::string> expected = {kList, kWriteTest};
    if (*c.restore != '\0') {
      expected.push_back(std::string("/cgi-bin/Param.cgi?action=update") + c.restore);
    }
    EXPECT_THAT(q.targets, ElementsAreArray(expected)) << c.restore;
  }
}

// --- Failures ------------------------------------------------------------------------------

TEST(CnbFailureTest, RefusedWriteTestIsALoginFailureWithoutProbes) {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.platform", "A_TYPE"}, {"video.framerate", "25"}});
  script.updateStatus = 401;
  const Queried q = Query(script);
  EXPECT_FALSE(q.ok);
  EXPECT_EQ(q.code, 1);
  // The refused update changed nothing, so nothing is written back either.
  EXPECT_THAT(q.targets, ElementsAre(kList, kWriteTest));
  EXPECT_TRUE(q.properties->Codecs().empty());
}

// --- Stop ----------------------------------------------------------------------------------

TEST(CnbStopTest, StopCutsTheHangingProbeAndLeavesTheCodeAlone) {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.platform", "A_TYPE"}, {"video.framerate", "25"}});
  script.hangOn = "video.resolution=";
  FakeCnbCamera camera(script);
  // A long request time-out: only the stop can end the wait early.
  CCNBCameraProperties properties(LoopbackDevice(camera.port(), "admin", "secret", 30000), false);
  std::thread stopper([&] {
    while (camera.Targets().size() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    properties.Stop();
  });
  int32_t code = kUntouched;
  bool ok = true;
  const int64_t elapsed = testing::MeasureMs([&] { ok = properties.QueryProperties(&code); });
  stopper.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, kUntouched);
  EXPECT_LT(elapsed, 10000);
  EXPECT_TRUE(properties.IsStopped());
  // The probe may have taken effect: the listed frame rate goes back even after the stop.
  EXPECT_THAT(camera.Targets(),
              ElementsAre(kList, kWriteTest, ::testing::HasSubstr("video.resolution="),
                          "/cgi-bin/Param.cgi?action=update&video.framerate=25"));
}

TEST(CnbStopTest, StopDuringTheWriteTestIsNoLoginFailure) {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.platform", "G_TYPE"}});
  script.hangOn = "video.framerate=15";
  FakeCnbCamera camera(script);
  CCNBCameraProperties properties(LoopbackDevice(camera.port(), "admin", "secret", 30000), false);
  std::thread stopper([&] {
    while (camera.Targets().size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    properties.Stop();
  });
  int32_t code = kUntouched;
  EXPECT_FALSE(properties.QueryProperties(&code));
  stopper.join();
  EXPECT_EQ(code, kUntouched);
}

// --- Report --------------------------------------------------------------------------------

TEST(CnbReportTest, CompletedQueryGivesTheWholeConversation) {
  FakeCnbCameraScript script;
  script.list = CnbParamList({{"sysinfo.modelname", "IXP2050"},
                              {"sysinfo.platform", "X_TYPE"},
                              {"firmware.kern", "2.1"},
                              {"rtp.rtspport", "8554"},
                              {"condition.outputformat", "1"},
                              {"ptzcfg.cameraid", "1"}});
  Queried q = Query(script);
  ASSERT_TRUE(q.ok);
  testing::RecordingCapabilityResults results;
  ASSERT_TRUE(SaveResults(&results, *q.properties));
  std::vector<std::string> expected = {
      "model CNB IXP2050", "field 1 127.0.0.1", "field 2 " + std::to_string(q.properties->Device().port),
      "field 3 admin", "field 4 secret", "capability 8 1", "capability 6 1", "capability 7 1",
      "capability 0 1", "resolution 320x240 320 240 33", "resolution 720x480 720 480 33"};
  // 1000 / rate, rounded, for 1 to 30 frames per second.
  for (int interval : {1000, 500, 333, 250, 200, 167, 143, 125, 111, 100, 91, 83, 77, 71, 67,
                       63,   59,  56,  53,  50,  48,  45,  43,  42,  40,  38, 37, 36, 34, 33}) {
    expected.push_back("interval " + std::to_string(interval));
  }
  expected.insert(expected.end(), {
      "default 67",  // 15 fps, half of 30
      "capability 1 1", "capability 11 0", "capability 12 0", "capability 2 1", "capability 3 1",
      "item 1 name Device Video Standard", "item 1 option 0", "item 1 flag 0", "item 1 value 1",
      "item 2 name Device Firmware", "item 2 option 0", "item 2 flag 1",
      "item 2 value  kernel: 2.1",
      "item 3 name RTSP port", "item 3 option 0", "item 3 flag 0", "item 3 value 8554",
      "item 4 name Device Platform", "item 4 option 0", "item 4 flag 0", "item 4 value 3",
      "item 5 name Device MAC address", "item 5 option 0", "item 5 flag 1",
      "item 5 value (none)"});
  EXPECT_THAT(results.Lines(), ElementsAreArray(expected));
}

TEST(CnbReportTest, NullItemEndsTheReport) {
  const Queried q = QueryList({{"sysinfo.platform", "X_TYPE"}});
  testing::RecordingCapabilityResults results;
  results.nullPropertyItems = {3};
  EXPECT_FALSE(q.properties->ReportProperties(&results));
  EXPECT_EQ(results.Lines().back(), "item 2 value (none)");
}

}  // namespace
}  // namespace korvane
