#include "channels/base_camera_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/testing/fake_driver.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Line = testing::FakeDriver::Line;

constexpr std::uint32_t kBoundMs = 10000;  // upper bound of every wait in these tests

// A channel whose capture loop the test steers.
class TestChannel : public CBaseCameraChannel {
 public:
  using CBaseCameraChannel::CBaseCameraChannel;
  ~TestChannel() override {
    release.Set();
    Stop();
  }

  CManualEvent entered;        // the loop has started
  CManualEvent release;        // lets a loop that ignores the stop event end
  CManualEvent stop_returned;  // StopThread called from the loop has returned
  std::atomic<bool> ignore_stop{false};
  std::atomic<bool> stop_from_inside{false};
  std::atomic<int> loops{0};
  std::atomic<bool> loop_running{false};

  ChannelSettings SeenSettings() {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }
  std::int32_t StoppingCalls() const { return stopping_calls_.load(); }
  bool StopRequested() { return StopEvent().IsSet(); }

 protected:
  std::uint32_t CaptureLoop() override {
    loop_running = true;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      seen_ = Settings();
    }
    ++loops;
    entered.Set();
    if (stop_from_inside) {
      StopThread();
      stop_returned.Set();
    }
    if (ignore_stop) {
      release.Wait(kBoundMs);
    } else {
      StopEvent().Wait(kBoundMs);
    }
    loop_running = false;
    return 0;
  }
  void OnStopping() override { ++stopping_calls_; }

 private:
  std::mutex mutex_;
  ChannelSettings seen_;
  std::atomic<std::int32_t> stopping_calls_{0};
};

constexpr char kSetCameraState[] = "korvane::CBaseCameraChannel::SetCameraState";

class BaseCameraChannelTest : public ::testing::Test {
 protected:
  BaseCameraChannelTest() {
    driver_.device.address = "10.0.0.5";
    driver_.device.requestTimeoutMs = 100;  // a stubborn thread is reported after 200 ms
  }

  static ChannelSettings Settings(std::uint32_t interval, std::uint32_t quality,
                                  std::uint32_t width, std::uint32_t height) {
    ChannelSettings settings;
    settings.frameIntervalMs = interval;
    settings.quality = quality;
    settings.width = width;
    settings.height = height;
    return settings;
  }

  testing::FakeDriver driver_;
};

TEST_F(BaseCameraChannelTest, ConstructedStoppedAndOffline) {
  TestChannel channel(0, &driver_, nullptr);
  EXPECT_EQ(channel.GetState(), kChannelStopped);
  EXPECT_FALSE(channel.IsOnline());
  EXPECT_FALSE(channel.QueryExtensionA());
  EXPECT_FALSE(channel.QueryExtensionB());
  EXPECT_EQ(channel.GetChannelIndex(), 0u);
}

TEST_F(BaseCameraChannelTest, StartRunsTheLoopWithTheSettingsAndStopEndsIt) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  const ChannelSettings seen = channel.SeenSettings();
  EXPECT_EQ(seen.frameIntervalMs, 40u);
  EXPECT_EQ(seen.quality, 80u);
  EXPECT_EQ(seen.width, 640u);
  EXPECT_EQ(seen.height, 480u);

  channel.Stop();
  EXPECT_FALSE(channel.loop_running);
  EXPECT_EQ(channel.GetState(), kChannelStopped);
  EXPECT_EQ(channel.StoppingCalls(), 1);
  EXPECT_THAT(driver_.Lines(), IsEmpty());  // never online, stopped in time
}

TEST_F(BaseCameraChannelTest, SecondThreadIsRefused) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  EXPECT_FALSE(channel.StartCaptureThread());
  EXPECT_EQ(channel.loops, 1);
}

TEST_F(BaseCameraChannelTest, StartAgainRestartsTheLoop) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings first = Settings(40, 80, 640, 480);
  const ChannelSettings second = Settings(100, 50, 320, 240);
  ASSERT_TRUE(channel.Start(&first));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  channel.entered.Reset();
  ASSERT_TRUE(channel.Start(&second));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  EXPECT_EQ(channel.loops, 2);
  EXPECT_EQ(channel.SeenSettings().quality, 50u);
}

