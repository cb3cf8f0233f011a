#include "rtsp_side.h"

#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>
#include <span>

#include "avc_filter.h"
#include "hostile.h"

namespace camsim {
namespace {

constexpr char kRole[] = "camera-user";

GstPadProbeReturn DropWhilePaused(GstPad*, GstPadProbeInfo*, gpointer user) {
  return static_cast<RtspSide*>(user)->ShouldDropMedia() ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

// Copies the time stamps of the pictures going into an encoder onto the buffers coming out.
// The encoder makes one output buffer per picture, in order (no B-pictures).
class Restamper {
 public:
  static void Attach(GstElement* encoder) {
    auto* self = new Restamper;
    g_object_set_data_full(G_OBJECT(encoder), "camsim-restamper", self,
                           [](gpointer p) { delete static_cast<Restamper*>(p); });
    if (GstPad* sink = gst_element_get_static_pad(encoder, "sink")) {
      gst_pad_add_probe(sink,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                     GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                        OnInput, self, nullptr);
      gst_object_unref(sink);
    }
    if (GstPad* src = gst_element_get_static_pad(encoder, "src")) {
      gst_pad_add_probe(src,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                        OnOutput, self, nullptr);
      gst_object_unref(src);
    }
  }

 private:
  static constexpr size_t kMaxPending = 256;

  static GstPadProbeReturn OnInput(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto* self = static_cast<Restamper*>(user);
    std::lock_guard guard(self->lock_);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
      GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
      self->pending_.push_back(GST_BUFFER_PTS(buffer));
      if (self->pending_.size() > kMaxPending) self->pending_.pop_front();
    } else if (GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info)) {
      if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) self->pending_.clear();
      if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        gst_segment_copy_into(segment, &self->input_segment_);
        self->have_segment_ = true;
      }
    }
    return GST_PAD_PROBE_OK;
  }

  static GstPadProbeReturn OnOutput(GstPad*, GstPadProbeInfo* info, gpointer user) {
    auto* self = static_cast<Restamper*>(user);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
      // The encoder moves its segment 1000 hours ahead; the pictures keep the input's times,
      // so they keep the input's segment too.
      GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
      std::lock_guard guard(self->lock_);
      if (event && GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT && self->have_segment_) {
        GstEvent* replacement = gst_event_new_segment(&self->input_segment_);
        gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = replacement;
      }
      return GST_PAD_PROBE_OK;
    }
    GstClockTime pts;
    {
      std::lock_guard guard(self->lock_);
      if (self->pending_.empty()) return GST_PAD_PROBE_OK;
      pts = self->pending_.front();
      self->pending_.pop_front();
    }
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = pts;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
  }

  std::mutex lock_;
  std::deque<GstClockTime> pending_;
  GstSegment input_segment_{};
  bool have_segment_ = false;
};

// Without in-band parameter sets the pictures carry none: they are announced in the SDP only.
GstPadProbeReturn StripInBandParameterSets(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_PAD_PROBE_OK;
  auto stripped = StripParameterSets(std::span<const uint8_t>(map.data, map.size));
  const bool changed = stripped && stripped->size() != map.size;
  gst_buffer_unmap(buffer, &map);
  if (!changed) return GST_PAD_PROBE_OK;
  GstBuffer* replacement = gst_buffer_new_allocate(nullptr, stripped->size(), nullptr);
  gst_buffer_fill(replacement, 0, stripped->data(), stripped->size());
  gst_buffer_copy_into(replacement, buffer,
                       static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS |
                                                       GST_BUFFER_COPY_TIMESTAMPS |
                                                       GST_BUFFER_COPY_META),
                       0, static_cast<gsize>(-1));
  gst_buffer_unref(buffer);
  GST_PAD_PROBE_INFO_DATA(info) = replacement;
  return GST_PAD_PROBE_OK;
}

