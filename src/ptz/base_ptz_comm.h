#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/queue_thread.h"
#include "core/idriver.h"
#include "ptz/ptz_item.h"
#include "tollivar/types.h"

namespace korvane {

// The PTZ command thread of one channel, without the camera's request format.
//
// The host's motion calls never wait for the camera: each becomes a CPTZItem on a queue of at
// most kMaxQueuedItems that the thread works off one at a time. The capability gate refuses what
// the channel cannot do before anything is queued. Preset requests (IPrepositionComm) are sent
// on the caller's thread, after the commands queued before them have reached the camera.
class CBasePTZComm : public CQueueThread<CPTZItem>, public IPrepositionComm {
 public:
  static constexpr std::size_t kMaxQueuedItems = 16;

  // owner must outlive this object.
  CBasePTZComm(const CPtzCapabilities& capabilities, IDriver* owner, std::uint16_t channel);
  ~CBasePTZComm() override;

  // Starts the thread "BaseIPPTZThread_Ch<channel + 1>" unless it runs. Returns whether it runs.
  virtual bool Open();
  // Stops the thread (queued items are dropped). False when it was not opened.
  virtual bool Close();
  virtual bool IsPTZSupported(std::int32_t ignored);
  // Fills the capability flags and maxPresets; the first field stays the host's. Returns 1.
  virtual std::int32_t GetCapabilities(ipcapture::PTZ_CAPABILITIES* capabilities);

  // 1 queued, -18 refused by the queue, -19 refused by the capability gate.
  std::int32_t StartMove(std::int32_t direction, IIPParams* params, std::int32_t speed);
  std::int32_t StartFocus(IIPParams* params, bool far, std::int32_t speed);
  std::int32_t StartIris(IIPParams* params, bool open, std::int32_t speed);
  std::int32_t AreaZoom(IIPParams* params, std::int32_t a, std::int32_t b, std::int32_t c,
                        std::int32_t speed);
  std::int32_t Center(IIPParams* params, std::int32_t a, std::int32_t b, std::int32_t speed);
  std::int32_t Unzoom(IIPParams* params, std::int32_t speed);
  // True when the stop was queued.
  bool StopMoving(IIPParams* params);
  bool StopZooming(IIPParams* params);
  bool StopFocusing(IIPParams* params);
  bool StopIrisChanging(IIPParams* params);

  // IPrepositionComm: removing a preset needs no request on this level.
  bool ClearPreposition(std::uint32_t slot, const std::string& name) override;

  // IDebugMessage: the finished text goes to the owner as text, never as a format.
  void DebugMessage(int level, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));

  const CPtzCapabilities& Capabilities() const { return capabilities_; }
  std::uint16_t Channel() const { return channel_; }
  bool IsOpened() const { return opened_.load(std::memory_order_acquire); }

 protected:
  bool PostCommand(std::uint32_t type, const char* operation, std::uint32_t sub_type,
                   std::int32_t speed, IIPParams* params, std::int32_t param1 = 0,
                   std::int32_t param2 = 0, std::int32_t param3 = 0);
  IDriver* Owner() const { return owner_; }

 private:
  std::int32_t PostGated(bool allowed, std::uint32_t type, const char* operation,
                         std::uint32_t sub_type, std::int32_t speed, IIPParams* params,
                         std::int32_t param1 = 0, std::int32_t param2 = 0,
                         std::int32_t param3 = 0);

  const std::uint16_t channel_;
  const CPtzCapabilities capabilities_;
  IDriver* const owner_;
  std::atomic<bool> opened_{false};
};

}  // namespace korvane
