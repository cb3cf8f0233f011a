#pragma once

#include <string>

namespace tollivar_host {

struct RecordOptions {
  std::string address;
  unsigned port = 0;
  int rtsp_port = -1;    // -1: leave custom parameter 3 unset (driver default 554)
  int stream_mode = -1;  // -1: leave custom parameter 4 unset (driver default 4)
  std::string user;
  std::string password;
  std::string codec = "h264";
  unsigned channels = 1;
  unsigned width = 1280;
  unsigned height = 720;
  unsigned fps = 25;
  unsigned quality = 50;
  std::string transport;  // empty: no configuration file is written
  unsigned seconds = 0;
  std::string out;
  std::string library;
  std::string config_folder;  // the folder the driver reads Tollivar.xml from
  int log_level = 3;
  bool json = false;
  bool quiet = false;
};

// Runs the record command; returns the process exit status.
int Record(const RecordOptions& options);

}  // namespace tollivar_host
