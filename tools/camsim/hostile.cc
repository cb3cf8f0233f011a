#include "hostile.h"

#include <arpa/inet.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace camsim {
namespace {

constexpr size_t kRtpHeaderSize = 12;
constexpr uint8_t kPaddingOctets = 4;
constexpr guint kStrayIntervalMs = 100;
constexpr int kStrayCount = 100;
constexpr size_t kStrayMaxSize = 1400;
constexpr guint kStrayAnswerDelayMs = 50;

// Per payloader: how many pictures went by and how many packets were dropped so far (every
// later sequence number moves back by that much).
struct PacketFaultState {
  Hostile hostile;
  bool jpeg = false;
  uint64_t pictures = 0;
  uint16_t removed = 0;
  // near-wrap: what moves the payloader's own numbering to the chosen start, fixed at its
  // first packet.
  bool numbering_fixed = false;
  uint16_t sequence_shift = 0;
  uint32_t timestamp_shift = 0;
};

void FixNumbering(PacketFaultState* state, GstBuffer* first) {
  if (state->numbering_fixed || !state->hostile.near_wrap) return;
  uint8_t header[kRtpHeaderSize];
  if (gst_buffer_extract(first, 0, header, sizeof header) != sizeof header) return;
  const uint16_t sequence = static_cast<uint16_t>((header[2] << 8) | header[3]);
  uint32_t timestamp = 0;
  for (int i = 4; i < 8; ++i) timestamp = (timestamp << 8) | header[i];
  state->sequence_shift = static_cast<uint16_t>(kNearWrapSequence - sequence);
  state->timestamp_shift = kNearWrapTimestamp - timestamp;
  state->numbering_fixed = true;
}

GstBuffer* Rewritten(GstBuffer* buffer, const PacketFaultState& state, uint16_t removed_before) {
  std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
  gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
  if (bytes.size() < kRtpHeaderSize) return gst_buffer_ref(buffer);
  if (removed_before != 0) {
    const uint16_t sequence = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    SetRtpSequence(bytes, static_cast<uint16_t>(sequence - removed_before));
  }
  if (state.numbering_fixed) ShiftRtpNumbering(bytes, state.sequence_shift, state.timestamp_shift);
  if (state.hostile.rtp_padding) bytes = PadRtp(bytes, kPaddingOctets);
  GstBuffer* out = gst_buffer_new_allocate(nullptr, bytes.size(), nullptr);
  gst_buffer_fill(out, 0, bytes.data(), bytes.size());
  gst_buffer_copy_into(out, buffer,
                       static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS |
                                                       GST_BUFFER_COPY_TIMESTAMPS |
                                                       GST_BUFFER_COPY_META),
                       0, static_cast<gsize>(-1));
  return out;
}

GstPadProbeReturn OnPackets(GstPad*, GstPadProbeInfo* info, gpointer user) {
  auto* state = static_cast<PacketFaultState*>(user);
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    FixNumbering(state, buffer);
    GstBuffer* out = Rewritten(buffer, *state, state->removed);
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = out;
    return GST_PAD_PROBE_OK;
  }
  GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
  if (!list) return GST_PAD_PROBE_OK;
  // The payloaders push one picture's packets as one list.
  const guint length = gst_buffer_list_length(list);
  if (length > 0) FixNumbering(state, gst_buffer_list_get(list, 0));
  ++state->pictures;
  const int drop = state->jpeg && state->hostile.jpeg_drop_fragment
                       ? DroppedFragment(state->pictures, length)
                       : -1;
  GstBufferList* out = gst_buffer_list_new_sized(length);
  const uint16_t removed_before = state->removed;
  for (guint i = 0; i < length; ++i) {
    if (static_cast<int>(i) == drop) {
      ++state->removed;
      continue;
    }
    const uint16_t shift =
        static_cast<uint16_t>(removed_before + (drop >= 0 && static_cast<int>(i) > drop ? 1 : 0));
    gst_buffer_list_add(out, Rewritten(gst_buffer_list_get(list, i), *state, shift));
  }
  gst_buffer_list_unref(list);
  GST_PAD_PROBE_INFO_DATA(info) = out;
  return GST_PAD_PROBE_OK;
}

struct StrayAnswer {
  GstRTSPClient* client;  // one reference
  GstRTSPMessage* message;
};