TEST_F(BaseCameraChannelTest, ChangeSettingsKeepsQualityAndRestarts) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings first = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&first));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  channel.SetState(kChannelReceiving);
  channel.SetCameraState(true);
  const std::size_t lines_before = driver_.Lines().size();

  channel.entered.Reset();
  const ChannelSettings change = Settings(200, 0, 1280, 720);
  ASSERT_TRUE(channel.ChangeSettings(&change));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  const ChannelSettings seen = channel.SeenSettings();
  EXPECT_EQ(seen.frameIntervalMs, 200u);
  EXPECT_EQ(seen.quality, 80u);
  EXPECT_EQ(seen.width, 1280u);
  EXPECT_EQ(seen.height, 720u);
  EXPECT_EQ(channel.loops, 2);
  EXPECT_EQ(channel.GetState(), kChannelStopped);
  EXPECT_EQ(driver_.Lines().size(), lines_before);  // no offline line for a change
}

struct NameCase {
  std::uint32_t channel_count;
  std::uint32_t index;
  const char* address;
  const char* online_line;
};

class DeviceNameTest : public BaseCameraChannelTest,
                       public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNameTest, OnlineLineNamesTheDevice) {
  driver_.channel_count = GetParam().channel_count;
  driver_.device.address = GetParam().address;
  TestChannel channel(GetParam().index, &driver_, nullptr);
  channel.SetCameraState(true);
  EXPECT_THAT(driver_.Lines(), ElementsAre(Line{3, GetParam().online_line}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceNameTest,
    ::testing::Values(
        NameCase{1, 0, "10.0.0.5",
                 "korvane::CBaseCameraChannel::SetCameraState: Camera 10.0.0.5 is online"},
        NameCase{0, 0, "cam.local",
                 "korvane::CBaseCameraChannel::SetCameraState: Camera cam.local is online"},
        NameCase{4, 2, "10.0.0.5",
                 "korvane::CBaseCameraChannel::SetCameraState: Video-server 10.0.0.5 "
                 "(channel 2) is online"},
        NameCase{2, 0, "10.0.0.5",
                 "korvane::CBaseCameraChannel::SetCameraState: Video-server 10.0.0.5 "
                 "(channel 0) is online"},
        // Host text goes in as an argument, never as a format.
        NameCase{1, 0, "%s%n",
                 "korvane::CBaseCameraChannel::SetCameraState: Camera %s%n is online"}));

struct OfflineCase {
  std::uint32_t channel_count;
  std::int32_t state;
  Line expected;
};

class OfflineLineTest : public BaseCameraChannelTest,
                        public ::testing::WithParamInterface<OfflineCase> {};

TEST_P(OfflineLineTest, DependsOnTheState) {
  driver_.channel_count = GetParam().channel_count;
  TestChannel channel(1, &driver_, nullptr);
  channel.SetCameraState(true);
  channel.SetState(GetParam().state);
  channel.SetCameraState(false);
  const auto lines = driver_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OfflineLineTest,
    ::testing::Values(
        OfflineCase{1, kChannelSignalLost,
                    {1, std::string(kSetCameraState) + ": Signal was lost for camera 10.0.0.5"}},
        OfflineCase{4, kChannelSignalLost,
                    {1, std::string(kSetCameraState) +
                            ": Signal was lost for video-server 10.0.0.5 (channel 1)"}},
        OfflineCase{1, kChannelStopped,
                    {3, std::string(kSetCameraState) +
                            ": Camera 10.0.0.5 is offline. Channel was stopped"}},
        OfflineCase{1, kChannelReceiving,
                    {1, std::string(kSetCameraState) + ": Camera 10.0.0.5 is offline or failed"}},
        OfflineCase{1, 7,
                    {1, std::string(kSetCameraState) +
                            ": Camera 10.0.0.5 is offline or failed"}}));

TEST_F(BaseCameraChannelTest, SameStateTwiceWritesOneLine) {
  TestChannel channel(0, &driver_, nullptr);
  channel.SetCameraState(false);  // already offline: nothing
  channel.SetCameraState(true);
  channel.SetCameraState(true);
  EXPECT_EQ(driver_.Lines().size(), 1u);
  EXPECT_TRUE(channel.IsOnline());
}

TEST_F(BaseCameraChannelTest, ConcurrentReportsLogOnce) {
  TestChannel channel(0, &driver_, nullptr);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int j = 0; j < 50; ++j) channel.SetCameraState(true);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(driver_.Lines().size(), 1u);
}

TEST_F(BaseCameraChannelTest, StopOfOnlineChannelWritesTheStoppedLineOnce) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  channel.SetState(kChannelReceiving);
  channel.SetCameraState(true);
  channel.Stop();
  channel.Stop();
  EXPECT_THAT(driver_.Lines(),
              ElementsAre(Line{3, std::string(kSetCameraState) + ": Camera 10.0.0.5 is online"},
                          Line{3, std::string(kSetCameraState) +
                                      ": Camera 10.0.0.5 is offline. Channel was stopped"}));
  EXPECT_FALSE(channel.IsOnline());
}

