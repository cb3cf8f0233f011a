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

void CH264ChannelRTSP::ProcessPacket(const CRTPPacket* packet) {
  config_.ApplyTo(parser_);
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

void CMPEGChannelRTSP::ProcessPacket(const CRTPPacket* packet) {
  config_.ApplyTo(parser_);
  parser_.ParsePacket(packet);
}

}  // namespace korvane
