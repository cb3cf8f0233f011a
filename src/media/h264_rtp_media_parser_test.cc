#include "media/h264_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "media/testing/bit_writer_for_test.h"
#include "media/testing/media_test_support.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Feed;
using testing::Harness;

// x264's SPS of a 352x288 stream and its PPS (GStreamer fixture's sprop-parameter-sets).
const Bytes kSps = {0x67, 0xf4, 0x00, 0x0d, 0x90, 0xd9, 0x68, 0x16, 0x09, 0x6c,
                    0x05, 0x28, 0x30, 0x30, 0x32, 0x00, 0x00, 0x03, 0x00, 0x02,
                    0x00, 0x00, 0x03, 0x00, 0x65, 0x1e, 0x28, 0x55, 0x40};
const Bytes kPps = {0x68, 0xce, 0x31, 0x92};
const Bytes kAud = {0x00, 0x00, 0x01, 0x09, 0x30};
const Bytes kStart = {0x00, 0x00, 0x01};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// FU-A packet (RFC 6184 5.8): indicator with NRI 3, header with S/E and the NAL type.
Bytes FuA(uint8_t type, bool start, bool end, const Bytes& fragment) {
  Bytes p = {0x7C,  // FU indicator: NRI=3, type=28
             static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | type)};
  p.insert(p.end(), fragment.begin(), fragment.end());
  return p;
}

const Bytes kIdrSlice = {0x65, 0x88, 0x84, 0x00, 0x33};  // single NAL, type 5
const Bytes kPSlice = {0x41, 0x9a, 0x02, 0x04, 0x05};    // single NAL, type 1

class H264ParserTest : public ::testing::Test {
 protected:
  H264ParserTest() : parser_(&h_.driver) { parser_.SetClient(&h_.client); }

  void Send(const Bytes& payload, bool marker = false) {
    Feed(parser_, seq_++, ts_, marker, payload);
    if (marker) ts_ += 3600;
  }
  void Skip() { ++seq_; }
  // A key frame with in-band parameter sets, one packet per NAL unit.
  void SendKeyFrame() {
    Send(kSps);
    Send(kPps);
    Send(kIdrSlice, true);
  }
  void SendPFrame() { Send(kPSlice, true); }
  size_t Delivered() const { return h_.client.frames.size(); }
  const testing::DeliveredFrame& Last() const { return h_.client.frames.back(); }

  Harness h_;
  CH264RTPMediaParser parser_;
  uint16_t seq_ = 1000;
  uint32_t ts_ = 90000;
};

TEST_F(H264ParserTest, SdpParameterSetsGoInFrontOfIdrPictures) {
  DecoderConfig config;
  config.Sps = kSps;
  config.Pps = kPps;
  parser_.SetDecoderConfig(&config);
  EXPECT_EQ(parser_.Width(), 352u);
  EXPECT_EQ(parser_.Height(), 288u);
  for (int frame = 0; frame < 2; ++frame) {
    Send(FuA(5, true, false, {0x88, 0x84}));
    Send(FuA(5, false, false, {0x02}));
    Send(FuA(5, false, true, {0x03}), true);
    ASSERT_EQ(Delivered(), static_cast<size_t>(frame + 1));
    const Bytes body = Cat({kStart, kSps, kStart, kPps, kStart, {0x65, 0x88, 0x84, 0x02, 0x03}});
    EXPECT_EQ(Last().data, Cat({kAud, body}));
    EXPECT_EQ(Last().data_size, body.size() + 5);
    EXPECT_EQ(Last().capacity, CRTPMediaParser::FrameCapacity(body.size() + 5));
    EXPECT_EQ(Last().fourcc, ipcapture::kFourCCH264);
    EXPECT_EQ(Last().width, 352u);
    EXPECT_EQ(Last().height, 288u);
    EXPECT_EQ(Last().size_class, 2u);
  }
}

