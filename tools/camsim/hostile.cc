#include "hostile.h"

#include <arpa/inet.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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
};

GstBuffer* Rewritten(GstBuffer* buffer, const PacketFaultState& state, uint16_t removed_before) {
  std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
  gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
  if (bytes.size() < kRtpHeaderSize) return gst_buffer_ref(buffer);
  if (removed_before != 0) {
    const uint16_t sequence = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
    SetRtpSequence(bytes, static_cast<uint16_t>(sequence - removed_before));
  }
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
    GstBuffer* out = Rewritten(buffer, *state, state->removed);
    gst_buffer_unref(buffer);
    GST_PAD_PROBE_INFO_DATA(info) = out;
    return GST_PAD_PROBE_OK;
  }
  GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
  if (!list) return GST_PAD_PROBE_OK;
  // The payloaders push one picture's packets as one list.
  const guint length = gst_buffer_list_length(list);
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
  if (!hostile.rtp_padding && !(jpeg && hostile.jpeg_drop_fragment)) return;
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
