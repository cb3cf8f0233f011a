#include "clip.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <span>

#include "avc_filter.h"

namespace camsim {
namespace {

// Bounds of what a clip may hold: a minute at 60 fps, and 256 MB.
constexpr size_t kMaxUnits = 3600;
constexpr size_t kMaxBytes = size_t{256} << 20;
constexpr GstClockTime kPullTimeout = 30 * GST_SECOND;
// A feeder that fell this far behind (a stalled process) starts again from now instead of
// sending the backlog in a burst.
constexpr gint64 kMaxLagUs = 1000000;

GstBuffer* WithoutParameterSets(GstBuffer* buffer) {
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return gst_buffer_ref(buffer);
  auto stripped = StripParameterSets(std::span<const uint8_t>(map.data, map.size));
  gst_buffer_unmap(buffer, &map);
  if (!stripped || stripped->empty()) return gst_buffer_ref(buffer);
  GstBuffer* out = gst_buffer_new_allocate(nullptr, stripped->size(), nullptr);
  gst_buffer_fill(out, 0, stripped->data(), stripped->size());
  gst_buffer_copy_into(out, buffer, GST_BUFFER_COPY_FLAGS, 0, static_cast<gsize>(-1));
  return out;
}

// Replays the clip into one appsrc; lives as long as the element (object data).
struct Feeder {
  const std::vector<GstBuffer*>* units;
  size_t next = 0;
  gint64 due_us = 0;  // monotonic time at which the next unit leaves
  gint64 interval_us;
};

void OnNeedData(GstAppSrc* src, guint, gpointer user) {
  auto* feeder = static_cast<Feeder*>(user);
  const gint64 now = g_get_monotonic_time();
  if (feeder->due_us == 0 || now - feeder->due_us > kMaxLagUs) feeder->due_us = now;
  // At most one picture interval: a flushing source (the media shutting down) waits no longer.
  if (feeder->due_us > now) g_usleep(static_cast<gulong>(feeder->due_us - now));
  // A shallow copy shares the memory; the source stamps the copy with the running time.
  GstBuffer* unit = gst_buffer_copy((*feeder->units)[feeder->next]);
  GST_BUFFER_PTS(unit) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DTS(unit) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(unit) = static_cast<GstClockTime>(feeder->interval_us) * GST_USECOND;
  gst_app_src_push_buffer(src, unit);  // takes the copy
  feeder->next = (feeder->next + 1) % feeder->units->size();
  feeder->due_us += feeder->interval_us;
}

}  // namespace

Clip::~Clip() {
  for (GstBuffer* b : units_) gst_buffer_unref(b);
  if (caps_) gst_caps_unref(caps_);
}

std::unique_ptr<Clip> Clip::Load(const std::string& description, bool inband_params, int fps,
                                 std::string* error) {
  GError* gerror = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &gerror);
  if (!pipeline || gerror) {
    *error = std::string("clip pipeline: ") + (gerror ? gerror->message : "cannot build");
    if (gerror) g_error_free(gerror);
    if (pipeline) gst_object_unref(pipeline);
    return nullptr;
  }
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "clipsink");
  std::unique_ptr<Clip> clip(new Clip);
  clip->fps_ = fps;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  while (sink) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), kPullTimeout);
    if (!sample) break;  // the end, an error or the time-out; the bus tells which
    if (!clip->caps_) {
      if (GstCaps* caps = gst_sample_get_caps(sample)) clip->caps_ = gst_caps_ref(caps);
    }
    if (GstBuffer* buffer = gst_sample_get_buffer(sample)) {
      GstBuffer* unit = inband_params ? gst_buffer_ref(buffer) : WithoutParameterSets(buffer);
      clip->bytes_ += gst_buffer_get_size(unit);
      clip->units_.push_back(unit);
    }
    gst_sample_unref(sample);
    if (clip->units_.size() >= kMaxUnits || clip->bytes_ >= kMaxBytes) break;
  }
  const bool ended = sink && gst_app_sink_is_eos(GST_APP_SINK(sink));
  std::string bus_error;
  if (GstBus* bus = gst_element_get_bus(pipeline)) {
    if (GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError* err = nullptr;
      gst_message_parse_error(msg, &err, nullptr);
      if (err) {
        bus_error = err->message;
        g_error_free(err);
      }
      gst_message_unref(msg);
    }
    gst_object_unref(bus);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (sink) gst_object_unref(sink);
  gst_object_unref(pipeline);
  if (!bus_error.empty() || clip->units_.empty() || !clip->caps_) {
    *error = "clip: " + (bus_error.empty() ? std::string("no pictures") : bus_error);
    return nullptr;
  }
  if (!ended && clip->units_.size() < kMaxUnits && clip->bytes_ < kMaxBytes) {
    *error = "clip: the encoder did not finish";
    return nullptr;
  }
  // The loop restarts at the first unit: it must be a key frame for a clean join.
  if (GST_BUFFER_FLAG_IS_SET(clip->units_.front(), GST_BUFFER_FLAG_DELTA_UNIT)) {
    *error = "clip: does not start with a key frame";
    return nullptr;
  }
  return clip;
}

void Clip::Feed(GstElement* appsrc) const {
  auto* feeder = new Feeder{&units_, 0, 0, 1000000 / fps_};
  g_object_set_data_full(G_OBJECT(appsrc), "camsim-clip-feeder", feeder,
                         [](gpointer p) { delete static_cast<Feeder*>(p); });
  gst_app_src_set_caps(GST_APP_SRC(appsrc), caps_);
  GstAppSrcCallbacks callbacks{};
  callbacks.need_data = OnNeedData;
  gst_app_src_set_callbacks(GST_APP_SRC(appsrc), &callbacks, feeder, nullptr);
}

}  // namespace camsim
