#include "driver/ip_video_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/testing/mock_host_objects.h"

namespace korvane {
namespace {

using ::testing::_;
using ::testing::AllOf;
using ::testing::Field;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Pointee;
using ::testing::Return;
using ::testing::StrictMock;

class MockCameraChannel : public ICameraChannel {
 public:
  ~MockCameraChannel() override { Die(); }
  MOCK_METHOD(void, Die, ());
  MOCK_METHOD(bool, Start, (const ChannelSettings* settings), (override));
  MOCK_METHOD(void, Stop, (), (override));
  MOCK_METHOD(bool, ChangeSettings, (const ChannelSettings* settings), (override));
  MOCK_METHOD(bool, QueryExtensionA, (), (override));
  MOCK_METHOD(bool, QueryExtensionB, (), (override));
  MOCK_METHOD(std::int32_t, GetState, (), (override));
  MOCK_METHOD(std::string, GetFailureText, (), (override));
};

class MockCompanion : public ICompanionChannel {
 public:
  ~MockCompanion() override { Die(); }
  MOCK_METHOD(void, Die, ());
  MOCK_METHOD(bool, Start, (), (override));
  MOCK_METHOD(void, Stop, (), (override));
};

class MockCreator : public ICustomCreator {
 public:
  MOCK_METHOD(std::unique_ptr<ICameraChannel>, CreateChannel,
              (std::uint32_t index, ipcapture::IFrameSink* sink), (override));
  MOCK_METHOD(std::unique_ptr<ICompanionChannel>, CreateCompanionChannel,
              (std::uint32_t index, ipcapture::IFrameSink* sink), (override));
};

class VideoCaptureTest : public ::testing::Test {
 protected:
  // A started channel whose Start answers `start_result`; the pointer stays owned by the
  // capture object.
  MockCameraChannel* StartWithChannel(std::uint32_t index, bool start_result = true) {
    auto channel = std::make_unique<NiceMock<MockCameraChannel>>();
    MockCameraChannel* raw = channel.get();
    ON_CALL(*raw, Start(_)).WillByDefault(Return(start_result));
    EXPECT_CALL(creator_, CreateChannel(index, &sink_))
        .WillOnce(Return(::testing::ByMove(std::move(channel))));
    EXPECT_EQ(capture_.StartChannel(index, &sink_, settings_.Wire()), start_result);
    ::testing::Mock::VerifyAndClearExpectations(&creator_);
    return raw;
  }

