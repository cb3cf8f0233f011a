// tollivar-host: a reference recording host for libtollivar.
//
// It loads the driver at run time, exactly as a recording server would, and uses
// nothing but the exported entry points and the public headers.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_objects.h"
#include "io.h"
#include "option_table.h"
#include "platform.h"
#include "probe.h"
#include "ptz_command.h"
#include "record.h"

namespace {

void PrintUsage() {
  std::fputs(
      "usage: tollivar-host record --address A --port P --codec h264|mjpeg|mpeg4 --seconds S\n"
      "                            --out FILE [options]\n"
      "\n"
      "Records live video from a CNB camera through libtollivar.\n"
      "\n"
      "options of record:\n"
      "  --address A        camera host name or address\n"
      "  --port P           camera HTTP port\n"
      "  --rtsp-port N      camera RTSP port (custom parameter 3; default 554)\n"
      "  --user U           user name\n"
      "  --password W       password\n"
      "  --codec C          h264, mjpeg or mpeg4\n"
      "  --stream-mode M    stream mode (custom parameter 4; default 4)\n"
      "  --channels C       number of video channels to record (default 1); one file each\n"
      "  --width W --height H --fps F --quality Q   stream wanted (default 1280x720, 25, 50)\n"
      "  --transport T      udp, tcp or rtsp (RTP over UDP, TCP or interleaved on RTSP); written\n"
      "                     to Tollivar.xml beside this program for the run, unless that file\n"
      "                     already exists (it then wins)\n"
      "  --seconds S        recording time\n"
      "  --out FILE         output by extension: .mkv or .mp4 (the frames in a container with\n"
      "                     the camera's frame times; plays and seeks in any player); any\n"
      "                     other name gets the raw stream (Annex B .h264, concatenated JPEG\n"
      "                     .mjpeg, MPEG-4 .m4v); - writes the raw stream to standard output\n"
      "                     (messages, progress and --json then go to standard error);\n"
      "                     with C > 1 channels, FILE gets _chN before its extension\n"
      "  --json             print the summary as JSON on stdout\n"
      "  --library PATH     libtollivar.so to load (default: beside the build tree)\n"
      "  --log-level L      driver log lines shown, 1 errors .. 3 information (default 3)\n"
      "  --quiet            no progress line\n"
      "\n"
      "       tollivar-host io --address A --port P [options]   (see tollivar-host io --help)\n"
      "       tollivar-host probe --address A --port P --user U --password W [--json]\n"
      "                           (tollivar-host probe --help for its options)\n"
      "       tollivar-host ptz --help   moves a PTZ head and keeps named presets\n",
      stderr);
}

// The options of record; true when they make a recording.
bool CheckRecord(const tollivar_host::RecordOptions& o) {
  if (o.address.empty() || o.port == 0 || o.out.empty() || o.seconds == 0) {
    std::fputs("tollivar-host: record needs --address, --port, --seconds and --out\n", stderr);
    return false;
  }
  if (o.out == "-" && o.channels > 1) {
    std::fputs("tollivar-host: --out - takes one channel\n", stderr);
    return false;
  }
  if (o.codec != "h264" && o.codec != "mjpeg" && o.codec != "mpeg4") {
    std::fputs("tollivar-host: --codec must be h264, mjpeg or mpeg4\n", stderr);
    return false;
  }
  if (!o.transport.empty() && o.transport != "udp" && o.transport != "tcp" &&
      o.transport != "rtsp") {
    std::fputs("tollivar-host: --transport must be udp, tcp or rtsp\n", stderr);
    return false;
  }
  return true;
}

// 0 when parsed, 1 after --help, 2 on a usage error.
int ParseRecord(int argc, char** argv, tollivar_host::RecordOptions* o) {
  using namespace tollivar_host;
  const std::vector<Option> options = {
      TextOption("--address", &o->address),  NumberOption("--port", 0, 65535, &o->port),
      NumberOption("--rtsp-port", 0, 65535, &o->rtsp_port), TextOption("--user", &o->user),
      TextOption("--password", &o->password), TextOption("--codec", &o->codec),
      NumberOption("--stream-mode", 0, 1000, &o->stream_mode),
      NumberOption("--channels", 1, 64, &o->channels),
      NumberOption("--width", 0, 65535, &o->width), NumberOption("--height", 0, 65535, &o->height),
      NumberOption("--fps", 1, 1000, &o->fps),  NumberOption("--quality", 0, 100, &o->quality),
      TextOption("--transport", &o->transport),
      NumberOption("--seconds", 1, 86400, &o->seconds), TextOption("--out", &o->out),
      TextOption("--library", &o->library),  NumberOption("--log-level", 0, 4, &o->log_level),
      FlagOption("--json", &o->json),        FlagOption("--quiet", &o->quiet),
  };
  switch (ParseOptions(argc, argv, options)) {
    case Parsed::kHelp:
      PrintUsage();
      return 1;
    case Parsed::kUsageError:
      return 2;
    case Parsed::kOk:
      break;
  }
  return CheckRecord(*o) ? 0 : 2;
}

// Runs the command of argv[1]; its exit status.
int RunCommand(int argc, char** argv) {
  using namespace tollivar_host;
  const std::string command = argv[1];
  if (command == "ptz") return RunPtzCommand(argc - 2, argv + 2, ExecutableFolder());
  if (command == "probe") return Probe(argc - 2, argv + 2, ExecutableFolder());
  if (command == "io") {
    IoOptions io_options;
    const int parsed = ParseIo(argc - 2, argv + 2, &io_options);
    if (parsed != 0) return parsed == 1 ? 0 : parsed;
    if (io_options.library.empty()) io_options.library = DefaultLibrary(ExecutableFolder());
    return RunIo(io_options);
  }
  if (command != "record") {
    std::fprintf(stderr, "tollivar-host: unknown command: %s\n", argv[1]);
    PrintUsage();
    return 2;
  }
  RecordOptions options;
  const int parsed = ParseRecord(argc - 2, argv + 2, &options);
  if (parsed != 0) return parsed == 1 ? 0 : parsed;
  const std::string folder = ExecutableFolder();
  if (options.library.empty()) options.library = DefaultLibrary(folder);
  options.config_folder = folder;
  return Record(options);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintUsage();
    return argc < 2 ? 2 : 0;
  }
  return RunCommand(argc, argv);
}
