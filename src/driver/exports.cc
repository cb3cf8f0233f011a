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
  delete driver;  // null is a no-op; the destructor closes the driver
}

}  // namespace

extern "C" {

TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* CreateIPCapture() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx2() {
  return CreateDriverObject();
}
TOLLIVAR_EXPORT korvane::ipcapture::IIPCaptureDriverEx4* CreateIPCaptureEx3() {
  return CreateDriverObject();
}

TOLLIVAR_EXPORT void DeleteIPCapture(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void DeleteIPCaptureEx(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void DeleteIPCaptureEx2(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}
TOLLIVAR_EXPORT void DeleteIPCaptureEx3(korvane::ipcapture::IIPCaptureDriver* driver) {
  DeleteDriverObject(driver);
}

}  // extern "C"
