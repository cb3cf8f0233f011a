// Misbehaviour of a hostile or broken camera (--hostile): what the RTSP side adds to its
// streams and sessions so that clients can be tested against it.
#pragma once

#include <string>

#include "options.h"
#include "packet_faults.h"

typedef struct _GstPad GstPad;
typedef struct _GstRTSPClient GstRTSPClient;
typedef struct _GstRTSPMessage GstRTSPMessage;

namespace camsim {

// Probes on a payloader's source pad for the packet faults (padding, dropped JPEG fragment).
void AttachPacketFaults(GstPad* payloader_src, const Hostile& hostile, bool jpeg);

// The session faults, wired to a new client: the stray second PLAY answer and the refused
// TEARDOWN.
void AttachSessionFaults(GstRTSPClient* client, const Hostile& hostile);

// After an accepted UDP SETUP (request and answer): random datagrams from `camera_address` to the
// client's RTP port, 10 per second for 10 s, on the default main context.
void MaybeSendStrayDatagrams(const std::string& camera_address, GstRTSPClient* client,
                             GstRTSPMessage* request, GstRTSPMessage* response);

}  // namespace camsim
