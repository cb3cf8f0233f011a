// cnb-camsim: a CNB network camera simulator for tests and demos.
#include <glib-unix.h>
#include <gst/gst.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "http_side.h"
#include "options.h"
#include "params.h"
#include "request_log.h"
#include "rtsp_side.h"

namespace {

constexpr int kDrainMilliseconds = 500;

gboolean OnStopSignal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

gboolean OnDrainDone(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

int Run(const camsim::Options& options) {
  camsim::RequestLog log;
  if (!options.log_requests.empty() && !log.Open(options.log_requests)) {
    std::fprintf(stderr, "cnb-camsim: cannot write %s\n", options.log_requests.c_str());
    return 1;
  }
  // The list names the RTSP and HTTP ports; with port 0 the real ones are known only once the
  // servers listen, and are written into the store then.
  camsim::ParamStore params(options, options.rtsp_port, options.http_port);
  camsim::RtspSide rtsp(options, params, log);
  std::string error;
  if (!rtsp.Start(&error)) {
    std::fprintf(stderr, "cnb-camsim: %s\n", error.c_str());
    return 1;
  }
  camsim::MediaControl media;
  media.pause = [&rtsp](int seconds) { rtsp.PauseMedia(seconds); };
  media.resume = [&rtsp] { rtsp.ResumeMedia(); };
  media.paused = [&rtsp] { return rtsp.MediaPaused(); };
  media.video_changed = [&rtsp] { rtsp.Reconfigure(); };
  media.refuse_rtsp_credentials = [&rtsp](bool refuse) { return rtsp.RefuseCredentials(refuse); };
  media.refusing_rtsp_credentials = [&rtsp] { return rtsp.RefusingCredentials(); };
  camsim::HttpSide http(options, params, log, media);
  if (!http.Start(&error)) {
    std::fprintf(stderr, "cnb-camsim: %s\n", error.c_str());
    return 1;
  }
  params.Update("rtp.rtspport=" + std::to_string(rtsp.port()) +
                "&network.httpport=" + std::to_string(http.port()));

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  const guint term = g_unix_signal_add(SIGTERM, OnStopSignal, loop);
  const guint intr = g_unix_signal_add(SIGINT, OnStopSignal, loop);

  std::string ready = "cnb-camsim ready rtsp=" + std::to_string(rtsp.port()) +
                      " http=" + std::to_string(http.port());
  if (options.mjpeg_ports) {
    ready += " mjpeg8554=" + std::to_string(rtsp.port_8554()) +
             " mjpeg665=" + std::to_string(rtsp.port_665());
  }
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);

  g_main_loop_run(loop);

  std::printf("cnb-camsim stopping\n");
  std::fflush(stdout);
  http.Stop();
  // Send the clients away and give their media a moment to shut down on the main context.
  rtsp.CloseClients();
  g_timeout_add(kDrainMilliseconds, OnDrainDone, loop);
  g_main_loop_run(loop);
  g_source_remove(term);
  g_source_remove(intr);
  g_main_loop_unref(loop);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = camsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &error);
  if (!options) {
    std::fprintf(stderr, "cnb-camsim: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(camsim::UsageText().c_str(), stdout);
    return 0;
  }
  gst_init(nullptr, nullptr);
  const int code = Run(*options);
  std::fflush(stdout);
  std::fflush(stderr);
  // Streaming threads of GStreamer may still be winding down; leave without running static
  // destructors under their feet.
  _exit(code);
}
