#pragma once

#include <cstdint>
#include <string>

#include "camera/base_camera_properties.h"
#include "camera/http_sender.h"

namespace korvane {

// Platform families of CNB cameras ("sysinfo.platform"); they decide codecs and picture sizes.
enum CnbPlatformKind : int32_t {
  kPlatformA = 0,        // "A_TYPE"
  kPlatformG = 1,        // "G_TYPE"
  kPlatformT = 2,        // "T_TYPE"
  kPlatformX = 3,        // "X_TYPE", or a camera type ("ctype") containing "d1"
  kPlatformUnknown = 4,
};

// Reads what a CNB camera is and can do from its parameter list (Param.cgi?action=list), checks
// that the credentials may write, and probes the largest picture sizes with resolution updates.
//
// Probing changes the camera's encoder; once done, the frame rate and resolution index that the
// list showed are written back, so a query leaves the camera as it found it. A stopped query
// writes them back too, bounded by kStoppedWriteBackMs.
class CCNBCameraProperties : public CBaseCameraProperties {
 public:
  static constexpr int32_t kDefaultRtspPort = 554;
  // Written during the query as the credential test: listing may be open to any user,
  // writing is not.
  static constexpr char kWriteTestPath[] = "/cgi-bin/Param.cgi?action=update&video.framerate=15";
  // Longest write-back after a stop: the stop cuts the request in flight at once, and the
  // owner's join (CCapabilityQuery::kJoinTimeoutMs) covers this with room to spare.
  static constexpr uint32_t kStoppedWriteBackMs = 3000;

  CCNBCameraProperties(const DEVICE_INFO& device, bool ntsc);
  ~CCNBCameraProperties() override;

  bool ReportProperties(ipcapture::ICapabilityResults* results) override;
  bool QueryProperties(int32_t* failureCode) override;

  int32_t PlatformKind() const { return platformKind_; }
  int32_t RtspPort() const { return rtspPort_; }
  const std::string& Platform() const { return platform_; }
  const std::string& MacAddress() const { return macAddress_; }

 private:
  // Reads and interprets the parameter list; false with the failure code to report.
  bool ReadList(int32_t* failureCode);
  // Why the list could not be read: login refused (401/403), camera unreachable, or other.
  int32_t ListFailureCode() const;
  void ReadPlatform(const std::string& list);
  void ReadFirmware(const std::string& list);
  void FillCodecs();
  void FillResolutionsAndFrameRates();
  // Asks the camera to switch to the size; true when it answered "Success".
  bool ProbeResolution(uint16_t width, uint16_t height);
  // Sends an update that changes the camera; remembers that it has to be put back.
  bool SendUpdate(const std::string& path, bool wantSuccessBody);
  // Writes back the frame rate and resolution index of the list, when an update was sent.
  void RestoreVideoSettings();

  Web::CHttpSender sender_;
  int32_t platformKind_ = kPlatformUnknown;
  int32_t rtspPort_ = kDefaultRtspPort;
  std::string platform_;
  std::string macAddress_;

  // The settings the probes overwrite, as listed ("" when the list had no such key or an
  // unusable value), and whether an update went out.
  std::string listedFrameRate_;
  std::string listedResolution_;
  bool cameraChanged_ = false;
};

}  // namespace korvane
