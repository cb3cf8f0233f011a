#include "driver/tollivar_driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/host_core_version.h"
#include "channels/codec_channels_rtsp.h"
#include "driver/testing/mock_host_objects.h"
#include "tollivar/capture_driver.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Return;
using testing::FakeDevice;
using testing::RecordingMessageSink;

MATCHER_P2(RecordIs, level, text, "") { return arg.level == level && arg.text == text; }

class TollivarDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { SetHostCoreVersionForTesting(std::nullopt); }
  void TearDown() override { SetHostCoreVersionForTesting(std::nullopt); }

  bool Open() { return driver_.OpenDriver(&sink_, nullptr, device_.Wire()); }

  // The records that arrived after the opened line.
  std::vector<RecordingMessageSink::Record> RecordsAfterOpen() {
    auto records = sink_.Records();
    if (!records.empty()) records.erase(records.begin());
    return records;
  }

  FakeDevice device_;
  RecordingMessageSink sink_;
  CTollivarDriver driver_;
};

TEST_F(TollivarDriverTest, OpenStoresTheDescription) {
  device_.channels = 4;
  device_.inputs = 2;
  device_.outputs = 1;
  device_.address = "cam.example";
  device_.port = 0x10000 + 8081;  // only the low 16 bits count
  device_.codec = ipcapture::kCodecMjpeg;
  ASSERT_TRUE(Open());

  const DEVICE_INFO* info = driver_.GetDeviceInfo();
  EXPECT_EQ(info->address, "cam.example");
  EXPECT_EQ(info->port, 8081);
  EXPECT_EQ(info->userName, "admin");
  EXPECT_EQ(info->password, "secret");
  EXPECT_EQ(info->model, "CNB-IPC2000");
  EXPECT_EQ(info->requestTimeoutMs, 5000u);
  EXPECT_EQ(info->dataTimeoutMs, 15000u);
  EXPECT_EQ(driver_.GetIOCounts(), std::make_pair(2u, 1u));
  EXPECT_EQ(driver_.GetChannelCount(), 4u);
  EXPECT_EQ(driver_.GetCodecType(), ipcapture::kCodecMjpeg);
  EXPECT_EQ(driver_.GetAddressAndPort(), "cam.example:8081");
  EXPECT_EQ(driver_.GetDriverName(), "Tollivar");
  ASSERT_NE(driver_.GetVideoCapture(), nullptr);
  EXPECT_EQ(driver_.GetVideoCapture()->GetChannelCount(), 4u);
  EXPECT_EQ(driver_.GetVideoCaptureEx(), driver_.GetVideoCapture());
}

TEST_F(TollivarDriverTest, HostTextsAreCopied) {
  ASSERT_TRUE(Open());
  device_.address.assign("overwritten-by-host");
  device_.model.assign("changed");
  EXPECT_EQ(driver_.GetDeviceInfo()->address, "127.0.0.1");
  EXPECT_EQ(driver_.GetDeviceInfo()->model, "CNB-IPC2000");
}

TEST_F(TollivarDriverTest, NullHostTextsReadAsEmpty) {
  device_.Wire();
  ON_CALL(device_.connection, GetUserName()).WillByDefault(Return(nullptr));
  ON_CALL(device_.connection, GetPassword()).WillByDefault(Return(nullptr));
  ASSERT_TRUE(driver_.OpenDriver(&sink_, nullptr, &device_.description));
  EXPECT_EQ(driver_.GetDeviceInfo()->userName, "");
  EXPECT_EQ(driver_.GetDeviceInfo()->password, "");
}

TEST_F(TollivarDriverTest, OpenRefusesAMissingDescription) {
  EXPECT_FALSE(driver_.OpenDriver(&sink_, nullptr, nullptr));
  device_.Wire();
  ON_CALL(device_.description, GetModelInfo()).WillByDefault(Return(nullptr));
  EXPECT_FALSE(driver_.OpenDriver(&sink_, nullptr, &device_.description));
  EXPECT_EQ(driver_.GetVideoCapture(), nullptr);
}

TEST_F(TollivarDriverTest, CustomParametersAreReadUntilNull) {
  device_.custom = {"1", "FW 2.4", "8554", "(none)", "(none) "};
  ASSERT_TRUE(Open());
  EXPECT_EQ(driver_.GetCustomParameterInt(kParamRtspPort), 8554);
  EXPECT_EQ(driver_.GetCustomParameter(kParamFirmware), "FW 2.4");
  EXPECT_EQ(driver_.GetCustomParameter(4), "");
  EXPECT_EQ(driver_.GetCustomParameterInt(4), kCustomParameterAbsent);
  EXPECT_EQ(driver_.GetCustomParameter(5), "(none) ");
  EXPECT_EQ(driver_.GetCustomParameter(6), "");
  EXPECT_EQ(driver_.GetCustomParameterInt(6), kCustomParameterAbsent);
}