TEST_F(BaseCameraChannelTest, LateOnlineReportAfterStopIsRefusedUntilRestart) {
  TestChannel channel(0, &driver_, nullptr);
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  channel.Stop();
  // A frame that was still in delivery while the channel stopped.
  channel.SetCameraState(true);
  EXPECT_FALSE(channel.IsOnline());
  EXPECT_THAT(driver_.Lines(), IsEmpty());

  channel.entered.Reset();
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));
  channel.SetCameraState(true);
  EXPECT_TRUE(channel.IsOnline());
  EXPECT_EQ(driver_.Lines().size(), 1u);
}

struct StubbornCase {
  std::uint32_t channel_count;
  std::uint32_t index;
  const char* device;
};

class StubbornThreadTest : public BaseCameraChannelTest,
                           public ::testing::WithParamInterface<StubbornCase> {};

TEST_P(StubbornThreadTest, IsReportedAndAwaitedNotKilled) {
  driver_.channel_count = GetParam().channel_count;
  TestChannel channel(GetParam().index, &driver_, nullptr);
  channel.ignore_stop = true;
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  ASSERT_TRUE(channel.entered.Wait(kBoundMs));

  // Lets the loop end once the warning is out; bounded in case it never comes.
  std::thread releaser([&] {
    driver_.WaitForLines(1, std::chrono::milliseconds(kBoundMs));
    channel.release.Set();
  });
  const auto begin = std::chrono::steady_clock::now();
  channel.StopThread();
  const auto waited = std::chrono::steady_clock::now() - begin;
  releaser.join();

  EXPECT_FALSE(channel.loop_running);  // the thread ended by itself before StopThread returned
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_THAT(driver_.Lines(),
              ElementsAre(Line{2, std::string("korvane::CBaseCameraChannel::StopThread: Video "
                                              "capture thread for ") +
                                      GetParam().device +
                                      " cannot be stopped and will be terminated now"}));
  // The thread is gone: a new one can start.
  channel.ignore_stop = false;
  EXPECT_TRUE(channel.StartCaptureThread());
}

INSTANTIATE_TEST_SUITE_P(Table, StubbornThreadTest,
                         ::testing::Values(StubbornCase{1, 0, "camera 10.0.0.5"},
                                           StubbornCase{4, 3,
                                                        "video-server 10.0.0.5 (channel 3)"}));

TEST_F(BaseCameraChannelTest, StopThreadFromTheLoopDoesNotWait) {
  TestChannel channel(0, &driver_, nullptr);
  channel.stop_from_inside = true;
  const ChannelSettings wanted = Settings(40, 80, 640, 480);
  ASSERT_TRUE(channel.Start(&wanted));
  // Would never return if the loop waited for itself.
  ASSERT_TRUE(channel.stop_returned.Wait(kBoundMs));
  EXPECT_TRUE(channel.StopRequested());
  EXPECT_EQ(channel.StoppingCalls(), 1);
  // The loop saw the stop event and ended, but its thread was not joined: no new thread yet.
  for (int i = 0; i < 1000 && channel.loop_running; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(channel.StartCaptureThread());
  channel.Stop();  // the owner joins it
  channel.stop_from_inside = false;
  EXPECT_TRUE(channel.StartCaptureThread());
  EXPECT_THAT(driver_.Lines(), IsEmpty());
}

TEST_F(BaseCameraChannelTest, StopWithoutThreadIsHarmless) {
  TestChannel channel(0, &driver_, nullptr);
  channel.Stop();
  channel.StopThread();
  EXPECT_EQ(channel.StoppingCalls(), 0);
  EXPECT_THAT(driver_.Lines(), IsEmpty());
}

}  // namespace
}  // namespace korvane
