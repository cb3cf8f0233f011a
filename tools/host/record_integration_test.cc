// tollivar-host record against cnb-camsim: playable .mkv/.mp4 recordings, the raw stream on
// standard output, and the diagnosis when no frame arrives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "camsim_child.h"

namespace {

using korvane::testing::CamsimChild;
using korvane::testing::JsonValue;

struct Output {
  int status = -1;
  std::string text;
};

// Runs a shell command with a bounded run time; its standard output.
Output RunShell(const std::string& command) {
  Output out;
  std::FILE* pipe = popen(("timeout 30 " + command).c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof(buf), pipe)) > 0;) out.text.append(buf, n);
  const int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string Host() { return TOLLIVAR_HOST_BINARY; }

// "key=value" lines of ffprobe's flat output.
std::string Field(const std::string& text, const std::string& key) {
  const size_t at = text.find(key + "=");
  if (at == std::string::npos) return {};
  const size_t begin = at + key.size() + 1;
  return text.substr(begin, text.find('\n', begin) - begin);
}

class RecordTest : public ::testing::Test {
 public:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("host-record-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  static std::string Record(const CamsimChild& camsim, const std::string& password,
                     const std::string& out, int seconds, const std::string& extra = "") {
    return Host() + " record --address 127.0.0.1 --port " +
           std::to_string(camsim.HttpPort()) + " --rtsp-port " +
           std::to_string(camsim.RtspPort()) + " --user cam --password " + password +
           " --codec h264 --width 640 --height 480 --fps 25 --transport tcp --quiet --seconds " +
           std::to_string(seconds) + " --out " + out + " " + extra;
  }

  static bool StartCamera(CamsimChild* camsim, std::string* error) {
    return camsim->Start({"--auth", "digest", "--user", "cam", "--password", "pw", "--fps", "25",
                          "--width", "640", "--height", "480"},
                         error);
  }

 protected:
  std::filesystem::path folder_;
};

// Plays at the camera's 25 fps: the rate ffprobe reads from the file and a duration of one
// frame interval per frame (within 4 %); seeks.
void ExpectPlayableRecording(const std::filesystem::path& folder, const char* name) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(RecordTest::StartCamera(&camsim, &error)) << error;
  const std::string file = (folder / name).string();
  const Output rec = RunShell(RecordTest::Record(camsim, "pw", file, 3, "--json"));
  ASSERT_EQ(rec.status, 0) << name << ": " << rec.text;
  EXPECT_GT(std::atoi(JsonValue(rec.text, "total_frames").c_str()), 0) << rec.text;
  const Output probe = RunShell(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=codec_name,r_frame_rate,avg_frame_rate,nb_read_frames:format=duration "
      "-of default=noprint_wrappers=1 " + file);
  ASSERT_EQ(probe.status, 0) << probe.text;
  EXPECT_EQ(Field(probe.text, "codec_name"), "h264");
  EXPECT_EQ(Field(probe.text, "r_frame_rate"), "25/1");
  EXPECT_EQ(Field(probe.text, "avg_frame_rate"), "25/1");
  const int frames = std::atoi(Field(probe.text, "nb_read_frames").c_str());
  const double duration = std::atof(Field(probe.text, "duration").c_str());
  ASSERT_GT(frames, 25) << probe.text;
  EXPECT_NEAR(duration, frames / 25.0, 0.04 * frames / 25.0);
  EXPECT_EQ(RunShell("ffmpeg -v error -ss 1 -i " + file + " -frames:v 3 -f null - 2>&1").text, "");
}

TEST_F(RecordTest, MkvPlaysAtTheCameraRate) { ExpectPlayableRecording(folder_, "rec.mkv"); }

TEST_F(RecordTest, Mp4PlaysAtTheCameraRate) { ExpectPlayableRecording(folder_, "rec.mp4"); }

// The raw stream on standard output, the summary on standard error.
TEST_F(RecordTest, RawStreamOnStandardOutput) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(StartCamera(&camsim, &error)) << error;
  const Output piped = RunShell(Record(camsim, "pw", "-", 2, "--json 2>/dev/null") +
                           " | ffprobe -v error -count_frames -show_entries "
                           "stream=codec_name,nb_read_frames -of default=noprint_wrappers=1 -");
  EXPECT_EQ(Field(piped.text, "codec_name"), "h264") << piped.text;
  EXPECT_GT(std::atoi(Field(piped.text, "nb_read_frames").c_str()), 0) << piped.text;
}

TEST_F(RecordTest, WrongPasswordIsDiagnosedAsRefusedLogin) {
  CamsimChild camsim;
  std::string error;
  ASSERT_TRUE(camsim.Start({"--auth", "digest", "--user", "cam", "--password", "pw"}, &error))
      << error;
  const Output rec =
      RunShell(Record(camsim, "wrong", (folder_ / "w.mkv").string(), 1, "--json 2>&1"));
  EXPECT_EQ(rec.status, 1) << rec.text;
  EXPECT_NE(rec.text.find("http-login failed: 127.0.0.1:" + std::to_string(camsim.HttpPort()) +
                          " refused the user name and password (401, offers Digest)"),
            std::string::npos)
      << rec.text;
  EXPECT_NE(rec.text.find("\"diagnosis\":{\"step\":\"http-login\""), std::string::npos)
      << rec.text;
  EXPECT_EQ(rec.text.find("wrong"), std::string::npos) << "the password is printed";
}

