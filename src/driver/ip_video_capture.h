#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/lock.h"
#include "channels/camera_channel.h"
#include "core/idriver.h"
#include "driver/custom_creator.h"
#include "tollivar/video_capture.h"

namespace korvane {

// The host's view of the device's video channels: one slot per channel, each idle or holding
// the channel object that the driver's factory built for it.
//
// The table lock guards only the reading and writing of slots. It is never held while a channel
// starts, stops or is deleted, so a slow channel does not hold up the other slots. The host must
// not stop a slot while it changes or polls that same slot.
class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  // `creator` must outlive this object.
  CIPVideoCapture(ICustomCreator* creator, std::uint32_t channel_count);
  // Stops and deletes every channel; each may take up to its capture thread's stop time.
  // Virtual in every build: on Windows the interfaces' destructors are not (see tollivar/abi.h).
  virtual ~CIPVideoCapture();
  CIPVideoCapture(const CIPVideoCapture&) = delete;
  CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

  std::uint32_t GetChannelCount() override;
  bool StartChannel(std::uint32_t index, ipcapture::IFrameSink* sink,
                    ipcapture::IChannelSettings* settings) override;
  bool StopChannel(std::uint32_t index) override;
  bool ChangeChannelSettings(std::uint32_t index, ipcapture::IResolution* resolution,
                             std::uint32_t frame_interval_ms) override;
  std::uint32_t Reserved5() override { return 0; }
  bool GetChannelState(std::uint32_t index, std::int32_t* state, std::uint32_t* code, char* text,
                       std::uint32_t text_size) override;
  bool Reserved7(std::uint32_t, void*, void*) override { return false; }
  bool Reserved8(std::uint32_t, void*, void*) override { return false; }
  bool Reserved9(std::uint32_t index) override;
  bool Reserved10(std::uint32_t index) override;

 private:
  // The bodies of StartChannel and ChangeChannelSettings, which keep exceptions from the host.
  bool StartChannelSlot(std::uint32_t index, ipcapture::IFrameSink* sink,
                        ipcapture::IChannelSettings* settings);
  bool ChangeSettingsSlot(std::uint32_t index, ipcapture::IResolution* resolution,
                          std::uint32_t frame_interval_ms);

  struct Slot {
    std::unique_ptr<ICameraChannel> channel;
    std::unique_ptr<ICompanionChannel> companion;
  };

  // The channel of a slot, or null (also for an index out of range). The pointer stays valid
  // until the slot is stopped.
  ICameraChannel* FindChannel(std::uint32_t index);
  static void Release(Slot slot);

  ICustomCreator* const creator_;
  CLock table_lock_;
  std::vector<Slot> table_ GUARDED_BY(table_lock_);  // fixed size
};

}  // namespace korvane
