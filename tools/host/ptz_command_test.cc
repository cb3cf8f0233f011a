#include "ptz_command.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tollivar_host {
namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

struct ParseCase {
  const char* text;
  bool ok;
  PtzAction::Kind kind;
  int code;
  int speed;
  double seconds;
  const char* name;
};

class PtzActionParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PtzActionParseTest, ParsesOrRefuses) {
  const ParseCase c = GetParam();
  std::string error;
  const auto action = ParsePtzAction(Words(c.text), &error);
  ASSERT_EQ(action.has_value(), c.ok) << c.text << ": " << error;
  if (!c.ok) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(action->kind, c.kind);
  EXPECT_EQ(action->code, c.code);
  EXPECT_EQ(action->speed, c.speed);
  EXPECT_EQ(action->seconds, c.seconds);
  EXPECT_EQ(action->name, c.name);
}

using K = PtzAction::Kind;
INSTANTIATE_TEST_SUITE_P(
    Actions, PtzActionParseTest,
    ::testing::Values(
        // The host's direction codes: 0 up, 1 down, 2 left, 3 right, then the diagonals.
        ParseCase{"move left --speed 16 --for 1", true, K::kMove, 2, 16, 1, ""},
        ParseCase{"move up", true, K::kMove, 0, 8, 0, ""},
        ParseCase{"move downright --for 0.5", true, K::kMove, 7, 8, 0.5, ""},
        ParseCase{"zoom out --speed 3", true, K::kZoom, 1, 3, 0, ""},
        ParseCase{"focus near", true, K::kFocus, 0, 8, 0, ""},
        ParseCase{"iris close", true, K::kIris, 1, 8, 0, ""},
        ParseCase{"stop", true, K::kStop, 0, 8, 0, ""},
        ParseCase{"preset save Front door", true, K::kPresetSave, 0, 8, 0, "Front door"},
        ParseCase{"preset go Door", true, K::kPresetGo, 0, 8, 0, "Door"},
        ParseCase{"preset list", true, K::kPresetList, 0, 8, 0, ""},
        ParseCase{"wait 2", true, K::kWait, 0, 8, 2, ""},
        ParseCase{"move sideways", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"move left --speed 0", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"move left --speed 17", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"move left --for -1", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"move left --for 99999", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"stop --speed 3", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"preset save", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"preset rename A", false, K::kStop, 0, 0, 0, ""},
        ParseCase{"dance", false, K::kStop, 0, 0, 0, ""}));

TEST(PtzResultTextTest, EveryResultCodeHasItsMeaning) {
  EXPECT_STREQ(PtzResultText(1), "success");
  EXPECT_STREQ(PtzResultText(-3), "invalid argument or operation not offered");
  EXPECT_STREQ(PtzResultText(-19), "the camera lacks this capability");
  EXPECT_STREQ(PtzResultText(-23), "no such preset, or the preset operation failed");
  EXPECT_STREQ(PtzResultText(-26), "the preset list is full");
  EXPECT_STREQ(PtzResultText(7), "unknown result");
}

}  // namespace
}  // namespace tollivar_host
