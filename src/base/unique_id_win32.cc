#include "base/unique_id.h"

#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>

namespace korvane {

uint32_t NewGuidFirstField() {
  GUID guid{};
  // CoCreateGuid needs no COM initialisation; a failure leaves the null GUID.
  if (FAILED(CoCreateGuid(&guid))) return 0;
  return static_cast<uint32_t>(guid.Data1);
}

uint32_t GetMultimediaTimeMs() { return static_cast<uint32_t>(timeGetTime()); }

}  // namespace korvane
