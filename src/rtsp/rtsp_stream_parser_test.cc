#include "rtsp/rtsp_stream_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "rtp/rtp_packet.h"
#include "rtsp/testing/rtsp_testdata.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
  uint16_t sequence;
  Bytes payload;
  bool operator==(const Seen&) const = default;
};

// Keeps a copy of every packet: the packet itself lives only for the call.
class RecordingUser : public IRTPReceiverUser {
 public:
  void OnPacket(const CRTPPacket& packet) override {
    packets.push_back({packet.Sequence(), Bytes(packet.Payload().begin(), packet.Payload().end())});
  }
  void OnPacketFrom(const SocketAddress&, const CRTPPacket&) override { ++unexpected; }
  void OnTransportWait() override { ++unexpected; }
  void OnTransportClosed() override { ++unexpected; }
  void OnCodecConfig(const DecoderConfig*) override { ++unexpected; }

  std::vector<Seen> packets;
  int unexpected = 0;
};

Bytes RtpPacket(uint16_t sequence, const Bytes& payload) {
  Bytes packet = {0x80, 0x60,                                      // V=2, PT=96
                  static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
                  0x00, 0x00, 0x10, 0x00,                          // timestamp
                  0x11, 0x22, 0x33, 0x44};                         // SSRC
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

Bytes Frame(uint8_t channel, const Bytes& content) {
  Bytes frame = {0x24, channel, static_cast<uint8_t>(content.size() >> 8),
                 static_cast<uint8_t>(content.size())};
  frame.insert(frame.end(), content.begin(), content.end());
  return frame;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// An RTCP sender report (RFC 3550 section 6.4.1) whose SSRC and NTP time hold "$\0" followed
// by bytes that read as a large length: a byte scan would take a frame from inside it.
Bytes SenderReportWithDollarZero() {
  return {0x80, 0xC8, 0x00, 0x06,   // V=2, PT=200 (SR), length 6 words
          0x24, 0x00, 0x7F, 0xF0,   // sender SSRC: '$', 0, then "length" 0x7FF0
          0x24, 0x00, 0x00, 0x20,   // NTP timestamp, most significant word
          0x00, 0x00, 0x00, 0x00,   // NTP timestamp, least significant word
          0x00, 0x01, 0x5F, 0x90,   // RTP timestamp
          0x00, 0x00, 0x00, 0x10,   // sender's packet count
          0x00, 0x00, 0x24, 0x00};  // sender's octet count
}

std::vector<Seen> FeedInPieces(const Bytes& stream, const std::vector<size_t>& cuts) {
  RecordingUser user;
  CRTSPStreamParser parser(&user);
  size_t start = 0;
  for (size_t cut : cuts) {
    parser.Consume(std::span<const uint8_t>(stream.data() + start, cut - start));
    start = cut;
  }
  parser.Consume(std::span<const uint8_t>(stream.data() + start, stream.size() - start));
  EXPECT_EQ(user.unexpected, 0);
  return user.packets;
}

TEST(StreamParserTest, TwoFramesInOneChunk) {
  const Bytes stream = Join({Frame(0, RtpPacket(1, {0xAA})), Frame(0, RtpPacket(2, {0xBB, 0xCC}))});
  EXPECT_EQ(FeedInPieces(stream, {}), (std::vector<Seen>{{1, {0xAA}}, {2, {0xBB, 0xCC}}}));
}

TEST(StreamParserTest, ResponseBeforeFirstFrameAndOtherChannelsAreSkipped) {
  const Bytes stream = Join({
      Text("RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: abc\r\n\r\n"),
      Frame(1, RtpPacket(900, {0x01, 0x02})),  // RTCP channel
      Frame(0, RtpPacket(7, {0x42})),
      Text("RTSP/1.0 200 OK\r\nCSeq: 6\r\n\r\n"),  // keep-alive answer between frames
      Frame(0, RtpPacket(8, {0x43})),
  });
  EXPECT_EQ(FeedInPieces(stream, {}), (std::vector<Seen>{{7, {0x42}}, {8, {0x43}}}));
}

TEST(StreamParserTest, ZeroLengthFrameDeliversNothingAndKeepsTheNext) {
  const Bytes stream = Join({Frame(0, {}), Frame(0, RtpPacket(3, {0x33}))});
  EXPECT_EQ(FeedInPieces(stream, {}), (std::vector<Seen>{{3, {0x33}}}));
}

TEST(StreamParserTest, RepeatedDollarStillFrames) {
  const Bytes stream = Join({Bytes{0x24}, Frame(0, RtpPacket(4, {0x44}))});
  EXPECT_EQ(FeedInPieces(stream, {}), (std::vector<Seen>{{4, {0x44}}}));
}

TEST(StreamParserTest, InvalidRtpIsDroppedAndScanGoesOn) {
  const Bytes stream = Join({Frame(0, Bytes(12, 0x80)),                     // header only
                             Frame(0, Bytes{0x40, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9}),  // V=1
                             Frame(0, RtpPacket(5, {0x55}))});
  EXPECT_EQ(FeedInPieces(stream, {}), (std::vector<Seen>{{5, {0x55}}}));
}

TEST(StreamParserTest, LargestFrame) {
  const Bytes payload(65535 - 12, 0x5A);
  EXPECT_EQ(FeedInPieces(Frame(0, RtpPacket(6, payload)), {}), (std::vector<Seen>{{6, payload}}));
}

TEST(StreamParserTest, SplitAtEveryBytePosition) {
  const Bytes stream = Join({
      Text("RTSP/1.0 200 OK\r\n\r\n"),
      Frame(0, RtpPacket(10, {0x01, 0x02, 0x03})),
      Frame(1, RtpPacket(11, {0x04})),
      Frame(0, {}),
      Frame(1, SenderReportWithDollarZero()),
      Frame(0, RtpPacket(12, {0x05, 0x24, 0x00, 0x06})),
  });
  const std::vector<Seen> whole = FeedInPieces(stream, {});
  ASSERT_EQ(whole.size(), 2u);
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(FeedInPieces(stream, {cut}), whole) << "split at " << cut;
  }
  std::vector<size_t> every_byte;
  for (size_t i = 1; i < stream.size(); ++i) every_byte.push_back(i);
  EXPECT_EQ(FeedInPieces(stream, every_byte), whole);
}

TEST(StreamParserTest, FramesAreTakenByTheirLengthWhateverTheyContain) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Seen> packets;
  };
  const Bytes rtp_with_dollar = RtpPacket(21, {0x24, 0x00, 0xFF, 0xFF, 0x24, 0x01});
  const Case cases[] = {
      {"RTCP report containing $\0",
       Join({Frame(0, RtpPacket(1, {0x11})), Frame(1, SenderReportWithDollarZero()),
             Frame(0, RtpPacket(2, {0x22})), Frame(0, RtpPacket(3, {0x33}))}),
       {{1, {0x11}}, {2, {0x22}}, {3, {0x33}}}},
      {"unused channel 4 holding an RTP-looking frame",
       Join({Frame(4, Join({Bytes{0x24, 0x00, 0x00, 0x0D}, RtpPacket(99, {0x99})})),
             Frame(0, RtpPacket(5, {0x55}))}),
       {{5, {0x55}}}},
      {"RTP payload containing $\0",
       Join({Frame(0, rtp_with_dollar), Frame(0, RtpPacket(22, {1}))}),
       {{21, {0x24, 0x00, 0xFF, 0xFF, 0x24, 0x01}}, {22, {1}}}},
      {"keep-alive answer between frames",
       Join({Frame(1, SenderReportWithDollarZero()), Text("RTSP/1.0 200 OK\r\nCSeq: 9\r\n\r\n"),
             Frame(0, RtpPacket(8, {0x08}))}),
       {{8, {0x08}}}},
      {"$ before a line end is text, not a header",
       Join({Text("RTSP/1.0 200 OK\r\nX-Price: 5$\r\n\r\n"), Frame(0, RtpPacket(9, {0x09}))}),
       {{9, {0x09}}}},
      {"$ before a letter is text",
       Join({Text("$RTSP"), Frame(0, RtpPacket(10, {0x0A}))}),
       {{10, {0x0A}}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FeedInPieces(c.stream, {}), c.packets) << c.name;
    // Every split of the stream in two gives the same packets.
    for (size_t cut = 1; cut < c.stream.size(); ++cut) {
      ASSERT_EQ(FeedInPieces(c.stream, {cut}), c.packets) << c.name << ", split at " << cut;
    }
  }
}

