#include "packet_faults.h"

#include <gtest/gtest.h>

#include <vector>

namespace camsim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(PacketFaultsTest, PaddingSetsThePBitAndCountsItself) {
  const Bytes packet = {
      0x80, 0x1a, 0x12, 0x34,  // V=2, PT=26 (JPEG), sequence 0x1234
      0, 0, 0, 1,              // timestamp
      0, 0, 0, 2,              // SSRC
      0xaa, 0xbb,              // payload
  };
  const Bytes padded = PadRtp(packet, 4);
  ASSERT_EQ(padded.size(), packet.size() + 4);
  EXPECT_EQ(padded[0], 0xa0);  // P bit (0x20) added to V=2
  EXPECT_EQ(Bytes(padded.begin() + 1, padded.begin() + 14), Bytes(packet.begin() + 1, packet.end()));
  EXPECT_EQ(Bytes(padded.end() - 4, padded.end()), (Bytes{0, 0, 0, 4}));
  // Not an RTP packet: unchanged.
  EXPECT_EQ(PadRtp(Bytes{0x80, 0x1a}, 4), (Bytes{0x80, 0x1a}));
}

TEST(PacketFaultsTest, SequenceNumberIsWrittenBigEndian) {
  Bytes packet(12, 0);
  SetRtpSequence(packet, 0xfffe);
  EXPECT_EQ(packet[2], 0xff);
  EXPECT_EQ(packet[3], 0xfe);
}

TEST(PacketFaultsTest, NumberingShiftWrapsBothFields) {
  Bytes packet = {0x80, 0x60, 0x00, 0x10, 0x00, 0x00, 0x00, 0x20, 1, 2, 3, 4, 0xAB};
  ShiftRtpNumbering(packet, 0xfff0, 0xffffffe0u);
  EXPECT_EQ(packet, (Bytes{0x80, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 1, 2, 3, 4, 0xAB}));
}

TEST(PacketFaultsTest, EveryTenthPictureOfThreePacketsOrMoreLosesItsMiddle) {
  struct Case {
    uint64_t picture;
    size_t packets;
    int dropped;
  };
  for (const Case& c : {Case{10, 30, 15}, Case{20, 3, 1}, Case{30, 4, 2}, Case{10, 2, -1},
                        Case{9, 30, -1}, Case{11, 30, -1}, Case{0, 30, -1}}) {
    EXPECT_EQ(DroppedFragment(c.picture, c.packets), c.dropped)
        << "picture " << c.picture << " of " << c.packets << " packets";
  }
}

}  // namespace
}  // namespace camsim