TEST_F(H264ParserTest, WithoutParameterSetsNothingIsDelivered) {
  for (int frame = 0; frame < 3; ++frame) {
    Send(FuA(5, true, false, {0x88, 0x84}));
    Send(FuA(5, false, true, {0x03}), true);
    SendPFrame();
  }
  EXPECT_EQ(Delivered(), 0u);
  EXPECT_EQ(h_.factory.created, 0);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

TEST_F(H264ParserTest, UndecodableSdpSpsIsNotTaken) {
  DecoderConfig config;
  config.Sps = {0x67, 0x42};  // runs out after profile_idc
  config.Pps = {};
  parser_.SetDecoderConfig(&config);
  EXPECT_EQ(parser_.Width(), 0u);
  Send(kIdrSlice, true);
  EXPECT_EQ(Delivered(), 0u);
}

// An encoder that sends AUD and SEI first: the parameter sets still go in before the slice.
TEST_F(H264ParserTest, SdpParameterSetsAfterDelimiterAndSei) {
  DecoderConfig config;
  config.Sps = kSps;
  config.Pps = kPps;
  parser_.SetDecoderConfig(&config);
  const Bytes aud = {0x09, 0xf0};
  const Bytes sei = {0x06, 0x05, 0x01, 0x80};
  Send(aud);
  Send(sei);
  Send(FuA(5, true, true, {0x88, 0x84}), true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data,
            Cat({kStart, aud, kStart, sei, kStart, kSps, kStart, kPps, kStart, {0x65, 0x88, 0x84}}));
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCH264);
}

// An IDR slice NAL unit: header byte, then the slice header's first fields (H.264 7.3.3) for
// kSps (log2_max_frame_num 4) and some slice data.
Bytes IdrNal(uint8_t header, uint32_t first_mb, uint32_t slice_type, uint32_t pps_id,
             uint32_t frame_num) {
  testing::BitWriter w;
  w.Ue(first_mb).Ue(slice_type).Ue(pps_id).U(4, frame_num).Ue(0);  // ..., idr_pic_id
  Bytes nal = {header};
  const Bytes bits = w.Finish();
  nal.insert(nal.end(), bits.begin(), bits.end());
  nal.insert(nal.end(), {0x33, 0x44, 0x55});
  return nal;
}

struct IdrCase {
  const char* name;
  Bytes nal;
  bool key_frame;  // the SDP parameter sets go in front and the frame is delivered
};

// After a reset only an IDR slice whose header fits the SDP's parameter sets becomes a key
// frame; anything else with type 5 in its first byte is noise or a picture's later slice.
class H264IdrPlausibilityTest : public H264ParserTest,
                                public ::testing::WithParamInterface<IdrCase> {};