TEST_F(TollivarDriverTest, NoCustomParametersLeavesEveryKeyAbsent) {
  ASSERT_TRUE(Open());
  for (std::int32_t key = 1; key <= 5; ++key) {
    EXPECT_EQ(driver_.GetCustomParameter(key), "") << key;
    EXPECT_EQ(driver_.GetCustomParameterInt(key), kCustomParameterAbsent) << key;
  }
  EXPECT_FALSE(driver_.GetOptionFlag());
}

TEST_F(TollivarDriverTest, ADescriptionThatNeverEndsIsCutOff) {
  device_.Wire();
  ON_CALL(device_.description, GetCustomParameter(::testing::_)).WillByDefault(Return("x"));
  ASSERT_TRUE(driver_.OpenDriver(&sink_, nullptr, &device_.description));
  EXPECT_EQ(driver_.GetCustomParameter(CIPCaptureDriver::kMaxCustomParameters), "x");
  EXPECT_EQ(driver_.GetCustomParameter(CIPCaptureDriver::kMaxCustomParameters + 1), "");
}

struct OptionCase {
  const char* text;
  bool expected;
};

class OptionFlagTest : public TollivarDriverTest,
                       public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionFlagTest, FollowsCustomParameterOne) {
  device_.custom = {GetParam().text};
  ASSERT_TRUE(Open());
  EXPECT_EQ(driver_.GetOptionFlag(), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Table, OptionFlagTest,
                         ::testing::Values(OptionCase{"0", false}, OptionCase{"7", true},
                                           OptionCase{"-1", true}, OptionCase{"+0", false},
                                           OptionCase{"abc", false}, OptionCase{"-", false},
                                           OptionCase{"(none)", false}, OptionCase{"", false}));

TEST_F(TollivarDriverTest, OpenedLineWithFirmware) {
  device_.custom = {"0", "v1.2.3"};
  device_.address = "10.0.0.5";
  device_.port = 80;
  ASSERT_TRUE(Open());
  EXPECT_THAT(sink_.Records(),
              ElementsAre(RecordIs(3, "DRIVER IS OPENED (name: Tollivar, device model: "
                                      "CNB-IPC2000, FW: v1.2.3, address: 10.0.0.5:80)")));
}

TEST_F(TollivarDriverTest, OpenedLineWithoutFirmware) {
  for (const char* firmware : {"", "(none)"}) {
    RecordingMessageSink sink;
    CTollivarDriver driver;
    FakeDevice device;
    device.custom = {"0", firmware};
    ASSERT_TRUE(driver.OpenDriver(&sink, nullptr, device.Wire()));
    EXPECT_THAT(sink.Records(),
                ElementsAre(RecordIs(3, "DRIVER IS OPENED (name: Tollivar, device model: "
                                        "CNB-IPC2000, address: 127.0.0.1:8080)")))
        << "firmware \"" << firmware << "\"";
  }
}

TEST_F(TollivarDriverTest, NoOpenedLineWithoutModel) {
  device_.model = "";
  ASSERT_TRUE(Open());
  EXPECT_THAT(sink_.Records(), IsEmpty());
}

TEST_F(TollivarDriverTest, HostTextIsNeverAFormat) {
  device_.model = "%s%n%x";
  device_.custom = {"0", "%d%%"};
  ASSERT_TRUE(Open());
  EXPECT_THAT(sink_.Records(),
              ElementsAre(RecordIs(3, "DRIVER IS OPENED (name: Tollivar, device model: "
                                      "%s%n%x, FW: %d%%, address: 127.0.0.1:8080)")));
}

TEST_F(TollivarDriverTest, NothingIsSentBeforeOpen) {
  driver_.DebugMessage(1, "%s: early", "korvane::Test");  // must not crash either
  ASSERT_TRUE(Open());
  EXPECT_EQ(sink_.Records().size(), 1u);  // the opened line only
}

struct LevelCase {
  std::optional<HostCoreVersion> host;  // nothing: the version cannot be read
  int level;
  std::optional<int> arrives;           // nothing: never reaches the host
};

class LevelMappingTest : public TollivarDriverTest,
                         public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LevelMappingTest, MapsLevelForHost) {
  SetHostCoreVersionForTesting(GetParam().host);
  ASSERT_TRUE(Open());
  driver_.DebugMessage(GetParam().level, "%s: value %d", "korvane::Test::Run", 42);
  const auto records = RecordsAfterOpen();
  if (GetParam().arrives) {
    EXPECT_THAT(records, ElementsAre(RecordIs(*GetParam().arrives,
                                              "korvane::Test::Run: value 42")));
  } else {
    EXPECT_THAT(records, IsEmpty());
  }
}

