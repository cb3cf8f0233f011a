#include "ptz_head.h"

#include <gtest/gtest.h>

#include <chrono>

namespace camsim {
namespace {

using namespace std::chrono_literals;

class PtzHeadTest : public ::testing::Test {
 protected:
  PtzHead::Result Send(unsigned cmd, unsigned speed = 1, unsigned pr = 1) {
    return head_.Apply(std::to_string(cmd), "1", std::to_string(speed), std::to_string(speed),
                       std::to_string(pr), t_);
  }
  PtzHead head_;
  PtzHead::Clock::time_point t_ = PtzHead::Clock::now();
};

TEST_F(PtzHeadTest, MovesWhileACommandRunsAndStopsOn255) {
  ASSERT_TRUE(Send(65, 63).ok);  // left at full speed
  t_ += 1s;
  EXPECT_NEAR(head_.At(t_).pan, 360 - 63, 1e-6);
  ASSERT_TRUE(Send(255).ok);
  EXPECT_FALSE(head_.Moving());
  t_ += 5s;
  EXPECT_NEAR(head_.At(t_).pan, 360 - 63, 1e-6);
}

TEST_F(PtzHeadTest, TiltAndZoomStayInRange) {
  ASSERT_TRUE(Send(69, 63).ok);
  t_ += 10s;
  EXPECT_EQ(head_.At(t_).tilt, 90);
  ASSERT_TRUE(Send(53).ok);  // zoom out from 1x
  t_ += 3s;
  EXPECT_EQ(head_.At(t_).zoom, 1);
}

TEST_F(PtzHeadTest, PresetsStoreAndRecallPositions) {
  ASSERT_TRUE(Send(67, 10).ok);  // right
  t_ += 2s;
  ASSERT_TRUE(Send(255).ok);
  ASSERT_TRUE(Send(100, 1, 1).ok);
  const PtzHead::Position stored = head_.At(t_);
  EXPECT_NEAR(stored.pan, 20, 1e-6);
  ASSERT_TRUE(Send(71, 5).ok);  // down, still moving when recalled
  t_ += 1s;
  ASSERT_TRUE(Send(102, 1, 1).ok);
  EXPECT_FALSE(head_.Moving());
  EXPECT_EQ(head_.At(t_), stored);
  ASSERT_TRUE(Send(101, 1, 1).ok);
  ASSERT_TRUE(Send(67, 10).ok);
  t_ += 1s;
  ASSERT_TRUE(Send(102, 1, 1).ok);  // removed: the head keeps going
  EXPECT_TRUE(head_.Moving());
}

TEST_F(PtzHeadTest, MalformedCommandsAreRefused) {
  EXPECT_EQ(head_.Apply("", "1", "1", "1", "1", t_).error, "cmd");
  EXPECT_EQ(head_.Apply("65", "1", "-1", "1", "1", t_).error, "ps");
  EXPECT_EQ(head_.Apply("65", "1", "1", "x", "1", t_).error, "ts");
  EXPECT_EQ(head_.Apply("65", "1", "99999999999", "1", "1", t_).error, "ps");
  EXPECT_EQ(Send(65, 0).error, "ps");
  EXPECT_EQ(Send(65, 64).error, "ps");
  EXPECT_EQ(Send(100, 1, 0).error, "pr");
  EXPECT_EQ(Send(100, 1, 256).error, "pr");
  EXPECT_EQ(Send(42).error, "cmd");
  EXPECT_FALSE(head_.Moving());
}

TEST_F(PtzHeadTest, StateShowsPositionMotionAndPresets) {
  ASSERT_TRUE(Send(35).ok);
  ASSERT_TRUE(Send(67, 10).ok);
  t_ += 1500ms;
  ASSERT_TRUE(Send(100, 1, 3).ok);
  JsonLine line;
  head_.AddState(line, t_);
  const std::string text = line.Text();
  EXPECT_NE(text.find("\"ptz_pan\":1500"), std::string::npos) << text;
  EXPECT_NE(text.find("\"ptz_motion\":\"right\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"ptz_focus_manual\":true"), std::string::npos) << text;
  EXPECT_NE(text.find("\"ptz_presets\":\"3:1500,0,100\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"ptz_last_cmd\":100"), std::string::npos) << text;
}

}  // namespace
}  // namespace camsim
