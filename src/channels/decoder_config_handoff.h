#pragma once

#include <atomic>

#include "base/lock.h"
#include "core/decoder_config.h"
#include "media/rtp_media_parser.h"

namespace korvane {

// Carries the decoder configuration of a session description from the RTSP client thread to
// the thread that feeds the depacketizer (the receiver's queue thread over UDP, the client
// thread itself when interleaved). The depacketizer is only ever used from the delivery side,
// and no lock is held while it calls the host.
class CDecoderConfigHandoff {
 public:
  // Any thread. Null clears the configuration.
  void Offer(const DecoderConfig* config) {
    {
      CAutoLock guard(lock_);
      if (config != nullptr) {
        pending_ = *config;
      } else {
        pending_.Clear();
      }
    }
    pending_flag_.store(true, std::memory_order_release);
  }

  // Delivery side, before each packet: hands a configuration offered since the last call to
  // `parser`.
  void ApplyTo(CRTPMediaParser& parser) {
    if (!pending_flag_.exchange(false, std::memory_order_acq_rel)) return;
    DecoderConfig config;
    {
      CAutoLock guard(lock_);
      config = pending_;
    }
    parser.SetDecoderConfig(&config);
  }

 private:
  CLock lock_;
  DecoderConfig pending_ GUARDED_BY(lock_);
  std::atomic<bool> pending_flag_{false};
};

}  // namespace korvane
