#include "media/rtp_media_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/testing/media_test_support.h"

namespace korvane {
namespace {

using testing::Harness;
using testing::Feed;
using testing::MakePacket;

// The base with the smallest codec on top: every payload is appended, the marker hands the
// buffer off as is.
class CPassThroughParser : public CRTPMediaParser {
 public:
  using CRTPMediaParser::CheckBufferSize;
  using CRTPMediaParser::CheckSequence;
  using CRTPMediaParser::CRTPMediaParser;

  void ParsePacket(const CRTPPacket* packet) override {
    if (!CheckSequence(*packet)) ResetFrame();
    AppendToFrame(packet->Payload().data(), packet->Payload().size());
    if (!CheckBufferSize()) {
      ResetFrame();
      return;
    }
    if (packet->Marker() && !frame_buffer_.empty()) {
      converter_.Update(packet->Timestamp());
      width_ = 352;
      height_ = 288;
      struct Writer : IFrameWriter {
        const std::vector<uint8_t>& b;
        explicit Writer(const std::vector<uint8_t>& buffer) : b(buffer) {}
        size_t Write(uint8_t* data) override {
          std::copy(b.begin(), b.end(), data);
          return b.size();
        }
      } writer(frame_buffer_);
      HandOff(ipcapture::kFourCCJpeg, FrameCapacity(frame_buffer_.size()), writer);
      frame_buffer_.clear();
    }
  }
  void ResetFrame() override {
    ++resets;
    frame_buffer_.clear();
  }
  void Grow(size_t bytes) { frame_buffer_.resize(bytes); }

  int resets = 0;
};

struct CapacityCase {
  size_t length;
  uint32_t capacity;
};

class FrameCapacityTest : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(FrameCapacityTest, Classes) {
  EXPECT_EQ(CRTPMediaParser::FrameCapacity(GetParam().length), GetParam().capacity);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, FrameCapacityTest,
    ::testing::Values(CapacityCase{0, 4096}, CapacityCase{4096, 4096}, CapacityCase{4097, 16384},
                      CapacityCase{16384, 16384}, CapacityCase{16385, 32768},
                      CapacityCase{32768, 32768}, CapacityCase{32769, 131072},
                      CapacityCase{131072, 131072}, CapacityCase{131073, 131073},
                      CapacityCase{5000000, 5000000}));

struct SizeClassCase {
  uint32_t width, height, size_class;
};

class SizeClassTest : public ::testing::TestWithParam<SizeClassCase> {};

TEST_P(SizeClassTest, Classes) {
  EXPECT_EQ(CRTPMediaParser::SizeClass(GetParam().width, GetParam().height),
            GetParam().size_class);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeClassTest,
    ::testing::Values(SizeClassCase{176, 144, 1}, SizeClassCase{352, 288, 2},
                      SizeClassCase{704, 240, 3}, SizeClassCase{704, 576, 4},
                      SizeClassCase{1280, 720, 4}, SizeClassCase{0, 0, 1},
                      SizeClassCase{199, 1000, 1}, SizeClassCase{200, 10, 2},
                      SizeClassCase{400, 199, 3}, SizeClassCase{400, 200, 4},
                      SizeClassCase{1023, 100, 3}, SizeClassCase{1024, 100, 4}));

struct SequenceCase {
  std::string name;
  std::vector<uint16_t> sequences;
  std::vector<bool> continuous;
};

void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, DetectsGaps) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  std::vector<bool> got;
  for (uint16_t s : GetParam().sequences) {
    got.push_back(parser.CheckSequence(MakePacket(s, 1, false, {1, 2, 3})));
  }
  EXPECT_EQ(got, GetParam().continuous);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceTest,
    ::testing::Values(
        SequenceCase{"FirstPacketAnyNumber", {40000, 40001}, {true, true}},
        SequenceCase{"Wraps", {65534, 65535, 0, 1}, {true, true, true, true}},
        SequenceCase{"RepeatIsAGap", {10, 11, 11, 12}, {true, true, false, true}},
        SequenceCase{"Lost", {10, 12, 13}, {true, false, true}},
        SequenceCase{"Backwards", {10, 11, 9, 10}, {true, true, false, true}},
        SequenceCase{"ZeroFirst", {0, 1}, {true, true}}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return info.param.name; });

TEST(CheckBufferSizeTest, TenMebibytesPassOneMoreByteFailsWithOneErrorLine) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  parser.Grow(CRTPMediaParser::kMaxFrameBytes);
  EXPECT_TRUE(parser.CheckBufferSize());
  EXPECT_TRUE(h.driver.Lines().empty());
  parser.Grow(CRTPMediaParser::kMaxFrameBytes + 1);
  EXPECT_FALSE(parser.CheckBufferSize());
  const auto lines = h.driver.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLogError);
  EXPECT_EQ(lines[0].text,
            "korvane::CRTPMediaParser::CheckBufferSize: Frame buffer overflow detected, device "
            "127.0.0.1:8080");
}