// Some cameras announce no parameter sets in the SDP and send them in band only.
GstPadProbeReturn DropSpropFromCaps(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (!event || GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  if (!caps || gst_caps_get_size(caps) == 0 ||
      !gst_structure_has_field(gst_caps_get_structure(caps, 0), "sprop-parameter-sets")) {
    return GST_PAD_PROBE_OK;
  }
  GstCaps* stripped = gst_caps_copy(caps);
  gst_structure_remove_field(gst_caps_get_structure(stripped, 0), "sprop-parameter-sets");
  GstEvent* replacement = gst_event_new_caps(stripped);
  gst_caps_unref(stripped);
  gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = replacement;
  return GST_PAD_PROBE_OK;
}

// Swaps a share of the RTP packets with the packet after them. The payloaders push the packets
// of one picture as a list, so the swaps stay within a picture: enough for a receiver's
// reordering to be exercised without a relay.
GstPadProbeReturn ReorderPackets(GstPad*, GstPadProbeInfo* info, gpointer user) {
  const int percent = static_cast<RtspSide*>(user)->rtp_reorder_percent();
  GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
  if (!list || gst_buffer_list_length(list) < 2) return GST_PAD_PROBE_OK;
  list = gst_buffer_list_make_writable(list);
  const guint length = gst_buffer_list_length(list);
  for (guint i = 0; i + 1 < length; ++i) {
    if (g_random_int_range(0, 100) >= percent) continue;
    GstBuffer* first = gst_buffer_ref(gst_buffer_list_get(list, i));
    gst_buffer_list_remove(list, i, 1);
    gst_buffer_list_insert(list, static_cast<gint>(i + 1), first);  // takes the reference
    ++i;  // a swapped packet is not swapped again
  }
  GST_PAD_PROBE_INFO_DATA(info) = list;
  return GST_PAD_PROBE_OK;
}

// A camera is live and cannot seek. Without this the test source answers the seeking query
// with "yes", the server turns a PLAY with "Range: npt=0-" into a flushing seek, the time
// stamps restart at zero and avenc_mpeg4 rejects every later picture ("Invalid pts").
GstPadProbeReturn AnswerNotSeekable(GstPad*, GstPadProbeInfo* info, gpointer) {
  GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
  if (!query || GST_QUERY_TYPE(query) != GST_QUERY_SEEKING) return GST_PAD_PROBE_OK;
  GstFormat format = GST_FORMAT_TIME;
  gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
  gst_query_set_seeking(query, format, FALSE, 0, -1);
  return GST_PAD_PROBE_HANDLED;
}

// Every media gets probes on its payloader: the media-pause switch and the seek refusal.
void OnMediaConstructed(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer user) {
  GstElement* element = gst_rtsp_media_get_element(media);
  if (!element) return;
  if (GstElement* encoder = gst_bin_get_by_name(GST_BIN(element), kRestampedEncoder)) {
    Restamper::Attach(encoder);
    gst_object_unref(encoder);
  }
  auto* side = static_cast<RtspSide*>(user);
  if (GstElement* source = gst_bin_get_by_name(GST_BIN(element), kClipSource)) {
    if (side->clip()) side->clip()->Feed(source);
    gst_object_unref(source);
  }
  GstElement* h264 = gst_bin_get_by_name(GST_BIN(element), kH264Encoder);
  if (h264 && !H264InBand(side->quirks())) {
    if (GstPad* src = gst_element_get_static_pad(h264, "src")) {
      gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_BUFFER, StripInBandParameterSets, nullptr,
                        nullptr);
      gst_object_unref(src);
    }
  }
  if (h264) gst_object_unref(h264);
  if (GstElement* pay = gst_bin_get_by_name(GST_BIN(element), "pay0")) {
    if (GstPad* pad = gst_element_get_static_pad(pay, "src")) {
      gst_pad_add_probe(pad,
                        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                     GST_PAD_PROBE_TYPE_BUFFER_LIST),
                        DropWhilePaused, user, nullptr);
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM, AnswerNotSeekable, nullptr,
                        nullptr);
      if (side->quirks().no_sprop) {
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, DropSpropFromCaps, nullptr,
                          nullptr);
      }
      if (side->rtp_reorder_percent() > 0) {
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER_LIST, ReorderPackets, user, nullptr);
      }
      GstElementFactory* factory = gst_element_get_factory(pay);
      const bool jpeg =
          factory && g_strcmp0(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)),
                               "rtpjpegpay") == 0;
      AttachPacketFaults(pad, side->hostile(), jpeg);
      gst_object_unref(pad);
    }
    gst_object_unref(pay);
  }
  gst_object_unref(element);
}

