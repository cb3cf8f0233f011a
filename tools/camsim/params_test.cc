#include "params.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace camsim {
namespace {

TEST(ResolutionIndexTest, MatchesTheCameraTable) {
  const std::vector<std::pair<PictureSize, int>> cases = {
      {{352, 240}, 1}, {{352, 576}, 1}, {{320, 240}, 1},  {{720, 240}, 3},  {{720, 576}, 3},
      {{640, 480}, 2}, {{1024, 768}, 4}, {{1280, 960}, 5}, {{1280, 720}, 6}, {{1920, 1080}, 7},
      {{1280, 1024}, 9}, {{800, 600}, 0}, {{1920, 1088}, 0}, {{0, 0}, 0},
  };
  for (const auto& [size, index] : cases) {
    EXPECT_EQ(ResolutionIndexOf(size), index) << size.width << "x" << size.height;
  }
}

TEST(ResolutionIndexTest, IndexesSelectSizesByVideoStandard) {
  EXPECT_EQ(SizeOfResolutionIndex(1, false), (PictureSize{352, 288}));
  EXPECT_EQ(SizeOfResolutionIndex(1, true), (PictureSize{352, 240}));
  EXPECT_EQ(SizeOfResolutionIndex(3, false), (PictureSize{720, 576}));
  EXPECT_EQ(SizeOfResolutionIndex(3, true), (PictureSize{720, 480}));
  for (int index : {0, 8, 10, -1}) EXPECT_FALSE(SizeOfResolutionIndex(index, false)) << index;
  for (int index : {1, 2, 3, 4, 5, 6, 7, 9}) {
    const auto size = SizeOfResolutionIndex(index, index % 2 == 0);
    ASSERT_TRUE(size) << index;
    EXPECT_EQ(ResolutionIndexOf(*size), index);
  }
}

TEST(SplitQueryTest, DecodesPairsInOrder) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(SplitQuery("action=update&video.codec=3"),
            (Pairs{{"action", "update"}, {"video.codec", "3"}}));
  EXPECT_EQ(SplitQuery("a=%41%42+c&&flag&k=v=w"),
            (Pairs{{"a", "AB c"}, {"flag", ""}, {"k", "v=w"}}));
  EXPECT_EQ(SplitQuery("bad=%4&end=%"), (Pairs{{"bad", "%4"}, {"end", "%"}}));
  EXPECT_EQ(SplitQuery(""), Pairs{});
}