TEST(HandOffTest, DeliversStampedFrameAndReleasesIt) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  parser.SetClient(&h.client);
  Feed(parser, 1, 1000, false, {1, 2, 3});
  Feed(parser, 2, 1000, true, {4, 5});
  ASSERT_EQ(h.client.frames.size(), 1u);
  const auto& f = h.client.frames[0];
  EXPECT_EQ(f.data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(f.capacity, 4096u);
  EXPECT_EQ(f.width, 352u);
  EXPECT_EQ(f.height, 288u);
  EXPECT_EQ(f.size_class, 2u);
  EXPECT_EQ(f.fourcc, ipcapture::kFourCCJpeg);
  EXPECT_TRUE(f.time_set);
  EXPECT_GE(f.time.wYear, 2024);
  EXPECT_EQ(h.factory.last_driver_name, "Tollivar");
  EXPECT_EQ(h.factory.created, 1);
  EXPECT_EQ(h.factory.released, 1);
  EXPECT_EQ(h.factory.Live(), 0u);
}

TEST(HandOffTest, NothingWithoutClientOrFactory) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  Feed(parser, 1, 1000, true, {1, 2, 3});
  EXPECT_EQ(h.factory.created, 0);
  parser.SetClient(&h.client);
  h.driver.frame_factory = nullptr;
  Feed(parser, 2, 2000, true, {1, 2, 3});
  EXPECT_EQ(h.factory.created, 0);
  EXPECT_TRUE(h.client.frames.empty());
  EXPECT_EQ(parser.BufferedBytes(), 0u);
}

// A frame the host has no room for is lost; the frames after it may refer to it, so the parser
// starts afresh (a depacketizer then waits for its next key frame).
TEST(HandOffTest, HostOutOfFramesLosesTheFrameAndResets) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  parser.SetClient(&h.client);
  h.factory.refuse = true;
  Feed(parser, 1, 1000, true, {1, 2, 3});
  EXPECT_EQ(h.factory.created, 1);
  EXPECT_EQ(h.factory.released, 0);
  EXPECT_EQ(parser.resets, 1);
  h.factory.refuse = false;
  Feed(parser, 2, 2000, true, {7});
  ASSERT_EQ(h.client.frames.size(), 1u);
  EXPECT_EQ(h.client.frames[0].data, std::vector<uint8_t>{7});
}

TEST(HandOffTest, UnwritableFrameResetsAndIsReleased) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  parser.SetClient(&h.client);
  h.factory.fail_data = true;
  Feed(parser, 1, 1000, true, {1, 2, 3});
  EXPECT_TRUE(h.client.frames.empty());
  EXPECT_EQ(parser.resets, 1);
  EXPECT_EQ(h.factory.released, 1);
}

TEST(HandOffTest, RefusedFrameResets) {
  Harness h;
  CPassThroughParser parser(&h.driver);
  parser.SetClient(&h.client);
  h.client.accept = false;
  Feed(parser, 1, 1000, true, {1, 2, 3});
  EXPECT_EQ(h.client.frames.size(), 1u);
  EXPECT_EQ(parser.resets, 1);
  EXPECT_EQ(h.factory.released, 1);
}

struct TimeCase {
  uint64_t file_time;
  ipcapture::SYSTEMTIME expected;
};

class SystemTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(SystemTimeTest, Converts) {
  const auto t = FileTimeToSystemTime(GetParam().file_time);
  const auto& e = GetParam().expected;
  EXPECT_EQ(t.wYear, e.wYear);
  EXPECT_EQ(t.wMonth, e.wMonth);
  EXPECT_EQ(t.wDayOfWeek, e.wDayOfWeek);
  EXPECT_EQ(t.wDay, e.wDay);
  EXPECT_EQ(t.wHour, e.wHour);
  EXPECT_EQ(t.wMinute, e.wMinute);
  EXPECT_EQ(t.wSecond, e.wSecond);
  EXPECT_EQ(t.wMilliseconds, e.wMilliseconds);
}

constexpr uint64_t kUnix = 116444736000000000ULL;
constexpr uint64_t kSecond = 10000000ULL;

INSTANTIATE_TEST_SUITE_P(
    Dates, SystemTimeTest,
    ::testing::Values(
        TimeCase{0, {1601, 1, 1, 1, 0, 0, 0, 0}},                      // a Monday
        TimeCase{kUnix, {1970, 1, 4, 1, 0, 0, 0, 0}},                  // a Thursday
        TimeCase{kUnix + 951827696ULL * kSecond + 7890000,             // 2000-02-29 12:34:56.789
                 {2000, 2, 2, 29, 12, 34, 56, 789}},
        TimeCase{kUnix + 1796688000ULL * kSecond, {2026, 12, 2, 8, 0, 0, 0, 0}},
        TimeCase{kUnix + 4107542399ULL * kSecond + 9999999,            // 2100-02-28 23:59:59.999
                 {2100, 2, 0, 28, 23, 59, 59, 999}}));

}  // namespace
}  // namespace korvane
