// A pre-encoded H.264 clip held in memory and replayed in real time: the cheap main stream for
// benchmarks with many clients, where a live encoder per client would cost more than the client
// under test.
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef struct _GstBuffer GstBuffer;
typedef struct _GstCaps GstCaps;
typedef struct _GstElement GstElement;

namespace camsim {

class Clip {
 public:
  ~Clip();
  Clip(const Clip&) = delete;
  Clip& operator=(const Clip&) = delete;

  // Runs `description` (a gst-launch line ending in an appsink named "clipsink" that yields
  // H.264 access units in "avc" form) to its end and keeps what it produced. Without in-band
  // parameter sets the SPS/PPS are removed from the pictures (they stay in the caps, hence in
  // the SDP). GStreamer must be initialised. Nullptr with *error on failure.
  static std::unique_ptr<Clip> Load(const std::string& description, bool inband_params, int fps,
                                    std::string* error);

  size_t size() const { return units_.size(); }
  size_t bytes() const { return bytes_; }
  int fps() const { return fps_; }

  // Makes `appsrc` play the clip in a loop, one access unit per picture interval, stamped with
  // the running time at which it leaves. This clip must outlive the element.
  void Feed(GstElement* appsrc) const;

 private:
  Clip() = default;

  GstCaps* caps_ = nullptr;
  std::vector<GstBuffer*> units_;  // one reference each
  size_t bytes_ = 0;
  int fps_ = 25;
};

}  // namespace camsim
