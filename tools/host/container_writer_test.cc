#include "container_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tollivar_host {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ContainerWriter, ContainerFilesByExtension) {
  struct Case {
    const char* path;
    bool container;
  };
  for (const Case& c : {Case{"rec.mkv", true}, Case{"/tmp/a.MP4", true}, Case{"rec.h264", false},
                        Case{"rec.mjpeg", false}, Case{"mkv", false}, Case{"-", false}}) {
    EXPECT_EQ(IsContainerFile(c.path), c.container) << c.path;
  }
}

TEST(ContainerWriter, H264ParameterSets) {
  struct Case {
    const char* name;
    Bytes access_unit;
    Bytes expected;
  };
  const Case cases[] = {
      {"SpsPpsIdrWithFourByteStartCodes",
       {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F,  // SPS (type 7)
        0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,  // PPS (type 8)
        0, 0, 0, 1, 0x65, 0x88, 0x84},        // IDR slice (type 5)
       {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80}},
      {"ThreeByteStartCodesBecomeFourByte",
       {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88},
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}},
      {"PpsLastInTheUnit", {0, 0, 0, 1, 0x68, 0xCE, 0x3C}, {0, 0, 0, 1, 0x68, 0xCE, 0x3C}},
      {"SliceOnly", {0, 0, 0, 1, 0x41, 0x9A, 0x02}, {}},
      {"NoStartCode", {0x67, 0x42, 0xC0}, {}},
      {"StartCodeAtTheEnd", {0x65, 0x88, 0, 0, 1}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(H264ParameterSets(c.access_unit), c.expected) << c.name;
  }
}

TEST(ContainerWriter, Mpeg4Configuration) {
  const Bytes vol_then_vop = {0, 0, 1, 0xB0, 0x01,  // visual_object_sequence_start_code
                              0, 0, 1, 0x20, 0x08,  // video_object_layer_start_code
                              0, 0, 1, 0xB6, 0x10}; // vop_start_code
  EXPECT_EQ(Mpeg4Configuration(vol_then_vop), Bytes(vol_then_vop.begin(), vol_then_vop.begin() + 10));
  EXPECT_TRUE(Mpeg4Configuration(Bytes{0, 0, 1, 0xB6, 0x10}).empty());
  EXPECT_TRUE(Mpeg4Configuration(Bytes{0, 0, 1, 0xB0, 0x01}).empty());
}

TEST(ContainerWriter, EstimateFrameRate) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> times;
    int num;
    int den;
  };
  const Case cases[] = {
      {"Steady25", {0, 40, 80, 120, 160}, 25, 1},
      {"Thirty33And34Apart", {0, 33, 67, 100, 133, 167, 200}, 30, 1},
      // Capture times seen from the driver: a late frame followed by a burst.
      {"Jittered25", {0, 45, 81, 119, 160, 260, 264, 279, 320, 359, 401, 440}, 25, 1},
      {"StartupBurst", {0, 2, 4, 6, 46, 86, 126, 166, 206, 246, 286, 326}, 25, 1},
      {"TwelveAndAHalf", {0, 80, 160, 240}, 1000, 80},
      {"OneFrameUsesTheFallback", {0}, 15, 1},
      {"EqualTimesUseTheFallback", {5, 5, 5}, 15, 1},
  };
  for (const Case& c : cases) {
    const Rate rate = EstimateFrameRate(c.times, Rate{15, 1});
    EXPECT_EQ(rate.num, c.num) << c.name;
    EXPECT_EQ(rate.den, c.den) << c.name;
  }
  // A camera a little off the rate asked of it records at the asked rate.
  const std::vector<std::int64_t> near_25 = {0, 42, 84, 126, 168};
  const Rate asked = EstimateFrameRate(near_25, Rate{25, 1});
  EXPECT_EQ(asked.num, 25);
  EXPECT_EQ(asked.den, 1);
}

TEST(ContainerWriter, FrameClockEvensOutJitterAndKeepsGaps) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> times;
    std::vector<std::int64_t> stamps;
  };
  const Case cases[] = {
      {"JitterAndBurstStayOneIntervalApart",
       {1000, 1045, 1081, 1119, 1160, 1260, 1264, 1279, 1320},
       {0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"TimesThatGoBackStillIncrease", {1000, 1040, 1030, 1030, 1120}, {0, 1, 2, 3, 4}},
      {"SecondWithoutFramesIsAGap", {1000, 1040, 2040, 2080}, {0, 1, 26, 27}},
      {"SlightlyLateFramesDoNotOpenAGap", {1000, 1040, 1080 + 200, 1320}, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    FrameClock clock(Rate{25, 1}, c.times.front());
    std::vector<std::int64_t> stamps;
    for (const std::int64_t t : c.times) stamps.push_back(clock.Next(t));
    EXPECT_EQ(stamps, c.stamps) << c.name;
  }
}

TEST(ContainerWriter, RecordingWithoutAKeyFrameWritesNothing) {
  const std::string path = ::testing::TempDir() + "container_writer_no_key.mkv";
  std::remove(path.c_str());
  ContainerWriter writer(path, 25);
  Frame delta;
  delta.fourcc = ipc::kFourCCI264;
  delta.data = {0, 0, 0, 1, 0x41, 0x9A};
  delta.data_size = static_cast<std::uint32_t>(delta.data.size());
  EXPECT_TRUE(writer.Write(delta));
  EXPECT_FALSE(writer.Close());
  EXPECT_EQ(writer.skipped_before_key_frame(), 1u);
  EXPECT_NE(writer.error().find("no key frame"), std::string::npos) << writer.error();
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);
}

TEST(ContainerWriter, H264KeyFrameWithoutParameterSetsFails) {
  const std::string path = ::testing::TempDir() + "container_writer_no_sps.mkv";
  ContainerWriter writer(path, 25);
  Frame key;
  key.fourcc = ipc::kFourCCH264;
  key.data = {0, 0, 0, 1, 0x65, 0x88, 0x84};
  key.data_size = static_cast<std::uint32_t>(key.data.size());
  EXPECT_TRUE(writer.Write(key));
  EXPECT_FALSE(writer.Close());
  EXPECT_NE(writer.error().find("SPS/PPS"), std::string::npos) << writer.error();
}

}  // namespace
}  // namespace tollivar_host
