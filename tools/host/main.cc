// tollivar-host: a reference recording host for libtollivar.
//
// It loads the driver at run time with dlopen, exactly as a recording server would, and uses
// nothing but the exported entry points and the public headers.

#include <dlfcn.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host_objects.h"
#include "io.h"
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

std::string ExecutableFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "./";
  buf[n] = '\0';
  std::string path(buf);
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool ParseUnsigned(const char* text, unsigned long max, unsigned long* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

int ParseRecord(int argc, char** argv, tollivar_host::RecordOptions* o) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tollivar-host: %s needs a value\n", arg.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](unsigned long max, unsigned long* out) {
      const char* v = nullptr;
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, max, out)) {
        std::fprintf(stderr, "tollivar-host: %s: not a number in range: %s\n", arg.c_str(), v);
        return false;
      }
      return true;
    };
    const char* v = nullptr;
    unsigned long n = 0;
    if (arg == "--address") {
      if (!value(&v)) return 2;
      o->address = v;
    } else if (arg == "--port") {
      if (!number(65535, &n)) return 2;
      o->port = static_cast<unsigned>(n);
    } else if (arg == "--rtsp-port") {
      if (!number(65535, &n)) return 2;
      o->rtsp_port = static_cast<int>(n);
    } else if (arg == "--user") {
      if (!value(&v)) return 2;
      o->user = v;
    } else if (arg == "--password") {
      if (!value(&v)) return 2;
      o->password = v;
    } else if (arg == "--codec") {
      if (!value(&v)) return 2;
      o->codec = v;
    } else if (arg == "--stream-mode") {
      if (!number(1000, &n)) return 2;
      o->stream_mode = static_cast<int>(n);
    } else if (arg == "--channels") {
      if (!number(64, &n) || n == 0) return 2;
      o->channels = static_cast<unsigned>(n);
    } else if (arg == "--width") {
      if (!number(65535, &n)) return 2;
      o->width = static_cast<unsigned>(n);
    } else if (arg == "--height") {
      if (!number(65535, &n)) return 2;
      o->height = static_cast<unsigned>(n);
    } else if (arg == "--fps") {
      if (!number(1000, &n) || n == 0) return 2;
      o->fps = static_cast<unsigned>(n);
    } else if (arg == "--quality") {
      if (!number(100, &n)) return 2;
      o->quality = static_cast<unsigned>(n);
    } else if (arg == "--transport") {
      if (!value(&v)) return 2;
      o->transport = v;
    } else if (arg == "--seconds") {
      if (!number(86400, &n) || n == 0) return 2;
      o->seconds = static_cast<unsigned>(n);
    } else if (arg == "--out") {
      if (!value(&v)) return 2;
      o->out = v;
    } else if (arg == "--library") {
      if (!value(&v)) return 2;
      o->library = v;
    } else if (arg == "--log-level") {
      if (!number(4, &n)) return 2;
      o->log_level = static_cast<int>(n);
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--quiet") {
      o->quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return 1;
    } else {
      std::fprintf(stderr, "tollivar-host: unknown option: %s\n", arg.c_str());
      return 2;
    }
  }
  if (o->address.empty() || o->port == 0 || o->out.empty() || o->seconds == 0) {
    std::fputs("tollivar-host: record needs --address, --port, --seconds and --out\n", stderr);
    return 2;
  }
  if (o->out == "-" && o->channels > 1) {
    std::fputs("tollivar-host: --out - takes one channel\n", stderr);
    return 2;
  }
  if (o->codec != "h264" && o->codec != "mjpeg" && o->codec != "mpeg4") {
    std::fprintf(stderr, "tollivar-host: --codec must be h264, mjpeg or mpeg4\n");
    return 2;
  }
  if (!o->transport.empty() && o->transport != "udp" && o->transport != "tcp" &&
      o->transport != "rtsp") {
    std::fprintf(stderr, "tollivar-host: --transport must be udp, tcp or rtsp\n");
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintUsage();
    return argc < 2 ? 2 : 0;
  }
  if (std::strcmp(argv[1], "ptz") == 0) {
    return tollivar_host::RunPtzCommand(argc - 2, argv + 2, ExecutableFolder());
  }
  if (std::strcmp(argv[1], "io") == 0) {
    tollivar_host::IoOptions io_options;
    const int io_parsed = tollivar_host::ParseIo(argc - 2, argv + 2, &io_options);
    if (io_parsed == 1) return 0;
    if (io_parsed != 0) return io_parsed;
    if (io_options.library.empty()) io_options.library = tollivar_host::DefaultLibrary(ExecutableFolder());
    return tollivar_host::RunIo(io_options);
  }
  if (std::strcmp(argv[1], "probe") == 0) {
    return tollivar_host::Probe(argc - 2, argv + 2, ExecutableFolder());
  }
  if (std::strcmp(argv[1], "record") != 0) {
    std::fprintf(stderr, "tollivar-host: unknown command: %s\n", argv[1]);
    PrintUsage();
    return 2;
  }
  tollivar_host::RecordOptions options;
  const int parsed = ParseRecord(argc - 2, argv + 2, &options);
  if (parsed == 1) return 0;
  if (parsed != 0) return parsed;

  const std::string folder = ExecutableFolder();
  if (options.library.empty()) options.library = tollivar_host::DefaultLibrary(folder);
  options.config_folder = folder;
  return tollivar_host::Record(options);
}