constexpr HostCoreVersion kHost5_11{5, 11, 3, 0};
constexpr HostCoreVersion kHost5_12{5, 12, 0, 0};
constexpr HostCoreVersion kHost4_20{4, 20, 0, 0};
constexpr HostCoreVersion kHost6_0{6, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Table, LevelMappingTest,
    ::testing::Values(LevelCase{kHost5_11, 3, 2}, LevelCase{kHost5_11, 1, 1},
                      LevelCase{kHost5_11, 2, 2}, LevelCase{kHost5_11, 4, std::nullopt},
                      LevelCase{kHost4_20, 3, 2}, LevelCase{kHost5_12, 3, 3},
                      LevelCase{kHost6_0, 3, 3}, LevelCase{kHost5_12, 4, std::nullopt},
                      LevelCase{std::nullopt, 3, 3}, LevelCase{std::nullopt, 1, 1},
                      LevelCase{std::nullopt, 4, std::nullopt},
                      // Only the low four bits of the level are sent.
                      LevelCase{kHost5_12, 0x13, 3}, LevelCase{kHost5_11, 0x13, 2}));

TEST_F(TollivarDriverTest, OldHostGetsOpenedLineAsWarning) {
  SetHostCoreVersionForTesting(kHost5_11);
  ASSERT_TRUE(Open());
  ASSERT_EQ(sink_.Records().size(), 1u);
  EXPECT_EQ(sink_.Records()[0].level, 2);
  EXPECT_EQ(driver_.GetHostCoreVersion(), kHost5_11);
}

TEST_F(TollivarDriverTest, UnreadableVersionIsAssumedCurrent) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(driver_.GetHostCoreVersion(), (HostCoreVersion{5, 12, 0, 0}));
}

TEST_F(TollivarDriverTest, LongMessagesArriveWhole) {
  ASSERT_TRUE(Open());
  const std::string long_text(10000, 'x');
  driver_.DebugMessage(1, "%s: %s", "korvane::Test", long_text.c_str());
  const auto records = RecordsAfterOpen();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "korvane::Test: " + long_text);
}

TEST_F(TollivarDriverTest, EmptyMessageArrivesAsNullText) {
  ASSERT_TRUE(Open());
  driver_.DebugMessage(2, "%s", "");
  const auto records = RecordsAfterOpen();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].text_was_null);
}

TEST_F(TollivarDriverTest, DeviceWithoutIOHasNoIOObject) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(driver_.GetIOApi(), nullptr);
}

struct IOCountCase {
  std::uint32_t inputs;
  std::uint32_t outputs;
};

class IOApiTest : public TollivarDriverTest, public ::testing::WithParamInterface<IOCountCase> {};

TEST_P(IOApiTest, ExistsWhenTheDeviceHasInputsOrOutputs) {
  device_.inputs = GetParam().inputs;
  device_.outputs = GetParam().outputs;
  ASSERT_TRUE(Open());
  ICaptureIOApi* io = driver_.GetIOApi();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->GetInputCount(), GetParam().inputs);
  EXPECT_EQ(io->GetOutputCount(), GetParam().outputs);
  EXPECT_TRUE(driver_.CreateIOApi());
  EXPECT_EQ(driver_.GetIOApi(), io);  // one object per driver
  driver_.CloseDriver();
  EXPECT_EQ(driver_.GetIOApi(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, IOApiTest,
                         ::testing::Values(IOCountCase{1, 0}, IOCountCase{0, 1},
                                           IOCountCase{4, 2}));

TEST_F(TollivarDriverTest, ReservedSlotsAnswerNull) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(driver_.Reserved5(), nullptr);
  EXPECT_EQ(driver_.Reserved7(), nullptr);
  EXPECT_EQ(driver_.Reserved10(), nullptr);
  EXPECT_EQ(driver_.Reserved11(), nullptr);
  EXPECT_EQ(driver_.CreateCompanionChannel(0, nullptr), nullptr);
}