// Counts what reaches a frame sink: the frames in place, unparsed.
class CountingSink : public IRTPFrameSink {
 public:
  void OnRtpFrame(std::span<const uint8_t> frame) override {
    frames.emplace_back(frame.begin(), frame.end());
  }
  std::vector<Bytes> frames;
};

TEST(StreamParserTest, FrameSinkGetsEveryRtpChannelFrameAndSkipsCountTheRest) {
  CountingSink sink;
  CRTSPStreamParser parser(&sink);
  const Bytes not_rtp = {0x00, 0x01};  // too short for RTP: the sink's owner decides
  const Bytes stream = Join({Frame(0, not_rtp), Frame(1, SenderReportWithDollarZero()),
                             Frame(4, {0x24, 0x00}), Frame(0, RtpPacket(7, {0x07}))});
  parser.Consume(std::span<const uint8_t>(stream.data(), 9));
  parser.Consume(std::span<const uint8_t>(stream.data() + 9, stream.size() - 9));
  EXPECT_EQ(sink.frames, (std::vector<Bytes>{not_rtp, RtpPacket(7, {0x07})}));
  EXPECT_EQ(parser.SkippedFrames(), 2u);
}

TEST(StreamParserTest, NullUserAndEmptyChunks) {
  CRTSPStreamParser parser(nullptr);
  const Bytes frame = Frame(0, RtpPacket(1, {1}));
  parser.Consume(frame);
  parser.Consume(std::span<const uint8_t>());
  parser.Consume(nullptr, 10);
  RecordingUser user;
  CRTSPStreamParser with_user(&user);
  with_user.Consume(std::span<const uint8_t>());
  with_user.Consume(frame);
  EXPECT_EQ(user.packets.size(), 1u);
}

