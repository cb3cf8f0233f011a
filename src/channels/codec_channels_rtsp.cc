#include "channels/codec_channels_rtsp.h"

namespace korvane {

// Every destructor stops the capture first: the capture loop and the delivery threads it owns
// call ProcessPacket, which needs the depacketizer of the most derived class.

CH264ChannelRTSP::CH264ChannelRTSP(std::uint32_t index, IDriver* driver,
                                   ipcapture::IFrameSink* sink)
    : CCommonChannel(index, driver, sink, ipcapture::kCodecH264), parser_(driver) {
  parser_.SetClient(this);
}

CH264ChannelRTSP::~CH264ChannelRTSP() {
  Stop();
  CloseStream();
}

void CH264ChannelRTSP::OnCodecConfig(const DecoderConfig* config) {
  {
    CAutoLock guard(config_lock_);
    if (config != nullptr) {
      pending_config_ = *config;
    } else {
      pending_config_.Clear();
    }
  }
  config_pending_.store(true, std::memory_order_release);
}

void CH264ChannelRTSP::ProcessPacket(const CRTPPacket* packet) {
  if (config_pending_.exchange(false, std::memory_order_acq_rel)) {
    DecoderConfig config;
    {
      CAutoLock guard(config_lock_);
      config = pending_config_;
    }
    parser_.SetDecoderConfig(&config);
  }
  parser_.ParsePacket(packet);
}

CMJPEGChannelRTSP::CMJPEGChannelRTSP(std::uint32_t index, IDriver* driver,
                                     ipcapture::IFrameSink* sink)
    : CCommonChannel(index, driver, sink, ipcapture::kCodecMjpeg), parser_(driver) {
  parser_.SetClient(this);
}

CMJPEGChannelRTSP::~CMJPEGChannelRTSP() {
  Stop();
  CloseStream();
}

CMPEGChannelRTSP::CMPEGChannelRTSP(std::uint32_t index, IDriver* driver,
                                   ipcapture::IFrameSink* sink)
    : CCommonChannel(index, driver, sink, ipcapture::kCodecMpeg4), parser_(driver) {
  parser_.SetClient(this);
}

CMPEGChannelRTSP::~CMPEGChannelRTSP() {
  Stop();
  CloseStream();
}

}  // namespace korvane