TEST_F(TollivarDriverTest, CloseDeletesTheVideoCaptureAndKeepsTheDescription) {
  device_.custom = {"1"};
  ASSERT_TRUE(Open());
  driver_.CloseDriver();
  EXPECT_EQ(driver_.GetVideoCapture(), nullptr);
  EXPECT_EQ(driver_.GetDeviceInfo()->address, "127.0.0.1");
  EXPECT_TRUE(driver_.GetOptionFlag());
  driver_.DebugMessage(1, "%s: after close", "korvane::Test");
  EXPECT_EQ(RecordsAfterOpen().size(), 1u);  // the sink stays
}

TEST_F(TollivarDriverTest, UnknownCodecOpensButStartsNoChannel) {
  device_.codec = 9;
  ASSERT_TRUE(Open());
  testing::FakeChannelSettings settings;
  ::testing::NiceMock<testing::MockFrameSink> frames;
  EXPECT_FALSE(driver_.GetVideoCapture()->StartChannel(0, &frames, settings.Wire()));
}

enum class Expected { kNone, kMjpeg, kMpeg4, kH264 };

struct CodecCase {
  std::int32_t codec;
  Expected channel;
};

class CreateChannelTest : public TollivarDriverTest,
                          public ::testing::WithParamInterface<CodecCase> {};

TEST_P(CreateChannelTest, BuildsTheClassOfTheCodecType) {
  device_.codec = GetParam().codec;
  ASSERT_TRUE(Open());
  ::testing::NiceMock<testing::MockFrameSink> frames;
  std::unique_ptr<ICameraChannel> channel = driver_.CreateChannel(0, &frames);
  switch (GetParam().channel) {
    case Expected::kNone:
      EXPECT_EQ(channel, nullptr);
      break;
    case Expected::kMjpeg:
      EXPECT_NE(dynamic_cast<CMJPEGChannelRTSP*>(channel.get()), nullptr);
      break;
    case Expected::kMpeg4:
      EXPECT_NE(dynamic_cast<CMPEGChannelRTSP*>(channel.get()), nullptr);
      break;
    case Expected::kH264:
      EXPECT_NE(dynamic_cast<CH264ChannelRTSP*>(channel.get()), nullptr);
      break;
  }
  if (channel) {
    EXPECT_EQ(channel->GetState(), 3);  // built, not started
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CreateChannelTest,
                         ::testing::Values(CodecCase{1, Expected::kMjpeg},
                                           CodecCase{2, Expected::kMpeg4},
                                           CodecCase{3, Expected::kH264},
                                           CodecCase{0, Expected::kNone},
                                           CodecCase{4, Expected::kNone},
                                           CodecCase{-1, Expected::kNone}));

TEST(DriverExportsTest, DeleteOfNullDoesNothing) {
  DeleteIPCapture(nullptr);
  DeleteIPCaptureEx(nullptr);
  DeleteIPCaptureEx2(nullptr);
  DeleteIPCaptureEx3(nullptr);
}

TEST(DriverExportsTest, EveryCreateNameGivesAnOpenableDriver) {
  using Create = ipcapture::IIPCaptureDriverEx4* (*)();
  using Delete = void (*)(ipcapture::IIPCaptureDriver*);
  const std::vector<std::pair<Create, Delete>> pairs = {
      {&CreateIPCapture, &DeleteIPCapture},
      {&CreateIPCaptureEx, &DeleteIPCaptureEx},
      {&CreateIPCaptureEx2, &DeleteIPCaptureEx2},
      {&CreateIPCaptureEx3, &DeleteIPCaptureEx3}};
  for (const auto& [create, destroy] : pairs) {
    ipcapture::IIPCaptureDriverEx4* driver = create();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);  // nothing before OpenDriver
    FakeDevice device;
    device.channels = 2;
    RecordingMessageSink sink;
    ASSERT_TRUE(driver->OpenDriver(&sink, nullptr, device.Wire()));
    ASSERT_NE(driver->GetVideoCapture(), nullptr);
    EXPECT_EQ(driver->GetVideoCapture()->GetChannelCount(), 2u);
    ASSERT_NE(driver->GetPTZDriver(), nullptr);
    EXPECT_EQ(driver->GetPTZDriver(), driver->GetPTZDriverEx());
    EXPECT_EQ(sink.Records().size(), 1u);
    destroy(driver);
  }
}

}  // namespace
}  // namespace korvane
