#include "camera/param_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

struct ResolutionCase {
  unsigned width;
  unsigned height;
  uint16_t index;
};

class ResolutionIndexTest : public ::testing::TestWithParam<ResolutionCase> {};

TEST_P(ResolutionIndexTest, MapsSizeToCameraIndex) {
  const ResolutionCase& c = GetParam();
  EXPECT_EQ(ResolutionIndex(c.width, c.height), c.index) << c.width << "x" << c.height;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolutionIndexTest,
    ::testing::Values(
        // CIF and D1 widths: the height follows the video standard, so any height will do.
        ResolutionCase{352, 240, 1}, ResolutionCase{352, 288, 1}, ResolutionCase{352, 576, 1},
        ResolutionCase{352, 0, 1}, ResolutionCase{720, 480, 3}, ResolutionCase{720, 576, 3},
        ResolutionCase{720, 240, 3},
        // The fixed table.
        ResolutionCase{320, 240, 1}, ResolutionCase{640, 480, 2}, ResolutionCase{1024, 768, 4},
        ResolutionCase{1280, 720, 6}, ResolutionCase{1280, 960, 5},
        ResolutionCase{1280, 1024, 9}, ResolutionCase{1920, 1080, 7},
        // Anything else is not offered.
        ResolutionCase{800, 600, 0}, ResolutionCase{320, 480, 0}, ResolutionCase{1280, 800, 0},
        ResolutionCase{1920, 1200, 0}, ResolutionCase{0, 0, 0}, ResolutionCase{640, 360, 0},
        ResolutionCase{1080, 1920, 0}));

struct ReplyCase {
  const char* name;
  std::string reply;
  const char* key;
  const char* expected;
};

class ReplyParamTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyParamTest, ReadsValue) {
  const ReplyCase& c = GetParam();
  EXPECT_EQ(GetReplyParam(c.reply, c.key), c.expected);
}

const std::string kList =
    "sysinfo.modelname = IXP2000\r\n"
    "sysinfo.platform = G_TYPE_V2\r\n"
    "firmware.kern = 2.1\r\n"
    "rtp.rtspport = 8554\r\n"
    "network.ethaddress = 00:0a:5e:1b:2c:3d\r\n"
    "video.resolution = 7\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyParamTest,
    ::testing::Values(
        ReplyCase{"FirstLine", kList, "sysinfo.modelname", "IXP2000"},
        ReplyCase{"MiddleLine", kList, "rtp.rtspport", "8554"},
        ReplyCase{"ValueWithColons", kList, "network.ethaddress", "00:0a:5e:1b:2c:3d"},
        ReplyCase{"LastLine", kList, "video.resolution", "7"},
        ReplyCase{"Missing", kList, "alarm.out1", ""},
        // "platform" is only the tail of "sysinfo.platform": not the same key.
        ReplyCase{"TailOfLongerKey", kList, "platform", ""},
        ReplyCase{"PrefixOfKeyIsNotKey", kList, "sysinfo.model", ""},
        ReplyCase{"LeadingBlanksAndTabs", " \t video.codec = h264\r\n", "video.codec", "h264"},
        ReplyCase{"LastLineWithoutCrLf", "a = 1\r\nb = 2", "b", "2"},
        ReplyCase{"KeyWithoutValue", "alarm.in1 = \r\nalarm.in2 = 1\r\n", "alarm.in1", ""},
        ReplyCase{"KeyWithoutSeparator", "alarm.in1\r\nalarm.in2 = 1\r\n", "alarm.in1", ""},
        ReplyCase{"KeyAtVeryEnd", "a = 1\r\nb = ", "b", ""},
        // An empty occurrence gives way to a later one with a value.
        ReplyCase{"EmptyThenValue", "x = \r\nx = 5\r\n", "x", "5"},
        // A lone CR ends a value just as CR LF does.
        ReplyCase{"CrOnlyLineEnds", "a = 1\rb = 2\rc = 3", "b", "2"},
        ReplyCase{"ValueIsOnlyCr", "a = \rb = 2\r\n", "a", ""},
        ReplyCase{"SeparatorWithoutBlanks", "a=1\r\n", "a", ""},
        ReplyCase{"BlanksInsideValueKept", "video.title = front door\r\n", "video.title",
                  "front door"},
        ReplyCase{"EmptyReply", "", "a", ""},
        ReplyCase{"EmptyKey", kList, "", ""},
        ReplyCase{"FirstOfTwo", "k = one\r\nk = two\r\n", "k", "one"}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST(ReplyParamTest, BinaryGarbageDoesNotMatchAndDoesNotCrash) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) & 0xFF);
  EXPECT_EQ(GetReplyParam(garbage, "sysinfo.platform"), "");
  // A real line after the garbage (and a line break) is still found.
  garbage += "\r\nsysinfo.platform = A_TYPE\r\n";
  EXPECT_EQ(GetReplyParam(garbage, "sysinfo.platform"), "A_TYPE");
}

TEST(ReplyParamTest, EmbeddedNulBytesAreJustBytes) {
  const std::string reply("a = x\0y\r\nb = 2\r\n", 15);
  EXPECT_EQ(GetReplyParam(reply, "a"), std::string("x\0y", 3));
  EXPECT_EQ(GetReplyParam(reply, "b"), "2");
}

TEST(ReplyParamTest, TenMegabyteReplyIsSearchedWhole) {
  std::string reply;
  reply.reserve(10u << 20);
  for (int i = 0; reply.size() < (10u << 20); ++i) {
    reply += "filler.key" + std::to_string(i) + " = value\r\n";
  }
  reply += "sysinfo.modelname = LAST\r\n";
  EXPECT_EQ(GetReplyParam(reply, "sysinfo.modelname"), "LAST");
  EXPECT_EQ(GetReplyParam(reply, "filler.key0"), "value");
  EXPECT_EQ(GetReplyParam(reply, "not.there"), "");
}

TEST(ParamUpdatePathTest, AppendsPairsInOrder) {
  EXPECT_EQ(MakeParamUpdatePath({}), "/cgi-bin/Param.cgi?action=update");
  EXPECT_EQ(MakeParamUpdatePath({{"video.framerate", "15"}}),
            "/cgi-bin/Param.cgi?action=update&video.framerate=15");
  EXPECT_EQ(MakeParamUpdatePath({{"video.codec", "h264"}, {"video.resolution", "7"}}),
            "/cgi-bin/Param.cgi?action=update&video.codec=h264&video.resolution=7");
}

TEST(UpdateSuccessTest, LooksForTheWordSuccess) {
  EXPECT_TRUE(IsUpdateSuccessReply("Success"));
  EXPECT_TRUE(IsUpdateSuccessReply("video.resolution: Success\r\n"));
  EXPECT_FALSE(IsUpdateSuccessReply("success"));  // the camera writes it capitalised
  EXPECT_FALSE(IsUpdateSuccessReply("Failure"));
  EXPECT_FALSE(IsUpdateSuccessReply(""));
}

}  // namespace
}  // namespace korvane
