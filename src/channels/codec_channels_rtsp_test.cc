#include "channels/codec_channels_rtsp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/testing/fake_driver.h"
#include "media/testing/media_test_support.h"

namespace korvane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

class RecordingSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  bool PutFrame(ipcapture::IMediaFrame* frame) override {
    frames.push_back(static_cast<testing::TestFrame*>(frame)->Snapshot());
    return true;
  }
  void OnSignalLost() override {}

  std::vector<testing::DeliveredFrame> frames;
};

// FFmpeg's MPEG-4 configuration of a 1280x720 stream, as the SDP's config= carries it.
const Bytes kSdpConfig = FromHex(
    "000001b001000001b58913000001000000012000c48d8800cd28045a1443000001b24c61766335392e33372e"
    "313030");
const Bytes kIVop = {0x00, 0x00, 0x01, 0xB6, 0x10, 0x11, 0x22, 0x33};

// The channel hands the DESCRIBE answer's configuration to its depacketizer: a camera that
// sends none in band still gives sized key frames.
TEST(Mpeg4ChannelTest, SdpConfigurationReachesTheDepacketizer) {
  testing::TestFrameFactory factory;
  testing::FakeDriver driver;
  driver.device.address = "127.0.0.1";
  driver.codec = ipcapture::kCodecMpeg4;
  driver.frame_factory = &factory;
  RecordingSink sink;
  CMPEGChannelRTSP channel(0, &driver, &sink);

  DecoderConfig config;
  config.Config = kSdpConfig;
  channel.OnCodecConfig(&config);  // the RTSP client thread, after DESCRIBE
  channel.OnPacket(testing::MakePacket(1, 3600, true, kIVop));

  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].fourcc, ipcapture::kFourCCDivx);
  EXPECT_EQ(sink.frames[0].width, 1280u);
  EXPECT_EQ(sink.frames[0].height, 720u);
  EXPECT_EQ(sink.frames[0].data, Cat(kSdpConfig, kIVop));
}

}  // namespace
}  // namespace korvane
