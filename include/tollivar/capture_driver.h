#pragma once

// The driver object and the entry points that create and delete it.
//
// The host creates one driver per device with CreateIPCapture, opens it with a description of
// the device, and from then on reaches video, digital I/O and PTZ through the objects below.
// Slot order is part of the binary contract with the host; the slots that answer null are
// named ReservedN.

#include "tollivar/abi.h"
#include <cstdint>

#include "tollivar/capture_io.h"
#include "tollivar/host_objects.h"
#include "tollivar/media_frame.h"
#include "tollivar/ptz.h"
#include "tollivar/types.h"
#include "tollivar/video_capture.h"

namespace korvane::ipcapture {

class IIPCaptureDriver {
 public:
  TOLLIVAR_INTERFACE_SLOT0(IIPCaptureDriver)                                    // slot 0
  // Slot 1: the three host objects must outlive the driver (until CloseDriver or delete).
  virtual bool OpenDriver(IHostMessageSink* sink, IFrameFactory* frame_factory,
                          IDeviceDescription* description) = 0;
  virtual void CloseDriver() = 0;                                           // slot 2
  virtual IIPVideoCapture* GetVideoCapture() = 0;                           // slot 3
  virtual korvane::ICaptureIOApi* GetIOApi() = 0;                           // slot 4: or null
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
 public:
  virtual void* Reserved5() = 0;                                            // slot 5: null
  virtual korvane::IIPPTZDriver* GetPTZDriver() = 0;                        // slot 6: or null
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
 public:
  virtual void* Reserved7() = 0;                                            // slot 7: null
  virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;                       // slot 8
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
 public:
  virtual korvane::IIPPTZDriverEx* GetPTZDriverEx() = 0;                    // slot 9: or null
};

class IIPCaptureDriverEx4 : public IIPCaptureDriverEx3 {
 public:
  virtual void* Reserved10() = 0;                                           // slot 10: null
  virtual void* Reserved11() = 0;                                           // slot 11: null
};

}  // namespace korvane::ipcapture

extern "C" {

// One function under four names: a new, unopened driver, or null when memory runs out.
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCapture();
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx();
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx2();
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx3();

// One function under four names: closes and deletes a driver from a create function; null is
// ignored.
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCapture(korvane::ipcapture::IIPCaptureDriver* driver);
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx(korvane::ipcapture::IIPCaptureDriver* driver);
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx2(korvane::ipcapture::IIPCaptureDriver* driver);
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx3(korvane::ipcapture::IIPCaptureDriver* driver);

}  // extern "C"
