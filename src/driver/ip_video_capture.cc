#include "driver/ip_video_capture.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "base/host_boundary.h"

namespace korvane {

CIPVideoCapture::CIPVideoCapture(ICustomCreator* creator, std::uint32_t channel_count)
    : creator_(creator), table_(channel_count) {}

CIPVideoCapture::~CIPVideoCapture() {
  for (std::size_t index = 0; index < table_.size(); ++index) {
    Slot slot;
    {
      CAutoLock guard(table_lock_);
      slot = std::move(table_[index]);
    }
    Release(std::move(slot));
  }
}

std::uint32_t CIPVideoCapture::GetChannelCount() {
  CAutoLock guard(table_lock_);
  return static_cast<std::uint32_t>(table_.size());
}

bool CIPVideoCapture::StartChannel(std::uint32_t index, ipcapture::IFrameSink* sink,
                                   ipcapture::IChannelSettings* settings) {
  return CallFromHost(false, [&] { return StartChannelSlot(index, sink, settings); });
}

bool CIPVideoCapture::StartChannelSlot(std::uint32_t index, ipcapture::IFrameSink* sink,
                                       ipcapture::IChannelSettings* settings) {
  if (index >= GetChannelCount()) return false;
  StopChannel(index);

  // Frames go to the sink and the stream comes from the settings: without either (or any part
  // of the settings) there is nothing to start.
  if (sink == nullptr || settings == nullptr) return false;
  ipcapture::IVideoFormat* format = settings->GetVideoFormat();
  ipcapture::IStreamSettings* stream = settings->GetStreamSettings();
  ipcapture::IResolution* resolution = format ? format->GetResolution() : nullptr;
  if (stream == nullptr || resolution == nullptr) return false;

  ChannelSettings wanted;
  wanted.frameIntervalMs = stream->GetFrameInterval();
  wanted.quality = stream->GetQuality();
  wanted.width = resolution->GetWidth();
  wanted.height = resolution->GetHeight();

  Slot slot;
  slot.channel = creator_->CreateChannel(index, sink);
  if (!slot.channel) return false;  // no channel class for the device's codec type

  bool result = slot.channel->Start(&wanted);
  if (result && stream->GetCompanionWanted() != 0) {
    slot.companion = creator_->CreateCompanionChannel(index, sink);
    if (slot.companion) result = slot.companion->Start();
  }

  // Kept also when the start failed, so that StopChannel or the destructor releases it and
  // GetChannelState reports it.
  Slot previous;
  {
    CAutoLock guard(table_lock_);
    previous = std::exchange(table_[index], std::move(slot));
  }
  // Only a concurrent start of the same slot can leave something here.
  Release(std::move(previous));
  return result;
}

bool CIPVideoCapture::StopChannel(std::uint32_t index) {
  Slot slot;
  {
    CAutoLock guard(table_lock_);
    if (index >= table_.size()) return false;
    slot = std::move(table_[index]);
  }
  const bool busy = slot.channel || slot.companion;
  Release(std::move(slot));
  return busy;
}

void CIPVideoCapture::Release(Slot slot) {
  if (slot.companion) {
    slot.companion->Stop();
    slot.companion.reset();
  }
  if (slot.channel) {
    slot.channel->Stop();
    slot.channel.reset();
  }
}

ICameraChannel* CIPVideoCapture::FindChannel(std::uint32_t index) {
  CAutoLock guard(table_lock_);
  if (index >= table_.size()) return nullptr;
  return table_[index].channel.get();
}

bool CIPVideoCapture::ChangeChannelSettings(std::uint32_t index,
                                            ipcapture::IResolution* resolution,
                                            std::uint32_t frame_interval_ms) {
  return CallFromHost(false, [&] { return ChangeSettingsSlot(index, resolution, frame_interval_ms); });
}

bool CIPVideoCapture::ChangeSettingsSlot(std::uint32_t index, ipcapture::IResolution* resolution,
                                         std::uint32_t frame_interval_ms) {
  ICameraChannel* channel = FindChannel(index);
  if (channel == nullptr || resolution == nullptr) return false;

  ChannelSettings changed;
  changed.frameIntervalMs = frame_interval_ms;
  changed.quality = 0;  // the channel keeps its quality
  changed.width = resolution->GetWidth();
  changed.height = resolution->GetHeight();
  return channel->ChangeSettings(&changed);
}

bool CIPVideoCapture::GetChannelState(std::uint32_t index, std::int32_t* state,
                                      std::uint32_t* code, char* text,
                                      std::uint32_t text_size) {
  if (code != nullptr) *code = 0;
  if (text != nullptr && text_size > 0) text[0] = '\0';

  ICameraChannel* channel = FindChannel(index);
  if (channel == nullptr) return false;

  const std::int32_t value = channel->GetState();
  if (state != nullptr) *state = value == kChannelStopped ? kChannelSignalLost : value;
  // Without video the text says why (the code stays 0): cut to the buffer, always terminated.
  if (value != kChannelReceiving && text != nullptr && text_size > 0) {
    const std::string reason = channel->GetFailureText();
    const std::size_t length = std::min<std::size_t>(reason.size(), text_size - 1);
    std::memcpy(text, reason.data(), length);
    text[length] = '\0';
  }
  return true;
}

bool CIPVideoCapture::Reserved9(std::uint32_t index) {
  ICameraChannel* channel = FindChannel(index);
  return channel != nullptr && channel->QueryExtensionB();
}

bool CIPVideoCapture::Reserved10(std::uint32_t index) {
  ICameraChannel* channel = FindChannel(index);
  return channel != nullptr && channel->QueryExtensionA();
}

}  // namespace korvane
