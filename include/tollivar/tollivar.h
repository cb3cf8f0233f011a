#pragma once

// Everything a host needs to load and drive the Tollivar capture driver.

#include "tollivar/types.h"
#include "tollivar/host_objects.h"
#include "tollivar/media_frame.h"
#include "tollivar/video_capture.h"
#include "tollivar/capture_io.h"
#include "tollivar/ptz.h"
#include "tollivar/capability_query.h"
#include "tollivar/capture_driver.h"
