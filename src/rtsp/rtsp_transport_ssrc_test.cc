#include "rtsp/rtsp_transport_ssrc.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

TEST(TransportSsrcTest, ReadsTheSsrcOfTheSetupReply) {
  struct Case {
    const char* name;
    const char* response;
    std::optional<uint32_t> ssrc;
  };
  const Case cases[] = {
      {"GStreamer",
       "RTSP/1.0 200 OK\r\nCSeq: 3\r\nTransport: RTP/AVP;unicast;client_port=5000-5001;"
       "server_port=6000-6001;ssrc=1A2B3C4D;mode=\"PLAY\"\r\nSession: x\r\n\r\n",
       0x1A2B3C4D},
      {"lower case, last parameter",
       "RTSP/1.0 200 OK\r\ntransport: RTP/AVP/TCP;interleaved=0-1;"
       "SSRC=00ff00ff\r\n\r\n",
       0x00FF00FF},
      {"short value", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP; ssrc=7f \r\n\r\n", 0x7F},
      {"no ssrc", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;unicast\r\n\r\n", std::nullopt},
      {"no transport", "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n", std::nullopt},
      {"nine digits", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;ssrc=123456789\r\n\r\n", std::nullopt},
      {"not hex", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;ssrc=12G4\r\n\r\n", std::nullopt},
      {"empty value", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;ssrc=\r\n\r\n", std::nullopt},
      {"only in the body", "RTSP/1.0 200 OK\r\n\r\nTransport: RTP/AVP;ssrc=1\r\n", std::nullopt},
      {"another header's parameter", "RTSP/1.0 200 OK\r\nX-Transport: ssrc=1\r\n\r\n",
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseTransportSsrc(c.response), c.ssrc) << c.name;
  }
}

TEST(TransportInterleavedTest, ReadsTheChannelsTheCameraChose) {
  struct Case {
    const char* name;
    const char* response;
    std::optional<InterleavedChannels> channels;
  };
  const Case cases[] = {
      {"as asked", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
       InterleavedChannels{0, 1}},
      {"camera's own pair",
       "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;unicast;interleaved=4-5;ssrc=1\r\n\r\n",
       InterleavedChannels{4, 5}},
      {"single channel", "RTSP/1.0 200 OK\r\ntransport: RTP/AVP/TCP;Interleaved=6\r\n\r\n",
       InterleavedChannels{6, 7}},
      {"high pair", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;interleaved=200-201\r\n\r\n",
       InterleavedChannels{200, 201}},
      {"none over UDP", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;client_port=5000-5001\r\n\r\n",
       std::nullopt},
      {"same channel twice", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;interleaved=2-2\r\n\r\n",
       std::nullopt},
      {"past 255", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;interleaved=256-257\r\n\r\n",
       std::nullopt},
      {"255 alone", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;interleaved=255\r\n\r\n",
       std::nullopt},
      {"not a number", "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;interleaved=a-b\r\n\r\n",
       std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseTransportInterleaved(c.response), c.channels) << c.name;
  }
}

TEST(TransportServerPortTest, ReadsTheCamerasRtcpPort) {
  struct Case {
    const char* transport;
    std::optional<uint16_t> port;
  };
  const Case cases[] = {
      {"RTP/AVP;unicast;client_port=5000-5001;server_port=6000-6001;ssrc=1", 6001},
      {"RTP/AVP;unicast;server_port=7000", 7001},
      {"RTP/AVP;unicast;client_port=5000-5001", std::nullopt},
      {"RTP/AVP;unicast;server_port=70000-70001", std::nullopt},
      {"RTP/AVP;unicast;server_port=0-1", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string response = std::string("RTSP/1.0 200 OK\r\nTransport: ") + c.transport +
                                 "\r\n\r\n";
    EXPECT_EQ(ParseTransportServerRtcpPort(response), c.port) << c.transport;
  }
}

}  // namespace
}  // namespace korvane
