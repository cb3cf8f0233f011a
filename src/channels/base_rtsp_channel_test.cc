#include "channels/base_rtsp_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/testing/fake_driver.h"

namespace korvane {
namespace {

using ::testing::ElementsAre;

class NullSink : public ipcapture::IFrameSink {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  bool PutFrame(ipcapture::IMediaFrame*) override { return true; }
  void OnSignalLost() override {}
};

// Records the order in which the stream's parts are closed.
class OrderChannel : public CBaseRTSPChannel {
 public:
  using CBaseRTSPChannel::CBaseRTSPChannel;
  ~OrderChannel() override { Stop(); }

  void Close() { CloseStream(); }
  std::vector<std::string> closed;

 protected:
  bool ConfigureCamera() override { return false; }
  void ProcessPacket(const CRTPPacket*) override {}
  void OnCodecConfig(const DecoderConfig*) override {}
  void GetStreamParams(RTSPClientParams*) override {}
  void CloseTransport() override { closed.push_back("transport"); }
  void CloseSession() override { closed.push_back("session"); }
};

// TEARDOWN may wait for an answer that a camera never gives: the receiver is stopped before it,
// so the camera's stream reaches nobody in the meantime.
TEST(RtspChannelTest, TransportClosesBeforeTheSession) {
  testing::FakeDriver driver;
  driver.device.address = "127.0.0.1";
  NullSink sink;
  OrderChannel channel(0, &driver, &sink);
  channel.Close();
  EXPECT_THAT(channel.closed, ElementsAre("transport", "session"));
}

}  // namespace
}  // namespace korvane