// Each fault of the camera reaches the operator three ways in one run: one warning line of the
// driver, the channel's state text (the diagnosis' step and problem are that text), and
// tollivar-host's message with what to do.
TEST_F(RecordTest, FailureReasonReachesLogStateAndMessage) {
  struct Case {
    const char* name;
    std::vector<std::string> camera;  // camsim's switches
    std::string record;               // tollivar-host's options beyond the address
    bool pause_media;
    const char* step;
    std::string problem_has;  // "{rtsp}" and "{http}" stand for camsim's ports
  };
  const std::vector<Case> cases = {
      {"WrongPassword", {"--auth", "digest", "--user", "cam", "--password", "pw"},
       "--user cam --password bad --seconds 2", false, "http-login",
       "{http} refused the user name and password (401, offers Digest)"},
      {"ClosedRtspPort", {}, "--rtsp-port 9 --seconds 4", false, "rtsp-connect",
       "rtsp://127.0.0.1:9/: connection refused"},
      // The simulator serves the MJPEG ports of stream modes 1 and 2 only with --mjpeg-ports.
      {"MjpegMode1StreamMissing", {}, "--codec mjpeg --stream-mode 1 --seconds 4", false,
       "rtsp-connect", "rtsp://127.0.0.1:665/: connection refused"},
      {"MjpegMode2StreamMissing", {}, "--codec mjpeg --stream-mode 2 --seconds 4", false,
       "rtsp-connect", "rtsp://127.0.0.1:8554/mjpeg: connection refused"},
      {"RefusedEncoderUpdate", {"--max-width", "320", "--width", "320", "--height", "240"},
       "--codec mjpeg --width 640 --height 480 --seconds 4", false, "rtsp-stream",
       "rtsp://{rtsp}/ offers \"H264\" video, the channel reads JPEG; the camera "
       "refused the encoder update (encoder-update, reply \"Error: video.resolution"},
      // With its media paused the simulator leaves DESCRIBE unanswered (the no-frame wait of a
      // stream that plays is the capture loop's test).
      {"NoMedia", {"--width", "320", "--height", "240"}, "--transport tcp --seconds 7", true,
       "rtsp-describe", "DESCRIBE rtsp://{rtsp}/ got no answer within 5000 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CamsimChild camsim;
    std::string error;
    ASSERT_TRUE(camsim.Start(c.camera, &error)) << error;
    if (c.pause_media) RunShell("curl -s '" + camsim.HttpUrl("/camsim/control?media=pause") + "'");
    std::string problem = c.problem_has;
    for (const auto& [key, port] : {std::pair{"{rtsp}", camsim.RtspPort()},
                                    std::pair{"{http}", camsim.HttpPort()}}) {
      const size_t at = problem.find(key);
      if (at != std::string::npos) problem.replace(at, 6, "127.0.0.1:" + std::to_string(port));
    }
    std::string options = c.record;
    if (options.find("--rtsp-port") == std::string::npos) {
      options += " --rtsp-port " + std::to_string(camsim.RtspPort());
    }
    const Output rec = RunShell(Host() + " record --address 127.0.0.1 --port " +
                                std::to_string(camsim.HttpPort()) + " --quiet --json --out " +
                                (folder_ / "f.h264").string() + " " + options + " 2>&1");
    EXPECT_EQ(rec.status, 1) << rec.text;
    const std::string reason = std::string(c.step) + ": ";
    const std::string line = "[warning] korvane::CBaseCameraChannel::ReportFailure: Camera "
                             "127.0.0.1 gives no video: " + reason;
    const size_t warning = rec.text.find(line);
    EXPECT_NE(warning, std::string::npos) << rec.text;
    EXPECT_EQ(rec.text.find("gives no video", warning + line.size()), std::string::npos)
        << "one line per reason, not per retry: " << rec.text;
    EXPECT_NE(rec.text.find(std::string(c.step) + " failed: "), std::string::npos) << rec.text;
    EXPECT_NE(rec.text.find(problem), std::string::npos) << problem << "\n" << rec.text;
    EXPECT_NE(rec.text.find("\"diagnosis\":{\"step\":\"" + std::string(c.step) + "\""),
              std::string::npos)
        << rec.text;
  }
}

TEST_F(RecordTest, ClosedHttpPortIsDiagnosed) {
  // A port that was free a moment ago: bound, then closed again.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  close(fd);
  const std::string port = std::to_string(ntohs(addr.sin_port));

  const Output rec = RunShell(Host() + " record --address 127.0.0.1 --port " + port +
                         " --seconds 1 --quiet --out " + (folder_ / "c.h264").string() +
                         " --json 2>&1");
  EXPECT_EQ(rec.status, 1) << rec.text;
  EXPECT_NE(rec.text.find("http-connect failed: 127.0.0.1:" + port + ": connection refused"),
            std::string::npos)
      << rec.text;
  EXPECT_NE(rec.text.find("what to do: check --port"), std::string::npos) << rec.text;
}

}  // namespace