gboolean SendStrayAnswer(gpointer user) {
  auto* stray = static_cast<StrayAnswer*>(user);
  gst_rtsp_client_send_message(stray->client, nullptr, stray->message);
  gst_rtsp_message_free(stray->message);
  g_object_unref(stray->client);
  delete stray;
  return G_SOURCE_REMOVE;
}

void OnPlayAnswer(GstRTSPClient* client, GstRTSPContext* ctx, GstRTSPMessage* response,
                  gpointer) {
  if (!ctx || !ctx->request || ctx->method != GST_RTSP_PLAY || !response ||
      gst_rtsp_message_get_type(response) != GST_RTSP_MESSAGE_RESPONSE) {
    return;
  }
  GstRTSPMessage* copy = nullptr;
  if (gst_rtsp_message_copy(response, &copy) != GST_RTSP_OK) return;
  g_timeout_add(kStrayAnswerDelayMs, SendStrayAnswer,
                new StrayAnswer{GST_RTSP_CLIENT(g_object_ref(client)), copy});
}

GstRTSPStatusCode RefuseTeardown(GstRTSPClient*, GstRTSPContext*, gpointer) {
  return GST_RTSP_STS_METHOD_NOT_VALID_IN_THIS_STATE;
}

// The SETUP's Transport value, which the server has already taken (it parses it after this
// signal). Rewrites keep its length: the server holds a pointer into it.
gchar* SetupTransport(GstRTSPContext* ctx) {
  gchar* transport = nullptr;
  if (!ctx || !ctx->request ||
      gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_TRANSPORT, &transport, 0) !=
          GST_RTSP_OK) {
    return nullptr;
  }
  return transport;
}

GstRTSPStatusCode OnPreSetup(GstRTSPClient*, GstRTSPContext* ctx, gpointer user) {
  const Hostile& hostile = *static_cast<const Hostile*>(user);
  gchar* transport = SetupTransport(ctx);
  if (!transport) return GST_RTSP_STS_OK;
  const bool tcp = std::strstr(transport, "/TCP") != nullptr;
  if (!tcp && hostile.refuse_udp) return GST_RTSP_STS_UNSUPPORTED_TRANSPORT;
  if (tcp && hostile.other_interleaved) {
    if (char* pair = std::strstr(transport, "interleaved=0-1")) {
      std::memcpy(pair + std::strlen("interleaved="), "4-5", 3);
    }
  }
  if (!tcp && hostile.drop_udp) {
    // Both client ports move to ports starting with another digit (3556-3557 becomes
    // 1556-1557): the stream goes to the same host where nobody listens.
    if (char* ports = std::strstr(transport, "client_port=")) {
      ports += std::strlen("client_port=");
      for (char* p = ports; *p >= '0' && *p <= '9';) {
        *p = *p == '1' ? '2' : '1';
        while (*p >= '0' && *p <= '9') ++p;
        if (*p != '-') break;
        ++p;
      }
    }
  }
  return GST_RTSP_STS_OK;
}

constexpr char kStaleNonceKey[] = "camsim-renew-nonce";

// The nonce the client's Digest answer used, from its Authorization value.
std::string AnsweredNonce(GstRTSPContext* ctx) {
  gchar* authorization = nullptr;
  if (gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &authorization, 0) !=
          GST_RTSP_OK ||
      !authorization) {
    return {};
  }
  const char* at = std::strstr(authorization, "nonce=\"");
  if (!at) return {};
  at += std::strlen("nonce=\"");
  const char* end = std::strchr(at, '"');
  return end ? std::string(at, end) : std::string();
}

// The first in-session OPTIONS of a client is refused as by a camera that renewed its nonce:
// its answer becomes a plain 401 with a challenge (no stale flag). The server's own nonce goes
// out again as the "new" one, so that the answer to it passes. (The answer is rewritten on its
// way out: a refusal from "pre-options-request" makes GStreamer 1.22 free a message on the
// stack.)
void OnKeepAliveAnswer(GstRTSPClient* client, GstRTSPContext* ctx, GstRTSPMessage* response,
                       gpointer) {
  GstRTSPStatusCode code = GST_RTSP_STS_INVALID;
  if (!ctx || !ctx->request || !ctx->session || ctx->method != GST_RTSP_OPTIONS || !response ||
      gst_rtsp_message_get_type(response) != GST_RTSP_MESSAGE_RESPONSE ||
      gst_rtsp_message_parse_response(response, &code, nullptr, nullptr) != GST_RTSP_OK ||
      code != GST_RTSP_STS_OK || g_object_get_data(G_OBJECT(client), kStaleNonceKey)) {
    return;
  }
  const std::string nonce = AnsweredNonce(ctx);
  if (nonce.empty()) return;
  g_object_set_data(G_OBJECT(client), kStaleNonceKey, GINT_TO_POINTER(1));
  gst_rtsp_message_init_response(response, GST_RTSP_STS_UNAUTHORIZED,
                                 gst_rtsp_status_as_text(GST_RTSP_STS_UNAUTHORIZED), ctx->request);
  gchar* challenge =
      g_strdup_printf("Digest realm=\"GStreamer RTSP Server\", nonce=\"%s\"", nonce.c_str());
  gst_rtsp_message_take_header(response, GST_RTSP_HDR_WWW_AUTHENTICATE, challenge);
}

