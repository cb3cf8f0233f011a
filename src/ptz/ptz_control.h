#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/idriver.h"
#include "ptz/base_ptz_comm.h"
#include "ptz/preposition_list.h"
#include "ptz/xml_preposition_reader.h"
#include "rtp/smart_ptr.h"
#include "tollivar/ptz.h"

namespace korvane {

// The PTZ control of one channel as the host sees it (IIPPTZApiEx). Motion calls become commands
// of the channel's command thread; the control remembers which kinds of motion it started so
// that one Stop ends them all, and forgets the current preset as soon as the camera moves.
// Preset calls go to the channel's preset list and work without a command thread.
//
// The host calls one control from one thread at a time; the motion flags have no lock.
class CBasePTZControl : public IIPPTZApiEx, public IIPParams {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  // owner must outlive this object.
  CBasePTZControl(IDriver* owner, std::int32_t channel);
  // Virtual in every build: on Windows the interfaces' destructors are not (see tollivar/abi.h).
  virtual ~CBasePTZControl();

  // IIPPTZApi
  std::int32_t IsPTZAvailable() override;
  std::int32_t Move(std::int32_t direction, std::int32_t speed) override;
  std::int32_t Stop() override;
  std::int32_t CenterOn(std::int32_t a, std::int32_t b, std::int32_t speed) override;
  std::int32_t StartZoomCode8(std::int32_t speed) override;
  std::int32_t StartZoomCode9(std::int32_t speed) override;
  std::int32_t UnzoomView(std::int32_t speed) override;
  std::int32_t ZoomToArea(std::int32_t a, std::int32_t b, std::int32_t c,
                          std::int32_t speed) override;
  std::int32_t StartFocusTrue(std::int32_t speed) override;
  std::int32_t StartFocusFalse(std::int32_t speed) override;
  std::int32_t StartIrisTrue(std::int32_t speed) override;
  std::int32_t StartIrisFalse(std::int32_t speed) override;
  std::int32_t GetPTZCapabilities(ipcapture::PTZ_CAPABILITIES* capabilities) override;
  std::int32_t GetPrepositionCount() override;
  std::int32_t GetPrepositionName(std::uint32_t index, char* buffer,
                                  std::uint32_t buffer_size) override;
  std::int32_t RecallPreposition(std::int32_t value, const char* name) override;
  std::int32_t SavePreposition(const char* name) override;
  std::int32_t DeletePreposition(const char* name) override;
  std::int32_t GetCurrentPreposition(char* buffer, std::uint32_t buffer_size) override;
  // IIPPTZApiEx
  std::int32_t QueryOption(std::int32_t option) override;

  // The control's own operations.
  virtual void DestroyComm();
  virtual std::unique_ptr<CBasePTZComm> CreateComm() = 0;
  // Creates and opens the command thread and loads the channel's presets from the reader.
  virtual bool Initialize(TSmartPtr<CXMLPrepositionReader> reader);

  // IIPParams
  std::int32_t GetChannel() override { return channel_; }
  bool IsIrisManual() override { return iris_manual_.load(std::memory_order_relaxed); }
  void SetIrisManual(bool manual) override { iris_manual_.store(manual, std::memory_order_relaxed); }
  bool IsFocusManual() override { return focus_manual_.load(std::memory_order_relaxed); }
  void SetFocusManual(bool manual) override {
    focus_manual_.store(manual, std::memory_order_relaxed);
  }

  CPrepositionList& Presets() { return presets_; }
  bool HasComm() const { return comm_ != nullptr; }

 protected:
  IDriver* Owner() const { return owner_; }

 private:
  // On success the camera moves: the current preset is no longer current.
  std::int32_t ForgetOnSuccess(std::int32_t result);
  static std::int32_t CopyName(bool found, const std::string& name, char* buffer,
                               std::uint32_t buffer_size);

  IDriver* const owner_;
  const std::int32_t channel_;
  std::unique_ptr<CBasePTZComm> comm_;
  CPrepositionList presets_;
  // Read and written by the command thread through IIPParams.
  std::atomic<bool> iris_manual_{false};
  std::atomic<bool> focus_manual_{false};
  bool zooming_ = false;
  bool focusing_ = false;
  bool iris_changing_ = false;
  bool moving_ = false;
};

// The PTZ control of a CNB camera channel.
class CPTZControl : public CBasePTZControl {
 public:
  using CBasePTZControl::CBasePTZControl;
  ~CPTZControl() override;

  std::unique_ptr<CBasePTZComm> CreateComm() override;
};

}  // namespace korvane
