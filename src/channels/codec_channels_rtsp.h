#pragma once

#include <cstdint>

#include "channels/common_channel.h"
#include "channels/decoder_config_handoff.h"
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
  void OnCodecConfig(const DecoderConfig* config) override { config_.Offer(config); }

 protected:
  void ProcessPacket(const CRTPPacket* packet) override;

 private:
  CH264RTPMediaParser parser_;
  CDecoderConfigHandoff config_;
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
  // The SDP's config= goes to the depacketizer: a camera that sends no configuration in band
  // gets it in front of its I-VOPs, without which no key frame could be sized.
  void OnCodecConfig(const DecoderConfig* config) override { config_.Offer(config); }

 protected:
  void ProcessPacket(const CRTPPacket* packet) override;

 private:
  CMpeg4RTPMediaParser parser_;
  CDecoderConfigHandoff config_;
};

}  // namespace korvane
