#include "rtp/rtp_packet.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Span(std::span<const uint8_t> s) { return Bytes(s.begin(), s.end()); }

// V=2, no P/X/CC; marker set, PT 96; sequence 0x1234; timestamp 0x89ABCDEF; SSRC 11 22 33 44.
Bytes Header(uint8_t first = 0x80) {
  return {first, 0xE0, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 0x11, 0x22, 0x33, 0x44};
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RtpPacketTest, FixedHeaderFields) {
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(Concat(Header(), {0xAB})));
  EXPECT_EQ(packet.Marker(), 1);
  EXPECT_EQ(packet.PayloadType(), 96);
  EXPECT_EQ(packet.Padding(), 0);
  EXPECT_EQ(packet.Sequence(), 0x1234);
  EXPECT_EQ(packet.Timestamp(), 0x89ABCDEFu);
  uint32_t wire_ssrc;
  const uint8_t ssrc_bytes[] = {0x11, 0x22, 0x33, 0x44};
  std::memcpy(&wire_ssrc, ssrc_bytes, 4);
  EXPECT_EQ(packet.Ssrc(), wire_ssrc);  // as on the wire
  EXPECT_EQ(packet.CsrcCount(), 0);
  EXPECT_TRUE(packet.CsrcList().empty());
  EXPECT_EQ(packet.PayloadLength(), 1);
  EXPECT_EQ(Span(packet.Payload()), Bytes{0xAB});
}

TEST(RtpPacketTest, LengthAndVersionRules) {
  struct Case {
    const char* name;
    Bytes data;
    bool ok;
    int payload_length;
  };
  const Case cases[] = {
      {"empty", {}, false, 0},
      {"header only", Header(), false, 0},
      {"one payload byte", Concat(Header(), {0x01}), true, 1},
      {"version 0", Concat(Header(0x00), {0x01}), false, 0},
      {"version 1", Concat(Header(0x40), {0x01}), false, 0},
      {"version 3", Concat(Header(0xC0), {0x01}), false, 0},
      {"marker clear", Concat({0x80, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, {0x01, 0x02}), true, 2},
  };
  for (const Case& c : cases) {
    CRTPPacket packet;
    EXPECT_EQ(packet.Parse(c.data), c.ok) << c.name;
    EXPECT_EQ(packet.PayloadLength(), c.payload_length) << c.name;
  }
}

TEST(RtpPacketTest, PaddingIsTakenOffThePayload) {
  struct Case {
    const char* name;
    Bytes data;
    bool ok;
    Bytes payload;
  };
  const Case cases[] = {
      {"three padding octets", Concat(Header(0xA0), {0x55, 0x00, 0x00, 0x03}), true, {0x55}},
      {"count octet alone", Concat(Header(0xA0), {0x55, 0x66, 0x01}), true, {0x55, 0x66}},
      {"count zero", Concat(Header(0xA0), {0x55, 0x00}), false, {}},
      {"count covers the payload", Concat(Header(0xA0), {0x55, 0x02}), false, {}},
      {"count reaches into the header", Concat(Header(0xA0), {0x55, 0x40}), false, {}},
      {"count 255 in a short packet", Concat(Header(0xA0), {0x55, 0xFF}), false, {}},
      // P bit with a CSRC: the count is measured against what follows the CSRC list.
      {"after a CSRC", Concat(Header(0xA1), {1, 2, 3, 4, 0x77, 0x00, 0x02}), true, {0x77}},
      {"P bit clear keeps the last octet", Concat(Header(), {0x55, 0x01}), true, {0x55, 0x01}},
  };
  for (const Case& c : cases) {
    CRTPPacket packet;
    EXPECT_EQ(packet.Parse(c.data), c.ok) << c.name;
    EXPECT_EQ(Span(packet.Payload()), c.payload) << c.name;
    EXPECT_EQ(packet.PayloadLength(), static_cast<int>(c.payload.size())) << c.name;
  }
}

TEST(RtpPacketTest, CsrcListBounds) {
  // CC=1: the 4 CSRC bytes must leave at least one payload byte.
  const Bytes csrc = {0xC0, 0xC1, 0xC2, 0xC3};
  CRTPPacket packet;
  EXPECT_FALSE(packet.Parse(Concat(Header(0x81), csrc)));
  EXPECT_FALSE(packet.Parse(Concat(Header(0x81), {0xC0, 0xC1, 0xC2})));
  ASSERT_TRUE(packet.Parse(Concat(Concat(Header(0x81), csrc), {0x77})));
  EXPECT_EQ(packet.CsrcCount(), 1);
  EXPECT_EQ(Span(packet.CsrcList()), csrc);
  EXPECT_EQ(Span(packet.Payload()), Bytes{0x77});

  // CC=15: 60 bytes of CSRC.
  Bytes list(60);
  for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<uint8_t>(i);
  EXPECT_FALSE(packet.Parse(Concat(Header(0x8F), list)));
  ASSERT_TRUE(packet.Parse(Concat(Concat(Header(0x8F), list), {0x99, 0x98})));
  EXPECT_EQ(packet.CsrcCount(), 15);
  EXPECT_EQ(Span(packet.CsrcList()), list);
  EXPECT_EQ(Span(packet.Payload()), (Bytes{0x99, 0x98}));
}

TEST(RtpPacketTest, EmptyExtensionStartsPayloadAt16) {
  CRTPPacket packet;
  const Bytes data = Concat(Header(0x90), {0xBE, 0xDE, 0x00, 0x00, 0x01, 0x02});
  ASSERT_TRUE(packet.Parse(data));
  EXPECT_EQ(packet.ExtensionLength(), 0);
  EXPECT_TRUE(packet.ExtensionData().empty());
  const uint8_t profile_bytes[] = {0xBE, 0xDE};
  uint16_t wire_profile;
  std::memcpy(&wire_profile, profile_bytes, 2);
  EXPECT_EQ(packet.ExtensionProfile(), wire_profile);
  EXPECT_EQ(Span(packet.Payload()), Bytes(data.begin() + 16, data.end()));
}

TEST(RtpPacketTest, ExtensionBounds) {
  struct Case {
    const char* name;
    Bytes after_header;
    bool ok;
    Bytes extension;
    Bytes payload;
  };
  const Case cases[] = {
      {"extension header cut", {0xBE, 0xDE, 0x00}, false, {}, {}},
      {"empty extension without payload", {0xBE, 0xDE, 0x00, 0x00}, false, {}, {}},
      {"one word, no payload", {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4}, false, {}, {}},
      {"one word cut", {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3}, false, {}, {}},
      {"one word and payload", {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4, 0xEE}, true, {1, 2, 3, 4},
       {0xEE}},
      {"two words and payload",
       {0x10, 0x00, 0x00, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE, 0xEF},
       true,
       {1, 2, 3, 4, 5, 6, 7, 8},
       {0xEE, 0xEF}},
      {"length larger than the datagram", {0xBE, 0xDE, 0xFF, 0xFF, 1, 2, 3, 4, 5}, false, {}, {}},
  };
  for (const Case& c : cases) {
    CRTPPacket packet;
    EXPECT_EQ(packet.Parse(Concat(Header(0x90), c.after_header)), c.ok) << c.name;
    EXPECT_EQ(Span(packet.ExtensionData()), c.extension) << c.name;
    EXPECT_EQ(Span(packet.Payload()), c.payload) << c.name;
  }
}

TEST(RtpPacketTest, ExtensionOfMoreThan255Words) {
  // 256 words: taking only the low 8 bits of the length would read it as empty and hand
  // 1024 extension bytes to the depacketizer as payload.
  Bytes data = Concat(Header(0x90), {0x10, 0x00, 0x01, 0x00});
  data.insert(data.end(), 1024, 0x5A);
  data.push_back(0x7C);
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(data));
  EXPECT_EQ(packet.ExtensionLength(), 256);
  EXPECT_EQ(packet.ExtensionData().size(), 1024u);
  EXPECT_EQ(Span(packet.Payload()), Bytes{0x7C});
}

