#include "core/custom_parameter.h"

#include <gtest/gtest.h>

#include "core/idriver.h"

namespace korvane {
namespace {

struct IntCase {
  const char* text;
  std::int32_t expected;
};

class CustomParameterIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(CustomParameterIntTest, Parses) {
  EXPECT_EQ(ParseCustomParameterInt(GetParam().text), GetParam().expected)
      << "text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CustomParameterIntTest,
    ::testing::Values(IntCase{"0", 0}, IntCase{"7", 7}, IntCase{"554", 554},
                      IntCase{"-12", -12}, IntCase{"+12", 12}, IntCase{"007", 7},
                      IntCase{"2147483647", 2147483647},
                      IntCase{"-2147483647", -2147483647},
                      // Not a number at all.
                      IntCase{"", kCustomParameterAbsent}, IntCase{"-", kCustomParameterAbsent},
                      IntCase{"+", kCustomParameterAbsent},
                      IntCase{"(none)", kCustomParameterAbsent},
                      IntCase{"abc", kCustomParameterAbsent},
                      // Anything around the digits spoils them.
                      IntCase{" 12", kCustomParameterAbsent},
                      IntCase{"12 ", kCustomParameterAbsent},
                      IntCase{"12abc", kCustomParameterAbsent},
                      IntCase{"1.5", kCustomParameterAbsent},
                      IntCase{"+-1", kCustomParameterAbsent},
                      IntCase{"0x10", kCustomParameterAbsent},
                      // Outside 32 bits: refused rather than wrapped.
                      IntCase{"2147483648", kCustomParameterAbsent},
                      IntCase{"99999999999999999999999", kCustomParameterAbsent}));

struct TextCase {
  const char* stored;
  const char* expected;
};

class CustomParameterTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(CustomParameterTextTest, NoneOnlyWhenExact) {
  EXPECT_EQ(CustomParameterText(GetParam().stored), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CustomParameterTextTest,
                         ::testing::Values(TextCase{"(none)", ""}, TextCase{"(none) ", "(none) "},
                                           TextCase{" (none)", " (none)"},
                                           TextCase{"(NONE)", "(NONE)"},
                                           TextCase{"v2.1.3", "v2.1.3"}, TextCase{"", ""}));

}  // namespace
}  // namespace korvane