  StrictMock<MockCreator> creator_;
  NiceMock<testing::MockFrameSink> sink_;
  testing::FakeChannelSettings settings_;
  CIPVideoCapture capture_{&creator_, 4};
};

TEST_F(VideoCaptureTest, CountIsFixedAtConstruction) {
  EXPECT_EQ(capture_.GetChannelCount(), 4u);
  CIPVideoCapture none(&creator_, 0);
  EXPECT_EQ(none.GetChannelCount(), 0u);
}

TEST_F(VideoCaptureTest, IndexOutOfRangeChangesNothing) {
  // StrictMock: the creator must not be asked.
  EXPECT_FALSE(capture_.StartChannel(4, &sink_, settings_.Wire()));
  EXPECT_FALSE(capture_.StopChannel(4));
  EXPECT_FALSE(capture_.ChangeChannelSettings(4, &settings_.resolution, 40));
  std::int32_t state = -1;
  EXPECT_FALSE(capture_.GetChannelState(4, &state, nullptr, nullptr, 0));
}

TEST_F(VideoCaptureTest, StartPassesTheHostSettings) {
  settings_.width = 1280;
  settings_.height = 720;
  settings_.frame_interval_ms = 66;
  settings_.quality = 90;
  auto channel = std::make_unique<StrictMock<MockCameraChannel>>();
  EXPECT_CALL(*channel,
              Start(Pointee(AllOf(Field(&ChannelSettings::frameIntervalMs, 66u),
                                  Field(&ChannelSettings::quality, 90u),
                                  Field(&ChannelSettings::width, 1280u),
                                  Field(&ChannelSettings::height, 720u)))))
      .WillOnce(Return(true));
  EXPECT_CALL(*channel, Stop());
  EXPECT_CALL(*channel, Die());
  EXPECT_CALL(creator_, CreateChannel(2, &sink_))
      .WillOnce(Return(::testing::ByMove(std::move(channel))));
  EXPECT_TRUE(capture_.StartChannel(2, &sink_, settings_.Wire()));
}

TEST_F(VideoCaptureTest, NoChannelClassFailsTheStart) {
  EXPECT_CALL(creator_, CreateChannel(0, &sink_)).WillOnce(Return(nullptr));
  EXPECT_FALSE(capture_.StartChannel(0, &sink_, settings_.Wire()));
  std::int32_t state = -1;
  EXPECT_FALSE(capture_.GetChannelState(0, &state, nullptr, nullptr, 0));
  EXPECT_FALSE(capture_.StopChannel(0));
}

TEST_F(VideoCaptureTest, MissingHostObjectsFailTheStart) {
  EXPECT_FALSE(capture_.StartChannel(0, nullptr, settings_.Wire()));
  EXPECT_FALSE(capture_.StartChannel(0, &sink_, nullptr));
  ON_CALL(settings_.format, GetResolution()).WillByDefault(Return(nullptr));
  EXPECT_FALSE(capture_.StartChannel(0, &sink_, &settings_.settings));
}

TEST_F(VideoCaptureTest, FailedStartKeepsTheChannelForStateAndStop) {
  MockCameraChannel* channel = StartWithChannel(1, /*start_result=*/false);
  EXPECT_CALL(*channel, GetState()).WillOnce(Return(kChannelStopped));
  std::int32_t state = -1;
  EXPECT_TRUE(capture_.GetChannelState(1, &state, nullptr, nullptr, 0));
  EXPECT_EQ(state, 2);

  {
    InSequence order;
    EXPECT_CALL(*channel, Stop());
    EXPECT_CALL(*channel, Die());
  }
  EXPECT_TRUE(capture_.StopChannel(1));
  EXPECT_FALSE(capture_.StopChannel(1));  // idle now
}

TEST_F(VideoCaptureTest, RestartStopsAndDeletesTheOldChannelFirst) {
  MockCameraChannel* old_channel = StartWithChannel(0);
  auto fresh = std::make_unique<NiceMock<MockCameraChannel>>();
  ON_CALL(*fresh, Start(_)).WillByDefault(Return(true));
  {
    InSequence order;
    EXPECT_CALL(*old_channel, Stop());
    EXPECT_CALL(*old_channel, Die());
    EXPECT_CALL(creator_, CreateChannel(0, &sink_))
        .WillOnce(Return(::testing::ByMove(std::move(fresh))));
  }
  EXPECT_TRUE(capture_.StartChannel(0, &sink_, settings_.Wire()));
}

struct StateCase {
  std::int32_t channel_state;
  std::int32_t host_state;
  const char* failure;  // the channel's failure text
  const char* text;     // what an 8-byte buffer receives
};

class ChannelStateTest : public VideoCaptureTest,
                         public ::testing::WithParamInterface<StateCase> {};

TEST_P(ChannelStateTest, HostSeesStoppedAsSignalLost) {
  MockCameraChannel* channel = StartWithChannel(3);
  EXPECT_CALL(*channel, GetState()).WillOnce(Return(GetParam().channel_state));
  ON_CALL(*channel, GetFailureText()).WillByDefault(Return(GetParam().failure));
  std::int32_t state = -1;
  std::uint32_t code = 77;
  char text[8] = "garbage";
  EXPECT_TRUE(capture_.GetChannelState(3, &state, &code, text, sizeof(text)));
  EXPECT_EQ(state, GetParam().host_state);
  EXPECT_EQ(code, 0u);
  EXPECT_STREQ(text, GetParam().text);
}

// The reason fills the text only without video, cut to the buffer and terminated.
INSTANTIATE_TEST_SUITE_P(Table, ChannelStateTest,
                         ::testing::Values(StateCase{0, 0, "stale", ""},
                                           StateCase{2, 2, "signal: no frame", "signal:"},
                                           StateCase{3, 2, "", ""},
                                           StateCase{3, 2, "http-x", "http-x"}));

TEST_F(VideoCaptureTest, IdleStateStillClearsCodeAndText) {
  std::int32_t state = 55;
  std::uint32_t code = 77;
  char text[8] = "garbage";
  EXPECT_FALSE(capture_.GetChannelState(0, &state, &code, text, sizeof(text)));
  EXPECT_EQ(state, 55);
  EXPECT_EQ(code, 0u);
  EXPECT_STREQ(text, "");

  char untouched[4] = "abc";
  EXPECT_FALSE(capture_.GetChannelState(0, &state, &code, untouched, 0));
  EXPECT_STREQ(untouched, "abc");  // a zero size means no room, not even for the terminator
}

TEST_F(VideoCaptureTest, ChangeSettingsOnIdleSlotFails) {
  EXPECT_FALSE(capture_.ChangeChannelSettings(0, &settings_.resolution, 40));
}

TEST_F(VideoCaptureTest, ChangeSettingsTakesIntervalWholeAndAsksToKeepQuality) {
  MockCameraChannel* channel = StartWithChannel(0);
  settings_.Wire();
  ON_CALL(settings_.resolution, GetWidth()).WillByDefault(Return(1920));
  ON_CALL(settings_.resolution, GetHeight()).WillByDefault(Return(1080));
  EXPECT_CALL(*channel, ChangeSettings(Pointee(AllOf(
                            Field(&ChannelSettings::frameIntervalMs, 70000u),
                            Field(&ChannelSettings::quality, 0u),
                            Field(&ChannelSettings::width, 1920u),
                            Field(&ChannelSettings::height, 1080u)))))
      .WillOnce(Return(true));
  EXPECT_TRUE(capture_.ChangeChannelSettings(0, &settings_.resolution, 70000));
}

TEST_F(VideoCaptureTest, ReservedSlotsAnswerFixedValues) {
  EXPECT_FALSE(capture_.Reserved9(0));
  EXPECT_FALSE(capture_.Reserved10(0));
  EXPECT_EQ(capture_.Reserved5(), 0u);
  EXPECT_FALSE(capture_.Reserved7(0, nullptr, nullptr));
  EXPECT_FALSE(capture_.Reserved8(0, nullptr, nullptr));
  MockCameraChannel* channel = StartWithChannel(0);
  EXPECT_CALL(*channel, QueryExtensionB()).WillOnce(Return(false));
  EXPECT_FALSE(capture_.Reserved9(0));
  EXPECT_CALL(*channel, QueryExtensionA()).WillOnce(Return(true));
  EXPECT_TRUE(capture_.Reserved10(0));
}

TEST_F(VideoCaptureTest, CompanionIsAskedOnlyWhenWantedAndStarted) {
  settings_.companion = 1;
  // The channel start fails: no companion is asked for (StrictMock creator).
  StartWithChannel(0, /*start_result=*/false);

  // The channel starts and the creator offers none: the channel's result stands.
  auto channel = std::make_unique<NiceMock<MockCameraChannel>>();
  ON_CALL(*channel, Start(_)).WillByDefault(Return(true));
  EXPECT_CALL(creator_, CreateChannel(1, &sink_))
      .WillOnce(Return(::testing::ByMove(std::move(channel))));
  EXPECT_CALL(creator_, CreateCompanionChannel(1, &sink_)).WillOnce(Return(nullptr));
  EXPECT_TRUE(capture_.StartChannel(1, &sink_, settings_.Wire()));
}

TEST_F(VideoCaptureTest, CompanionStartDecidesAndStopsBeforeTheChannel) {
  settings_.companion = 1;
  auto channel = std::make_unique<StrictMock<MockCameraChannel>>();
  auto companion = std::make_unique<StrictMock<MockCompanion>>();
  MockCameraChannel* channel_raw = channel.get();
  MockCompanion* companion_raw = companion.get();
  EXPECT_CALL(*channel_raw, Start(_)).WillOnce(Return(true));
  EXPECT_CALL(*companion_raw, Start()).WillOnce(Return(false));
  EXPECT_CALL(creator_, CreateChannel(2, &sink_))
      .WillOnce(Return(::testing::ByMove(std::move(channel))));
  EXPECT_CALL(creator_, CreateCompanionChannel(2, &sink_))
      .WillOnce(Return(::testing::ByMove(std::move(companion))));
  EXPECT_FALSE(capture_.StartChannel(2, &sink_, settings_.Wire()));

  {
    InSequence order;
    EXPECT_CALL(*companion_raw, Stop());
    EXPECT_CALL(*companion_raw, Die());
    EXPECT_CALL(*channel_raw, Stop());
    EXPECT_CALL(*channel_raw, Die());
  }
  EXPECT_TRUE(capture_.StopChannel(2));
}

TEST(VideoCaptureDestructionTest, StopsAndDeletesEveryChannel) {
  StrictMock<MockCreator> creator;
  NiceMock<testing::MockFrameSink> sink;
  testing::FakeChannelSettings settings;
  auto capture = std::make_unique<CIPVideoCapture>(&creator, 3);
  std::vector<MockCameraChannel*> channels;
  for (std::uint32_t index : {0u, 2u}) {
    auto channel = std::make_unique<StrictMock<MockCameraChannel>>();
    channels.push_back(channel.get());
    EXPECT_CALL(*channel, Start(_)).WillOnce(Return(true));
    EXPECT_CALL(creator, CreateChannel(index, &sink))
        .WillOnce(Return(::testing::ByMove(std::move(channel))));
    ASSERT_TRUE(capture->StartChannel(index, &sink, settings.Wire()));
  }
  InSequence order;
  for (MockCameraChannel* channel : channels) {
    EXPECT_CALL(*channel, Stop());
    EXPECT_CALL(*channel, Die());
  }
  capture.reset();
}

}  // namespace
}  // namespace korvane