// The bytes GStreamer's RTSP server sent after PLAY on an interleaved H.264 session.
class CapturedStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string raw = testdata::ReadFile("h264_interleaved.bin");
    stream_.assign(raw.begin(), raw.end());
    ASSERT_GT(stream_.size(), 10000u);
  }
  Bytes stream_;
};

TEST_F(CapturedStreamTest, PacketsAreConsecutiveAndAllArrive) {
  const std::vector<Seen> packets = FeedInPieces(stream_, {});
  ASSERT_GT(packets.size(), 20u);
  for (size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(static_cast<uint16_t>(packets[i - 1].sequence + 1), packets[i].sequence) << i;
  }
  // The capture is cut at an arbitrary byte: at most the last frame is incomplete.
  size_t frames = 0;
  size_t rtp_frames = 0;
  for (size_t pos = 0; pos + 4 <= stream_.size();) {
    ASSERT_EQ(stream_[pos], 0x24) << "capture does not start at a frame boundary";
    const size_t length = stream_[pos + 2] * 256u + stream_[pos + 3];
    if (pos + 4 + length > stream_.size()) break;
    ++frames;
    if (stream_[pos + 1] == 0) ++rtp_frames;
    pos += 4 + length;
  }
  EXPECT_GT(frames, rtp_frames);  // RTCP sender reports on channel 1 were skipped
  EXPECT_EQ(packets.size(), rtp_frames);
}

TEST_F(CapturedStreamTest, RandomChunkSizesGiveTheSamePackets) {
  const std::vector<Seen> whole = FeedInPieces(stream_, {});
  std::mt19937 random(1234);
  for (int round = 0; round < 20; ++round) {
    std::uniform_int_distribution<size_t> step(1, round < 10 ? 16 : 3000);
    std::vector<size_t> cuts;
    for (size_t pos = step(random); pos < stream_.size(); pos += step(random)) cuts.push_back(pos);
    EXPECT_EQ(FeedInPieces(stream_, cuts), whole) << "round " << round;
  }
}

}  // namespace
}  // namespace korvane