void OnNewSession(GstRTSPClient*, GstRTSPSession* session, gpointer user) {
  auto* server = static_cast<RtspSide::Server*>(user);
  gst_rtsp_session_set_timeout(session, static_cast<guint>(server->owner->session_timeout()));
}

// Emitted for every response, the 401 challenges included, with the request in the context.
void OnSendMessage(GstRTSPClient* client, GstRTSPContext* ctx, GstRTSPMessage* response,
                   gpointer user) {
  auto* server = static_cast<RtspSide::Server*>(user);
  server->owner->LogRequest(server->port, ctx, response);
  if (server->owner->hostile().stray_datagrams && ctx && ctx->request &&
      ctx->method == GST_RTSP_SETUP) {
    MaybeSendStrayDatagrams(server->owner->address(), client, ctx->request, response);
  }
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer user) {
  // The faults first: an answer they rewrite on its way out is logged as it was sent.
  AttachSessionFaults(client, static_cast<RtspSide::Server*>(user)->owner->hostile());
  g_signal_connect(client, "new-session", G_CALLBACK(OnNewSession), user);
  g_signal_connect(client, "send-message", G_CALLBACK(OnSendMessage), user);
}

GstRTSPFilterResult RemoveClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

std::string Header(GstRTSPMessage* msg, GstRTSPHeaderField field, bool* present) {
  gchar* value = nullptr;
  *present = gst_rtsp_message_get_header(msg, field, &value, 0) == GST_RTSP_OK;
  return *present && value ? value : "";
}

}  // namespace

namespace {

StreamQuirks QuirksOf(const Options& o) {
  StreamQuirks q;
  q.inband_params = o.inband_params;
  q.no_sprop = o.no_sprop;
  q.mpeg4_inband_config = !o.mpeg4_no_inband_config;
  return q;
}

}  // namespace

RtspSide::RtspSide(const Options& options, ParamStore& params, RequestLog& log)
    : options_(options), quirks_(QuirksOf(options)), params_(params), log_(log) {}

RtspSide::~RtspSide() {
  for (auto& s : servers_) {
    if (s->source_id) g_source_remove(s->source_id);
    g_object_unref(s->server);
  }
  for (auto& m : mounts_) g_object_unref(m.factory);
  if (auth_) g_object_unref(auth_);
}