TEST(RtpPacketTest, CsrcAndExtensionTogether) {
  Bytes data = Concat(Header(0x92), {1, 1, 1, 1, 2, 2, 2, 2});  // CC=2
  data = Concat(data, {0x00, 0x01, 0x00, 0x01, 9, 9, 9, 9});    // one extension word
  CRTPPacket packet;
  EXPECT_FALSE(packet.Parse(data));  // no payload
  data.push_back(0x42);
  ASSERT_TRUE(packet.Parse(data));
  EXPECT_EQ(packet.CsrcList().size(), 8u);
  EXPECT_EQ(Span(packet.ExtensionData()), (Bytes{9, 9, 9, 9}));
  EXPECT_EQ(Span(packet.Payload()), Bytes{0x42});
  // CSRC list reaching the end leaves no room for the extension header.
  EXPECT_FALSE(packet.Parse(Concat(Header(0x92), {1, 1, 1, 1, 2, 2, 2, 2, 0x00})));
}

TEST(RtpPacketTest, ReparseAndFailureClearEverything) {
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(Concat(Concat(Header(0x91), {1, 2, 3, 4}), {0, 1, 0, 1, 5, 6, 7, 8, 9})));
  ASSERT_TRUE(packet.Parse(Concat(Header(), {0x01})));
  EXPECT_EQ(packet.CsrcCount(), 0);
  EXPECT_TRUE(packet.CsrcList().empty());
  EXPECT_TRUE(packet.ExtensionData().empty());
  EXPECT_EQ(packet.ExtensionProfile(), 0);
  EXPECT_FALSE(packet.Parse(Header()));
  EXPECT_EQ(packet.Sequence(), 0);
  EXPECT_EQ(packet.Marker(), 0);
  EXPECT_EQ(packet.PayloadLength(), 0);
  EXPECT_TRUE(packet.Payload().empty());
  EXPECT_FALSE(packet.Parse(0, nullptr));
}

TEST(RtpPacketTest, PayloadIsACopy) {
  Bytes data = Concat(Header(), {0x10, 0x20});
  CRTPPacket packet;
  ASSERT_TRUE(packet.Parse(data));
  data[12] = 0xFF;
  EXPECT_EQ(Span(packet.Payload()), (Bytes{0x10, 0x20}));
  const CRTPPacket copy = packet;
  EXPECT_EQ(Span(copy.Payload()), (Bytes{0x10, 0x20}));
}

}  // namespace
}  // namespace korvane
