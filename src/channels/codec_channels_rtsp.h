#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "channels/common_channel.h"
#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/mpeg4_rtp_media_parser.h"

namespace korvane {

// The three channels the driver builds, one per codec type. Each owns its depacketizer, which
// it feeds from the delivery thread and which hands frames back through OnFrame.

class CH264ChannelRTSP final : public CCommonChannel {
 public:
  CH264ChannelRTSP(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink);
  ~CH264ChannelRTSP() override;
  // The parameter sets of the SDP go to the depacketizer, which puts them in front of key frames.
  // They arrive on the RTSP client thread, while over UDP the packets come on the receiver's
  // queue thread: the configuration is handed over and applied by the delivery side, so the
  // depacketizer is only ever used from one thread and no lock is held while it calls the host.
  void OnCodecConfig(const DecoderConfig* config) override;

 protected:
  void ProcessPacket(const CRTPPacket* packet) override;

 private:
  CH264RTPMediaParser parser_;
  CLock config_lock_;
  DecoderConfig pending_config_ GUARDED_BY(config_lock_);
  std::atomic<bool> config_pending_{false};
};

class CMJPEGChannelRTSP final : public CCommonChannel {
 public:
  CMJPEGChannelRTSP(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink);
  ~CMJPEGChannelRTSP() override;

 protected:
  void ProcessPacket(const CRTPPacket* packet) override { parser_.ParsePacket(packet); }

 private:
  CJpegRTPMediaParser parser_;
};

class CMPEGChannelRTSP final : public CCommonChannel {
 public:
  CMPEGChannelRTSP(std::uint32_t index, IDriver* driver, ipcapture::IFrameSink* sink);
  ~CMPEGChannelRTSP() override;

 protected:
  void ProcessPacket(const CRTPPacket* packet) override { parser_.ParsePacket(packet); }

 private:
  CMpeg4RTPMediaParser parser_;
};

}  // namespace korvane