Options TestOptions() {
  Options o;
  o.platform = "T_TYPE";
  o.width = 640;
  o.height = 480;
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "unterminated line";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(ParamStoreTest, ListHasEveryKeyTheDriverReadsInKeyEqualsValueLines) {
  ParamStore store(TestOptions(), 8554, 8080);
  const std::string list = store.ListText();
  for (const auto& line : Lines(list)) {
    EXPECT_NE(line.find(" = "), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  for (const char* key : {"sysinfo.modelname", "sysinfo.platform", "firmware.boot",
                          "firmware.kern", "firmware.root", "firmware.locl", "firmware.view",
                          "rtp.rtspport", "condition.outputformat", "condition.inputformat",
                          "ptzcfg.cameraid", "network.ethaddress", "video.codec",
                          "video.resolution", "video.framerate", "alarm.control"}) {
    EXPECT_NE(("\r\n" + list).find(std::string("\r\n") + key + " = "), std::string::npos) << key;
  }
  EXPECT_EQ(list.rfind("sysinfo.modelname = ", 0), 0u);
  EXPECT_NE(list.find("\r\nsysinfo.platform = T_TYPE\r\n"), std::string::npos);
  EXPECT_NE(list.find("\r\nrtp.rtspport = 8554\r\n"), std::string::npos);
  EXPECT_NE(list.find("\r\ncondition.outputformat = 0\r\n"), std::string::npos);  // PAL
  EXPECT_NE(list.find("\r\nvideo.resolution = 2\r\n"), std::string::npos);      // 640x480
}

TEST(ParamStoreTest, UpdateChangesTheVideoOfLaterStreams) {
  ParamStore store(TestOptions(), 554, 80);
  const auto result = store.Update(
      "action=update&video.codec=2&video.resolution=6&video.framerate=15&video.bitrate=9");
  EXPECT_TRUE(result.applied);
  EXPECT_TRUE(result.video_changed);
  EXPECT_NE(result.body.find("Success"), std::string::npos);
  const VideoConfig v = store.Video();
  EXPECT_EQ(v.codec, Codec::kMpeg4);
  EXPECT_EQ(v.size, (PictureSize{1280, 720}));
  EXPECT_EQ(v.fps, 15);
  EXPECT_EQ(v.bitrate, 9);
  EXPECT_NE(store.ListText().find("\r\nvideo.resolution = 6\r\n"), std::string::npos);
}

TEST(ParamStoreTest, DualStreamFollowsItsOwnKeys) {
  Options o = TestOptions();
  o.ntsc = true;
  ParamStore store(o, 554, 80);
  ASSERT_TRUE(store.Update("action=update&video.resolution=3&video.framerate=30&"
                           "video.dualcodecflag=1&video.dualcodec=1&video.dualresolution=3&"
                           "video.dualquality=9").applied);
  const VideoConfig v = store.Video();
  EXPECT_TRUE(v.dual_enabled);
  EXPECT_EQ(v.dual_size, (PictureSize{720, 480}));
  EXPECT_EQ(v.dual_quality, 9);
  EXPECT_EQ(v.size, (PictureSize{720, 480}));
}

TEST(ParamStoreTest, OneBadPairLeavesEverythingAsItWas) {
  const std::vector<std::string> bad = {
      "action=update&video.codec=2&video.resolution=0",   // no such index
      "action=update&video.codec=2&video.resolution=8",
      "action=update&video.codec=4",
      "action=update&video.codec=2&video.framerate=0",
      "action=update&video.codec=2&video.quality=11",
      "action=update&video.codec=2&video.bitrate=x",
      "action=update&video.codec=2&sysinfo.platform=X_TYPE",  // identity is read only
      "action=update&alarm.control=1%0D%0Avideo.codec%20%3D%203",  // a forged list line
      "action=update&bad%20key=1",
      "action=update",
  };
  for (const auto& query : bad) {
    ParamStore store(TestOptions(), 554, 80);
    const std::string before = store.ListText();
    const auto result = store.Update(query);
    EXPECT_FALSE(result.applied) << query;
    EXPECT_FALSE(result.video_changed) << query;
    EXPECT_EQ(result.body.find("Success"), std::string::npos) << query;
    EXPECT_EQ(result.body.rfind("Error", 0), 0u) << query;
    EXPECT_EQ(store.ListText(), before) << query;
  }
}

TEST(ParamStoreTest, ResolutionsWiderThanTheCameraAreRefused) {
  Options o = TestOptions();
  o.max_width = 1280;
  ParamStore store(o, 554, 80);
  EXPECT_FALSE(store.Update("action=update&video.resolution=7").applied);
  EXPECT_TRUE(store.Update("action=update&video.resolution=9").applied);
  EXPECT_EQ(store.Video().size, (PictureSize{1280, 1024}));
}

TEST(ParamStoreTest, AlarmAndUnknownKeysAreStoredAndListed) {
  ParamStore store(TestOptions(), 554, 80);
  const auto result = store.Update("action=update&alarm.control=2&alarm.signaltype=2&x.y=z");
  EXPECT_TRUE(result.applied);
  EXPECT_FALSE(result.video_changed);
  EXPECT_EQ(store.Get("alarm.signaltype"), "2");
  EXPECT_NE(store.ListText().find("\r\nx.y = z\r\n"), std::string::npos);
}

TEST(ParamStoreTest, NumbersAreStoredInCanonicalForm) {
  ParamStore store(TestOptions(), 554, 80);
  ASSERT_TRUE(store.Update("action=update&video.framerate=05").applied);
  EXPECT_EQ(store.Get("video.framerate"), "5");
}

TEST(ParamStoreTest, InitialSizeWithoutAnIndexIsKeptForStreaming) {
  Options o = TestOptions();
  o.width = 800;
  o.height = 600;
  ParamStore store(o, 554, 80);
  EXPECT_EQ(store.Get("video.resolution"), "0");
  EXPECT_EQ(store.Video().size, (PictureSize{800, 600}));
}

TEST(ParamStoreTest, IdentityOptionsReachTheList) {
  Options o = TestOptions();
  o.model = "";
  o.ctype = "xd1x";
  o.ptz = false;
  o.mac = "00:11:22:aa:bb:cc";
  ParamStore store(o, 554, 80);
  const std::string list = store.ListText();
  EXPECT_EQ(list.rfind("sysinfo.modelname = \r\n", 0), 0u);
  EXPECT_NE(list.find("\r\nctype = xd1x\r\n"), std::string::npos);
  EXPECT_NE(list.find("\r\nptzcfg.cameraid = \r\n"), std::string::npos);
  EXPECT_NE(list.find("\r\nnetwork.ethaddress = 00:11:22:aa:bb:cc\r\n"), std::string::npos);
}

}  // namespace
}  // namespace camsim
