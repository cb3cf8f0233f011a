#include "rtsp/rtsp_transport_ssrc.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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

std::string SetupReply(const char* transport) {
  return std::string("RTSP/1.0 200 OK\r\nTransport: ") + transport + "\r\n\r\n";
}

TEST(TransportInterleavedTest, ReadsTheChannelsTheCameraChose) {
  const std::pair<const char*, std::optional<InterleavedChannels>> cases[] = {
      {"RTP/AVP/TCP;unicast;interleaved=0-1", InterleavedChannels{0, 1}},
      {"RTP/AVP/TCP;unicast;interleaved=4-5;ssrc=1", InterleavedChannels{4, 5}},
      {"RTP/AVP/TCP;Interleaved=6", InterleavedChannels{6, 7}},  // RTCP on the next
      {"RTP/AVP/TCP;interleaved=200-201", InterleavedChannels{200, 201}},
      {"RTP/AVP;client_port=5000-5001", std::nullopt},
      {"RTP/AVP/TCP;interleaved=2-2", std::nullopt},
      {"RTP/AVP/TCP;interleaved=256-257", std::nullopt},
      {"RTP/AVP/TCP;interleaved=255", std::nullopt},
      {"RTP/AVP/TCP;interleaved=a-b", std::nullopt},
  };
  for (const auto& [transport, channels] : cases) {
    EXPECT_EQ(ParseTransportInterleaved(SetupReply(transport)), channels) << transport;
  }
}

TEST(TransportServerPortTest, ReadsTheCamerasRtcpPort) {
  const std::pair<const char*, std::optional<uint16_t>> cases[] = {
      {"RTP/AVP;unicast;client_port=5000-5001;server_port=6000-6001;ssrc=1", 6001},
      {"RTP/AVP;unicast;server_port=7000", 7001},
      {"RTP/AVP;unicast;client_port=5000-5001", std::nullopt},
      {"RTP/AVP;unicast;server_port=70000-70001", std::nullopt},
      {"RTP/AVP;unicast;server_port=0-1", std::nullopt},
  };
  for (const auto& [transport, port] : cases) {
    EXPECT_EQ(ParseTransportServerRtcpPort(SetupReply(transport)), port) << transport;
  }
}

}  // namespace
}  // namespace korvane