GstRTSPMediaFactory* RtspSide::MakeFactory(StreamKind kind) {
  GstRTSPMediaFactory* f = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(f, LaunchOf(kind, params_.Video()).c_str());
  gst_rtsp_media_factory_set_shared(f, options_.shared ? TRUE : FALSE);
  gst_rtsp_media_factory_set_protocols(
      f, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
  if (auth_) {
    gst_rtsp_media_factory_add_role(f, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN,
                                    TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN,
                                    TRUE, nullptr);
  }
  g_signal_connect(f, "media-constructed", G_CALLBACK(OnMediaConstructed), this);
  mounts_.push_back({GST_RTSP_MEDIA_FACTORY(g_object_ref(f)), kind});
  return f;
}

bool RtspSide::AddServer(uint16_t port,
                         const std::vector<std::pair<std::string, StreamKind>>& paths,
                         std::string* error) {
  auto entry = std::make_unique<Server>();
  entry->owner = this;
  entry->server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(entry->server, options_.address.c_str());
  gst_rtsp_server_set_service(entry->server, std::to_string(port).c_str());
  if (auth_) gst_rtsp_server_set_auth(entry->server, auth_);
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(entry->server);
  for (const auto& [path, kind] : paths) {
    gst_rtsp_mount_points_add_factory(mounts, path.c_str(), MakeFactory(kind));
  }
  g_object_unref(mounts);
  g_signal_connect(entry->server, "client-connected", G_CALLBACK(OnClientConnected),
                   entry.get());

  GError* gerror = nullptr;
  GSource* source = gst_rtsp_server_create_source(entry->server, nullptr, &gerror);
  if (!source) {
    *error = "cannot listen on RTSP port " + std::to_string(port) + ": " +
             (gerror ? gerror->message : "unknown error");
    if (gerror) g_error_free(gerror);
    servers_.push_back(std::move(entry));  // released by the destructor
    return false;
  }
  entry->source_id = g_source_attach(source, nullptr);
  g_source_unref(source);
  const int bound = gst_rtsp_server_get_bound_port(entry->server);
  entry->port = static_cast<uint16_t>(bound > 0 ? bound : 0);
  ports_.push_back(entry->port);
  servers_.push_back(std::move(entry));
  return true;
}

void RtspSide::SetPasswordLocked(const std::string& old_password,
                                 const std::string& new_password) {
  GstRTSPToken* token =
      gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
  if (options_.auth == AuthMode::kBasic) {
    if (gchar* old_basic = gst_rtsp_auth_make_basic(options_.user.c_str(), old_password.c_str())) {
      gst_rtsp_auth_remove_basic(auth_, old_basic);
      g_free(old_basic);
    }
    gchar* basic = gst_rtsp_auth_make_basic(options_.user.c_str(), new_password.c_str());
    gst_rtsp_auth_add_basic(auth_, basic, token);
    g_free(basic);
  } else {
    gst_rtsp_auth_remove_digest(auth_, options_.user.c_str());
    gst_rtsp_auth_add_digest(auth_, options_.user.c_str(), new_password.c_str(), token);
  }
  gst_rtsp_token_unref(token);
}

bool RtspSide::RefuseCredentials(bool refuse) {
  if (!auth_) return false;
  korvane::CMutexLock guard(auth_lock_);
  if (refuse == refusing_) return true;
  // A password nobody sends: fresh random bytes, never printed.
  gchar* random = g_strdup_printf("%08x%08x%08x", g_random_int(), g_random_int(), g_random_int());
  const std::string refused = std::string("\x01") + random;
  g_free(random);
  if (refuse) {
    SetPasswordLocked(options_.password, refused);
    refused_password_ = refused;
  } else {
    SetPasswordLocked(refused_password_, options_.password);
  }
  refusing_ = refuse;
  return true;
}

bool RtspSide::RefusingCredentials() const {
  korvane::CMutexLock guard(auth_lock_);
  return refusing_;
}

std::string RtspSide::LaunchOf(StreamKind kind, const VideoConfig& video) const {
  // The clip replaces the main stream whatever the settings say: it was encoded once.
  if (clip_ && kind == StreamKind::kMain) return ClipLaunchDescription(quirks_);
  return LaunchDescription(ShapeOf(kind, video), quirks_);
}

bool RtspSide::LoadClip(std::string* error) {
  const VideoConfig video = params_.Video();
  const std::string description =
      options_.clip.empty()
          ? ClipEncoderDescription(ShapeOf(StreamKind::kMain, video), options_.clip_seconds)
          : ClipFileDescription(options_.clip);
  const int64_t began = g_get_monotonic_time();
  clip_ = Clip::Load(description, H264InBand(quirks_), video.fps, error);
  if (!clip_) return false;
  g_printerr("cnb-camsim: clip of %zu pictures (%zu bytes) ready in %.1f s\n", clip_->size(),
             clip_->bytes(), static_cast<double>(g_get_monotonic_time() - began) / 1e6);
  return true;
}

bool RtspSide::Start(std::string* error) {
  if ((options_.pre_encoded || !options_.clip.empty()) && !LoadClip(error)) return false;
  if (options_.auth != AuthMode::kNone) {
    auth_ = gst_rtsp_auth_new();
    gst_rtsp_auth_set_supported_methods(
        auth_, options_.auth == AuthMode::kBasic ? GST_RTSP_AUTH_BASIC : GST_RTSP_AUTH_DIGEST);
    korvane::CMutexLock guard(auth_lock_);
    SetPasswordLocked(options_.password, options_.password);
  }
  if (!AddServer(options_.rtsp_port,
                 {{"/", StreamKind::kMain},
                  {"/main", StreamKind::kMain},
                  {"/sub", StreamKind::kSub},
                  {"/mpeg4", StreamKind::kMpeg4}},
                 error)) {
    return false;
  }
  if (options_.mjpeg_ports) {
    if (!AddServer(options_.port_8554, {{"/mjpeg", StreamKind::kMjpeg}}, error)) return false;
    if (!AddServer(options_.port_665, {{"/", StreamKind::kMjpeg}}, error)) return false;
  }
  return true;
}

void RtspSide::Reconfigure() {
  const VideoConfig video = params_.Video();
  for (const auto& m : mounts_) {
    gst_rtsp_media_factory_set_launch(m.factory, LaunchOf(m.kind, video).c_str());
  }
}

void RtspSide::PauseMedia(int seconds) {
  pause_until_us_ = seconds <= 0 ? std::numeric_limits<int64_t>::max()
                                 : g_get_monotonic_time() + int64_t{seconds} * 1000000;
}

void RtspSide::ResumeMedia() { pause_until_us_ = 0; }

bool RtspSide::ShouldDropMedia() const {
  const int64_t until = pause_until_us_.load(std::memory_order_relaxed);
  return until != 0 && g_get_monotonic_time() < until;
}

bool RtspSide::MediaPaused() const { return ShouldDropMedia(); }

void RtspSide::CloseClients() {
  for (auto& s : servers_) {
    if (GList* kept = gst_rtsp_server_client_filter(s->server, RemoveClient, nullptr)) {
      g_list_free_full(kept, g_object_unref);
    }
  }
}

void RtspSide::LogRequest(uint16_t port, const void* context, const void* response) {
  auto* ctx = static_cast<const GstRTSPContext*>(context);
  auto* resp = static_cast<GstRTSPMessage*>(const_cast<void*>(response));
  if (!ctx || !ctx->request ||
      gst_rtsp_message_get_type(ctx->request) != GST_RTSP_MESSAGE_REQUEST) {
    return;
  }
  GstRTSPMethod method = GST_RTSP_INVALID;
  const gchar* uri = nullptr;
  GstRTSPVersion version = GST_RTSP_VERSION_INVALID;
  gst_rtsp_message_parse_request(ctx->request, &method, &uri, &version);
  GstRTSPStatusCode code = GST_RTSP_STS_INVALID;
  if (resp && gst_rtsp_message_get_type(resp) == GST_RTSP_MESSAGE_RESPONSE) {
    gst_rtsp_message_parse_response(resp, &code, nullptr, nullptr);
  }
  bool has_cseq = false, has_auth = false, has_session = false, has_transport = false;
  const std::string cseq = Header(ctx->request, GST_RTSP_HDR_CSEQ, &has_cseq);
  Header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &has_auth);  // presence only, never the value
  Header(ctx->request, GST_RTSP_HDR_SESSION, &has_session);
  const std::string transport = Header(ctx->request, GST_RTSP_HDR_TRANSPORT, &has_transport);

  JsonLine line;
  const gchar* method_text = gst_rtsp_method_as_text(method);
  line.Str("proto", "rtsp").Int("port", port).Str("method", method_text ? method_text : "?");
  line.Str("url", uri ? uri : "");
  line.Int("cseq", has_cseq ? std::strtol(cseq.c_str(), nullptr, 10) : -1);
  line.Bool("auth", has_auth).Bool("session", has_session);
  if (has_transport) line.Str("transport", transport);
  line.Int("status", static_cast<int>(code));
  log_.Add(line);
}

}  // namespace camsim
