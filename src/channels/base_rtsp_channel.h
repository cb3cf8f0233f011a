#pragma once

#include <cstdint>
#include <string>

#include "channels/base_rtp_channel.h"
#include "rtsp/base_rtsp_client.h"

namespace korvane {

// An RTP channel whose stream is requested with an RTSP session. The session is opened after the
// RTP transport and closed after it (the receiver stops before TEARDOWN), on every connection
// attempt.
class CBaseRTSPChannel : public CBaseRTPChannel {
 public:
  CBaseRTSPChannel(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink);
  ~CBaseRTSPChannel() override;

 protected:
  bool OpenStream() override;
  bool MediaRequested() const override { return rtsp_client_.Played(); }
  void CloseStream() override;
  // Names the stream's URL and transport mode.
  CFailureReason NoMediaFailure(std::uint32_t wait_ms, bool packets) override;
  // Sets the RTSP port and the stream path of the codec.
  virtual void GetStreamParams(RTSPClientParams* params) = 0;
  // The RTSP session of one connection attempt: started after the RTP transport is open, closed
  // after it.
  virtual bool StartSession(const RTSPClientParams& params);
  virtual void CloseSession();

  CBaseRTSPClient& RtspClient() { return rtsp_client_; }

 private:
  CBaseRTSPClient rtsp_client_;
  std::string url_;  // of the session of this attempt; capture thread only
};

}  // namespace korvane
