#include "rtsp/rtsp_transport_ssrc.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvane
