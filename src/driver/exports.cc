// The driver's C entry points. Each creation and deletion function exists under four names
// because hosts of different generations look up different ones.

#include <new>

#include "driver/tollivar_driver.h"
#include "tollivar/capture_driver.h"

namespace {

korvane::ipcapture::IIPCaptureDriverEx4* CreateDriverObject() noexcept {
  try {
    return new (std::nothrow) korvane::CTollivarDriver();
  } catch (...) {
    return nullptr;
  }
}

void DeleteDriverObject(korvane::ipcapture::IIPCaptureDriver* driver) noexcept {
  // Through slot 0, as the host itself would delete it; null is a no-op, the destructor closes
  // the driver.
  korvane::ipcapture::abi::Delete(driver);
}

}  // namespace

extern "C" {

TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCapture() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx2() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* TOLLIVAR_CDECL CreateIPCaptureEx3() {
  return CreateDriverObject();
}

TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCapture(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx2(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void TOLLIVAR_CDECL DeleteIPCaptureEx3(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}

}  // extern "C"
