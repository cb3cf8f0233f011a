#include "avc_filter.h"

#include <gtest/gtest.h>

#include <vector>

namespace camsim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(StripParameterSetsTest, RemovesSpsAndPpsAndKeepsTheRestInOrder) {
  const Bytes au = {
      0, 0, 0, 2, 0x09, 0xf0,        // access unit delimiter
      0, 0, 0, 3, 0x67, 0x42, 0xc0,  // SPS (nal_ref_idc 3, type 7)
      0, 0, 0, 2, 0x68, 0xce,        // PPS (type 8)
      0, 0, 0, 3, 0x65, 0x88, 0x84,  // IDR slice (type 5)
      0, 0, 0, 2, 0x65, 0x11,        // second IDR slice
  };
  const Bytes expected = {0, 0, 0, 2, 0x09, 0xf0, 0, 0, 0, 3, 0x65, 0x88, 0x84,
                          0, 0, 0, 2, 0x65, 0x11};
  EXPECT_EQ(StripParameterSets(au), expected);
}

TEST(StripParameterSetsTest, LeavesAUnitWithoutParameterSetsAlone) {
  const Bytes au = {0, 0, 0, 3, 0x41, 0x9a, 0x02};  // non-IDR slice
  EXPECT_EQ(StripParameterSets(au), au);
  EXPECT_EQ(StripParameterSets({}), Bytes{});
}

TEST(StripParameterSetsTest, RefusesBuffersThatAreNotLengthPrefixed) {
  const std::vector<Bytes> bad = {
      {0, 0, 0, 1, 0x67, 0x42, 0x00},  // Annex B bytes read as lengths do not tile
      {0, 0, 0, 9, 0x65, 0x88},  // length past the end
      {0, 0, 0, 0, 0x65},        // empty NAL unit
      {0, 0, 0},                 // truncated length
  };
  for (const auto& au : bad) EXPECT_FALSE(StripParameterSets(au));
}

}  // namespace
}  // namespace camsim