TEST_P(H264IdrPlausibilityTest, SdpParameterSetsOnlyInFrontOfAPictureStart) {
  DecoderConfig config;
  config.Sps = kSps;
  config.Pps = kPps;  // pic_parameter_set_id 0
  parser_.SetDecoderConfig(&config);
  const Bytes& nal = GetParam().nal;
  // Once as a single NAL unit packet, once as FU-A fragments (the header fields arrive in the
  // first fragment).
  Send(nal, true);
  // FU indicator: the NAL unit's forbidden bit and NRI, type 28; FU header: S or E, type.
  const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
  const uint8_t type = nal[0] & 0x1F;
  const uint8_t first = static_cast<uint8_t>(0x80 | type);
  const uint8_t last = static_cast<uint8_t>(0x40 | type);
  Send(Cat({{indicator, first}, Bytes(nal.begin() + 1, nal.begin() + 4)}));
  Send(Cat({{indicator, last}, Bytes(nal.begin() + 4, nal.end())}), true);
  if (GetParam().key_frame) {
    ASSERT_EQ(Delivered(), 2u);
    for (const auto& f : h_.client.frames) {
      EXPECT_EQ(f.data, Cat({kAud, kStart, kSps, kStart, kPps, kStart, nal}));
      EXPECT_EQ(f.fourcc, ipcapture::kFourCCH264);
    }
  } else {
    EXPECT_EQ(Delivered(), 0u);
    EXPECT_TRUE(parser_.AwaitingKeyFrame());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Slices, H264IdrPlausibilityTest,
    ::testing::Values(IdrCase{"ISlice", IdrNal(0x65, 0, 7, 0, 0), true},
                      IdrCase{"ISliceType2", IdrNal(0x65, 0, 2, 0, 0), true},
                      IdrCase{"SISlice", IdrNal(0x25, 0, 9, 0, 0), true},
                      IdrCase{"NalRefIdcZero", IdrNal(0x05, 0, 7, 0, 0), false},
                      IdrCase{"ForbiddenBitSet", IdrNal(0xE5, 0, 7, 0, 0), false},
                      IdrCase{"LaterSliceOfThePicture", IdrNal(0x65, 120, 7, 0, 0), false},
                      IdrCase{"PSliceType", IdrNal(0x65, 0, 5, 0, 0), false},
                      IdrCase{"BSliceType", IdrNal(0x65, 0, 6, 0, 0), false},
                      IdrCase{"SliceTypeOutOfRange", IdrNal(0x65, 0, 12, 0, 0), false},
                      IdrCase{"OtherPps", IdrNal(0x65, 0, 7, 1, 0), false},
                      IdrCase{"FrameNumNotZero", IdrNal(0x65, 0, 7, 0, 3), false},
                      IdrCase{"NoSliceHeader", {0x65, 0x00, 0x00, 0x00, 0x00}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Where the camera's sequence number and RTP clock start (RFC 3550 5.1 allows any value): the
// frames across either wrap, or both at once, are all delivered, each later than the one before.
struct WrapCase {
  const char* name;
  uint16_t first_sequence;
  uint32_t first_timestamp;
};

class H264WrapTest : public H264ParserTest, public ::testing::WithParamInterface<WrapCase> {};

auto TimeKey(const ipcapture::SYSTEMTIME& t) {
  return std::tie(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

TEST_P(H264WrapTest, FramesAcrossTheWrapKeepIncreasingTimes) {
  seq_ = GetParam().first_sequence;
  ts_ = GetParam().first_timestamp;
  SendKeyFrame();
  for (int i = 0; i < 5; ++i) SendPFrame();
  ASSERT_EQ(Delivered(), 6u);
  for (size_t i = 1; i < h_.client.frames.size(); ++i) {
    EXPECT_GT(TimeKey(h_.client.frames[i].time), TimeKey(h_.client.frames[i - 1].time)) << i;
  }
}

// 0xFFFFB9B0 + 5 * 3600 = 2^32: one frame is stamped exactly 0.
INSTANTIATE_TEST_SUITE_P(
    Starts, H264WrapTest,
    ::testing::Values(WrapCase{"SequenceWraps", 65533, 90000},
                      WrapCase{"TimestampPassesZero", 1000, 0xFFFFB9B0u},
                      WrapCase{"BothWrapTogether", 65533, 0xFFFFB9B0u},
                      WrapCase{"TimestampWrapsBetweenTicks", 1000, 0xFFFFF000u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(H264ParserTest, ShortSpsWithMarkerDoesNotEndTheFrame) {
  Send(kSps, true);  // 29 bytes
  EXPECT_EQ(Delivered(), 0u);
  Send(kPps);
  Send(kIdrSlice, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, kSps, kStart, kPps, kStart, kIdrSlice}));
}

TEST_F(H264ParserTest, LongSpsWithMarkerEndsTheFrame) {
  Bytes long_sps = kSps;
  long_sps.resize(65, 0x00);  // trailing zero bytes after the RBSP
  Send(long_sps, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, long_sps}));
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCH264);
}

// Delimiters (2 bytes) and end of sequence (1 byte) are whole NAL units.
TEST_F(H264ParserTest, TinyNalUnitsAreKept) {
  const Bytes aud = {0x09, 0xf0};
  Send(aud);
  SendKeyFrame();
  ASSERT_EQ(Delivered(), 1u);
  // The camera's delimiter opens the frame; no second one is added.
  EXPECT_EQ(Last().data, Cat({kStart, aud, kStart, kSps, kStart, kPps, kStart, kIdrSlice}));
  Send({0x0A});  // end of sequence
  SendPFrame();
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCI264);
  EXPECT_EQ(Last().width, 352u);
}

TEST_F(H264ParserTest, EmptyPayloadResets) {
  SendKeyFrame();
  Send({});
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

TEST_F(H264ParserTest, SeiInFrontOfFragmentedPSliceIsDropped) {
  SendKeyFrame();
  Send({0x06, 0x05, 0x01, 0x80});
  Send(FuA(1, true, false, {0x9a, 0x01}));
  Send(FuA(1, false, true, {0x02}), true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, {0x61, 0x9a, 0x01, 0x02}}));
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCI264);
}

// A picture cut into slices: the fragmented second slice must not push out the first.
TEST_F(H264ParserTest, AllSlicesOfAPictureAreKept) {
  SendKeyFrame();
  Send(kPSlice);
  Send(FuA(1, true, false, {0x9b, 0x01}));
  Send(FuA(1, false, true, {0x02}), true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, kPSlice, kStart, {0x61, 0x9b, 0x01, 0x02}}));
}

