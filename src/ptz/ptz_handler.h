#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/idriver.h"
#include "ptz/ptz_control.h"
#include "ptz/xml_preposition_reader.h"
#include "rtp/smart_ptr.h"
#include "tollivar/ptz.h"

namespace korvane {

// The PTZ driver object's own level between the host interfaces and the handler classes.
class CIPPTZDriverIf : public IIPPTZDriverEx {};

// The PTZ driver object: gives out one PTZ control per channel (created on the first request)
// and owns the preset file reader that all of them share.
class CBasePTZHandler : public CIPPTZDriverIf {
 TOLLIVAR_IMPLEMENTS_SLOT0()
 public:
  static constexpr std::uint32_t kChannelCount = 1;  // only channel 0 has PTZ

  // owner must outlive this object.
  CBasePTZHandler(IDriver* owner, std::string device_type);
  // Virtual in every build: on Windows the interfaces' destructors are not (see tollivar/abi.h).
  virtual ~CBasePTZHandler();
  CBasePTZHandler(const CBasePTZHandler&) = delete;
  CBasePTZHandler& operator=(const CBasePTZHandler&) = delete;

  IIPPTZApiEx* GetPTZApiEx(std::uint32_t channel) override;
  // The preset file's name in the executable's folder; empty when it cannot be had.
  virtual std::string GetXMLStorageFileName() = 0;
  virtual std::unique_ptr<CBasePTZControl> CreatePTZControl(std::uint32_t channel) = 0;
  virtual void ReleaseControls();
  virtual bool InitializeXMLStorage();

  const std::string& DeviceType() const { return device_type_; }

 protected:
  IDriver* Owner() const { return owner_; }

 private:
  IDriver* const owner_;
  // Guards the map and the reader: hosts may ask for controls from several threads.
  std::mutex mutex_;
  std::map<std::uint32_t, std::unique_ptr<CBasePTZControl>> controls_;
  TSmartPtr<CXMLPrepositionReader> reader_;
  const std::string device_type_;
};

// Whether a custom parameter text may become part of the preset file's name: no path
// separators, no "..", no NUL or other control characters, so that no file outside the
// executable's folder is ever named.
bool IsSafeFileNamePart(const std::string& text);

// The PTZ driver object of CNB devices; presets go to "CNB_<custom parameter 5>.preset".
class CPTZHandler : public CBasePTZHandler {
 public:
  static constexpr char kDeviceType[] = "CNB";

  explicit CPTZHandler(IDriver* owner);
  ~CPTZHandler() override;

  std::string GetXMLStorageFileName() override;
  std::unique_ptr<CBasePTZControl> CreatePTZControl(std::uint32_t channel) override;
};

}  // namespace korvane
