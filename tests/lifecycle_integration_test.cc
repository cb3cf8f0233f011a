// Many short driver lives against the camera simulator: create, open, start a channel, stop it,
// delete. Whatever a life opens (sockets, events, files) and starts (threads) must be gone when
// it ends, whether the stop came before or after the first frame.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "camsim_child.h"
#include "driver_host.h"

namespace korvane::testing {
namespace {

using namespace std::chrono_literals;

int CountDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(LifecycleTest, TwoHundredDriverLivesLeaveNoDescriptorOrThread) {
  ASSERT_TRUE(DriverLibrary::Get().Loaded()) << DriverLibrary::Get().error;
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({"--width", "176", "--height", "144"}, &error)) << error;
  TransportConfig config("RTPoverRTSP");
  DriverSession::Options o;
  o.codec = ipcapture::kCodecH264;
  o.http_port = camsim.HttpPort();
  o.rtsp_port = camsim.RtspPort();
  o.width = 176;
  o.height = 144;

  // Stops at every stage of the start: at once, during the camera requests, during the RTSP
  // exchange, and (every 100th life) after frames arrived.
  constexpr int kLives = 200;
  constexpr std::chrono::milliseconds kPauses[] = {0ms, 1ms, 5ms, 15ms};
  int descriptors_before = -1;
  int threads_before = -1;
  int with_frames = 0;
  for (int life = 0; life < kLives; ++life) {
    {
      DriverSession session(o);
      ASSERT_TRUE(session.Opened()) << life;
      ASSERT_TRUE(session.Start(0)) << life;
      if (life % 100 == 99) {
        if (WaitUntil([&] { return session.Stats(0).frames >= 1; }, 3s)) ++with_frames;
      } else {
        std::this_thread::sleep_for(kPauses[life % 4]);
      }
      ASSERT_TRUE(session.Stop(0)) << life;
    }
    // The first life loads the library and whatever it keeps for the process; count after it.
    if (life == 0) {
      descriptors_before = CountDescriptors();
      threads_before = CountThreads();
    }
  }
  EXPECT_EQ(with_frames, kLives / 100);
  // The stops met the lives at different stages: some got as far as PLAY, most did not.
  int plays = 0;
  for (const auto& line : camsim.RtspRequests()) plays += JsonValue(line, "method") == "PLAY";
  EXPECT_GE(plays, kLives / 100);
  EXPECT_LT(plays, kLives);
  EXPECT_EQ(CountDescriptors(), descriptors_before);
  EXPECT_EQ(CountThreads(), threads_before);
  EXPECT_EQ(camsim.Stop(), 0);
}

}  // namespace
}  // namespace korvane::testing