TEST_F(H264ParserTest, StapAUnitsEachGetAStartCode) {
  SendKeyFrame();
  const Bytes unit1 = {0x41, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Bytes unit2 = {0x41, 0xa, 0xb, 0xc, 0xd};
  const Bytes stap = Cat({{0x18}, {0x00, 0x0a}, unit1, {0x00, 0x05}, unit2});
  ASSERT_EQ(stap.size(), 20u);
  Send(stap, true);
  ASSERT_EQ(Delivered(), 2u);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, unit1, kStart, unit2}));
}

TEST_F(H264ParserTest, StapAWithParameterSetsIsAKeyFrame) {
  const Bytes stap = Cat({{0x18}, {0x00, static_cast<uint8_t>(kSps.size())}, kSps,
                          {0x00, static_cast<uint8_t>(kPps.size())}, kPps, {0x00}});
  Send(stap);  // with one trailing byte
  Send(kIdrSlice, true);
  ASSERT_EQ(Delivered(), 1u);
  EXPECT_EQ(Last().fourcc, ipcapture::kFourCCH264);
  EXPECT_EQ(Last().data, Cat({kAud, kStart, kSps, kStart, kPps, kStart, kIdrSlice}));
}

TEST_F(H264ParserTest, StapAUnitPastTheEndResets) {
  SendKeyFrame();
  Send({0x18, 0x00, 0x0a, 0x41, 1, 2, 3}, true);
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

TEST_F(H264ParserTest, LossInAPFrameDropsFramesUntilTheNextKeyFrame) {
  SendKeyFrame();
  Send(FuA(1, true, false, {0x9a, 0x01}));
  Skip();
  Send(FuA(1, false, true, {0x03}), true);
  SendPFrame();
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);
  SendKeyFrame();
  SendPFrame();
  ASSERT_EQ(Delivered(), 3u);
  EXPECT_EQ(h_.client.frames[1].fourcc, ipcapture::kFourCCH264);
  EXPECT_EQ(h_.client.frames[2].fourcc, ipcapture::kFourCCI264);
}

TEST_F(H264ParserTest, FragmentWithoutItsStartAfterLossIsDropped) {
  SendKeyFrame();
  Skip();  // the start fragment
  Send(FuA(5, false, true, {0x03}), true);
  EXPECT_EQ(Delivered(), 1u);
}

class H264UnsupportedTypeTest : public H264ParserTest,
                                public ::testing::WithParamInterface<uint8_t> {};

TEST_P(H264UnsupportedTypeTest, FailsThePacketAndResets) {
  SendKeyFrame();
  Send({static_cast<uint8_t>(0x60 | GetParam()), 0x80, 0x01, 0x02, 0x03, 0x04});
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_TRUE(parser_.AwaitingKeyFrame());
}

INSTANTIATE_TEST_SUITE_P(Types, H264UnsupportedTypeTest,
                         ::testing::Values(0, 25, 26, 27, 29, 30, 31));

TEST_F(H264ParserTest, ShortFuAResets) {
  SendKeyFrame();
  Send({0x7C, 0x81});
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);
}

TEST_F(H264ParserTest, OversizedFrameLogsOnceAndResets) {
  SendKeyFrame();
  const Bytes fragment(1400, 0x55);
  Send(FuA(1, true, false, fragment));
  const size_t packets = CRTPMediaParser::kMaxFrameBytes / fragment.size() + 2;
  for (size_t i = 0; i < packets; ++i) Send(FuA(1, false, false, fragment));
  EXPECT_LE(parser_.BufferedBytes(), CRTPMediaParser::kMaxFrameBytes);
  Send(FuA(1, false, true, fragment), true);
  EXPECT_EQ(Delivered(), 1u);
  EXPECT_EQ(h_.driver.Lines().size(), 1u);
}

TEST_F(H264ParserTest, WithoutClientFramesAreDropped) {
  parser_.SetClient(nullptr);
  SendKeyFrame();
  SendPFrame();
  EXPECT_EQ(h_.factory.created, 0);
  EXPECT_EQ(parser_.BufferedBytes(), 0u);
}

TEST_F(H264ParserTest, RefusedFrameWaitsForTheNextKeyFrame) {
  h_.client.accept = false;
  SendKeyFrame();
  h_.client.accept = true;
  SendPFrame();
  EXPECT_EQ(Delivered(), 1u);  // only the refused one
  SendKeyFrame();
  EXPECT_EQ(Delivered(), 2u);
}

}  // namespace
}  // namespace korvane