struct StraySender {
  int fd;
  sockaddr_in to;
  int left;
};

gboolean SendStrayDatagram(gpointer user) {
  auto* sender = static_cast<StraySender*>(user);
  uint8_t data[kStrayMaxSize];
  const size_t size = 1 + static_cast<size_t>(g_random_int_range(0, kStrayMaxSize));
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(g_random_int());
  // Half of them look like RTP version 2 at first sight.
  if (sender->left % 2 == 0) data[0] = static_cast<uint8_t>(0x80 | (data[0] & 0x3f));
  sendto(sender->fd, data, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender->to),
         sizeof(sender->to));
  if (--sender->left > 0) return G_SOURCE_CONTINUE;
  close(sender->fd);
  delete sender;
  return G_SOURCE_REMOVE;
}

}  // namespace

void AttachPacketFaults(GstPad* pad, const Hostile& hostile, bool jpeg) {
  if (!hostile.rtp_padding && !hostile.near_wrap && !(jpeg && hostile.jpeg_drop_fragment)) return;
  auto* state = new PacketFaultState{hostile, jpeg, 0, 0};
  gst_pad_add_probe(pad,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                 GST_PAD_PROBE_TYPE_BUFFER_LIST),
                    OnPackets, state, [](gpointer p) { delete static_cast<PacketFaultState*>(p); });
}

void AttachSessionFaults(GstRTSPClient* client, const Hostile& hostile) {
  if (hostile.stray_200) g_signal_connect(client, "send-message", G_CALLBACK(OnPlayAnswer), nullptr);
  if (hostile.refuse_teardown) {
    g_signal_connect(client, "pre-teardown-request", G_CALLBACK(RefuseTeardown), nullptr);
  }
  if (hostile.other_interleaved || hostile.refuse_udp || hostile.drop_udp) {
    // The options outlive every client of the server.
    g_signal_connect(client, "pre-setup-request", G_CALLBACK(OnPreSetup),
                     const_cast<Hostile*>(&hostile));
  }
  if (hostile.renew_nonce) {
    g_signal_connect(client, "send-message", G_CALLBACK(OnKeepAliveAnswer), nullptr);
  }
}

void MaybeSendStrayDatagrams(const std::string& camera_address, GstRTSPClient* client,
                             GstRTSPMessage* request, GstRTSPMessage* response) {
  GstRTSPStatusCode code = GST_RTSP_STS_INVALID;
  if (!request || !response ||
      gst_rtsp_message_get_type(response) != GST_RTSP_MESSAGE_RESPONSE ||
      gst_rtsp_message_parse_response(response, &code, nullptr, nullptr) != GST_RTSP_OK ||
      code != GST_RTSP_STS_OK) {
    return;
  }
  gchar* transport = nullptr;
  if (gst_rtsp_message_get_header(request, GST_RTSP_HDR_TRANSPORT, &transport, 0) != GST_RTSP_OK ||
      !transport || std::strstr(transport, "interleaved")) {
    return;
  }
  const char* ports = std::strstr(transport, "client_port=");
  GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
  const gchar* client_ip = connection ? gst_rtsp_connection_get_ip(connection) : nullptr;
  if (!ports || !client_ip) return;
  const long port = std::strtol(ports + std::strlen("client_port="), nullptr, 10);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, client_ip, &to.sin_addr) != 1 ||
      inet_pton(AF_INET, camera_address.c_str(), &from.sin_addr) != 1) {
    return;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
    close(fd);
    return;
  }
  g_timeout_add(kStrayIntervalMs, SendStrayDatagram, new StraySender{fd, to, kStrayCount});
}

}  // namespace camsim
