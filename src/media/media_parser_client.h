#pragma once

#include <cstdint>
#include <utility>

#include "tollivar/media_frame.h"

namespace korvane {

// What a depacketizer hands its frames to: the channel that owns it.
class IMediaParserClient {
 public:
  // One complete frame. The frame goes back to the host's factory as soon as this returns, so
  // the client passes it on or copies it during the call. False: the frame was not taken, and
  // the parser starts afresh at the next frame it can use on its own.
  virtual bool OnFrame(ipcapture::IMediaFrame* frame) = 0;
  // The picture size the channel was configured with (width, height).
  virtual std::pair<uint32_t, uint32_t> GetVideoSize() = 0;

 protected:
  // Never deleted through this interface.
  ~IMediaParserClient() = default;
};

}  // namespace korvane
