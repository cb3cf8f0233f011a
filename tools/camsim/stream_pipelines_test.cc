#include "stream_pipelines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace camsim {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(StreamPipelinesTest, ClipIsAWholeNumberOfKeyFrameIntervals) {
  struct Case {
    int fps, seconds;
    const char* buffers;
  };
  // Key frames every 2 s: the loop must end just before one so that it restarts on the next.
  for (const Case& c : {Case{25, 10, "num-buffers=250 "}, Case{25, 3, "num-buffers=100 "},
                        Case{10, 1, "num-buffers=20 "}, Case{30, 60, "num-buffers=1800 "}}) {
    const StreamShape shape{Codec::kH264, {1920, 1080}, c.fps, 10, 7};
    const std::string d = ClipEncoderDescription(shape, c.seconds);
    EXPECT_THAT(d, HasSubstr(c.buffers)) << c.fps << " fps " << c.seconds << " s";
    EXPECT_THAT(d, HasSubstr("key-int-max=" + std::to_string(c.fps * 2) + " "));
  }
}

TEST(StreamPipelinesTest, ClipFilePathIsQuotedForTheParser) {
  EXPECT_THAT(ClipFileDescription("/tmp/a \"b\"\\c.h264"),
              HasSubstr(R"(location="/tmp/a \"b\"\\c.h264" !)"));
}

TEST(StreamPipelinesTest, QuirksChooseWhereCodecConfigurationTravels) {
  const StreamShape h264{Codec::kH264, {320, 240}, 25, 2, 7};
  const StreamShape mpeg4{Codec::kMpeg4, {320, 240}, 25, 2, 7};
  StreamQuirks sdp_only;
  StreamQuirks no_sprop;
  no_sprop.no_sprop = true;
  StreamQuirks bare_mpeg4;
  bare_mpeg4.mpeg4_inband_config = false;
  EXPECT_THAT(LaunchDescription(h264, sdp_only), HasSubstr("config-interval=0"));
  EXPECT_THAT(LaunchDescription(h264, no_sprop), HasSubstr("config-interval=-1"));
  EXPECT_THAT(ClipLaunchDescription(no_sprop), HasSubstr("config-interval=-1"));
  EXPECT_THAT(ClipLaunchDescription(sdp_only), HasSubstr(kClipSource));
  EXPECT_THAT(LaunchDescription(mpeg4, sdp_only), HasSubstr("config-interval=1"));
  EXPECT_THAT(LaunchDescription(mpeg4, bare_mpeg4), HasSubstr("config-interval=0"));
  EXPECT_THAT(LaunchDescription(mpeg4, bare_mpeg4), Not(HasSubstr("config-interval=1")));
}

}  // namespace
}  // namespace camsim
