// Feeds RTP captured from GStreamer's and FFmpeg's packetizers through the depacketizers and
// lets ffprobe (and ffmpeg) judge what comes out: as many frames as were delivered, the encoder's
// picture size and codec, not a single decoding error; also after packets were dropped,
// swapped and duplicated.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/testing/media_test_support.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "text/text_helpers.h"

namespace korvane {
namespace {

using testing::DeliveredFrame;
using testing::Harness;

constexpr const char* kFfprobe = "/usr/bin/ffprobe";
constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";

enum class Codec { kH264, kJpeg, kMpeg4 };

struct Fixture {
  const char* name;
  Codec codec;
  uint32_t width;
  uint32_t height;
  bool sprop_from_sdp;  // parameter sets only in the session description
  uint16_t restart_interval = 0;  // rewrite as JPEG type 64 + type with this interval
};

// FFmpeg 5.1's RTP muxer sends slice-threaded MJPEG (RSTn markers every MCU row) as type 1,
// dropping the encoder's restart interval. Rewritten as RFC 2435 intends (type 65, restart
// marker header in every fragment), it is a real type-65 stream.
std::vector<std::vector<uint8_t>> AsRestartType(const std::vector<std::vector<uint8_t>>& packets,
                                                uint16_t interval) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& p : packets) {
    std::vector<uint8_t> q(p.begin(), p.begin() + 20);  // RTP header + main JPEG header
    q[12 + 4] = static_cast<uint8_t>(q[12 + 4] | 64);   // type
    // Restart marker header: interval, F = L = 1, count 0x3FFF (RFC 2435 3.1.7).
    const uint8_t restart[4] = {static_cast<uint8_t>(interval >> 8),
                                static_cast<uint8_t>(interval), 0xFF, 0xFF};
    q.insert(q.end(), restart, restart + 4);
    q.insert(q.end(), p.begin() + 20, p.end());
    out.push_back(std::move(q));
  }
  return out;
}

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

// The packets without the parameter sets sent in-band, renumbered: a camera that announces
// them only in its session description.
std::vector<std::vector<uint8_t>> WithoutInBandParameterSets(
    const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<std::vector<uint8_t>> out;
  uint16_t sequence = 0;
  bool first = true;
  for (const auto& p : packets) {
    const uint8_t type = p.size() > 12 ? (p[12] & 0x1F) : 0;
    if (type == 7 || type == 8) continue;
    out.push_back(p);
    if (first) sequence = static_cast<uint16_t>((p[2] << 8) | p[3]);
    first = false;
    out.back()[2] = static_cast<uint8_t>(sequence >> 8);
    out.back()[3] = static_cast<uint8_t>(sequence);
    ++sequence;
  }
  return out;
}

const Fixture kFixtures[] = {
    {"gst_h264_sdp_352x288", Codec::kH264, 352, 288, true},
    {"gst_h264_stapa_1280x720", Codec::kH264, 1280, 720, false},
    {"gst_h264_inband_1920x1080", Codec::kH264, 1920, 1080, false},
    {"ff_h264_1920x1080", Codec::kH264, 1920, 1080, false},
    {"ff_h264_interlaced_720x576", Codec::kH264, 720, 576, false},
    {"gst_jpeg_640x480", Codec::kJpeg, 640, 480, false},
    {"gst_jpeg_1920x1080", Codec::kJpeg, 1920, 1080, false},
    {"gst_jpeg422_704x576", Codec::kJpeg, 704, 576, false},
    {"ff_mjpeg_352x288", Codec::kJpeg, 352, 288, false},
    {"ff_mjpeg_restart_1280x720", Codec::kJpeg, 1280, 720, false, 1280 / 16},
    {"gst_mpeg4_704x576", Codec::kMpeg4, 704, 576, false},
    {"ff_mpeg4_1280x720", Codec::kMpeg4, 1280, 720, false},
};

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  pclose(pipe);
  return output;
}

std::vector<uint8_t> DecodeBase64(const std::string& text) {
  std::vector<uint8_t> out(text.size());
  size_t length = out.size();
  if (!Base64Decode(text.c_str(), text.size(), out.data(), length)) return {};
  out.resize(length);
  return out;
}

// sprop-parameter-sets from the caps GStreamer printed (its escapes removed).
DecoderConfig SpropFromSdp(const std::string& fixture) {
  std::string text = testing::ReadTextFile(testing::TestDataPath(fixture + ".sdp"));
  std::erase(text, '\\');
  DecoderConfig config;
  const std::string key = "sprop-parameter-sets=(string)\"";
  const size_t start = text.find(key);
  if (start == std::string::npos) return config;
  const size_t begin = start + key.size();
  const size_t end = text.find('"', begin);
  const std::string value = text.substr(begin, end - begin);
  const size_t comma = value.find(',');
  config.Sps = DecodeBase64(value.substr(0, comma));
  config.Pps = DecodeBase64(value.substr(comma + 1));
  return config;
}

std::unique_ptr<CRTPMediaParser> MakeParser(const Fixture& fixture, IDriver* driver) {
  switch (fixture.codec) {
    case Codec::kH264: return std::make_unique<CH264RTPMediaParser>(driver);
    case Codec::kJpeg: return std::make_unique<CJpegRTPMediaParser>(driver);
    case Codec::kMpeg4: return std::make_unique<CMpeg4RTPMediaParser>(driver);
  }
  return nullptr;
}

bool IsKey(const Fixture& fixture, uint32_t fourcc) {
  switch (fixture.codec) {
    case Codec::kH264: return fourcc == ipcapture::kFourCCH264;
    case Codec::kJpeg: return fourcc == ipcapture::kFourCCJpeg;
    case Codec::kMpeg4: return fourcc == ipcapture::kFourCCDivx;
  }
  return false;
}

struct RunResult {
  std::vector<DeliveredFrame> frames;
  std::vector<size_t> delivered_at;  // index of the packet that completed each frame
};

RunResult Depacketize(const Fixture& fixture, const std::vector<std::vector<uint8_t>>& packets) {
  Harness h;
  auto parser = MakeParser(fixture, &h.driver);
  parser->SetClient(&h.client);
  if (fixture.sprop_from_sdp) {
    const DecoderConfig config = SpropFromSdp(fixture.name);
    parser->SetDecoderConfig(&config);
  }
  RunResult result;
  for (size_t i = 0; i < packets.size(); ++i) {
    CRTPPacket packet;
    if (!packet.Parse(packets[i])) continue;
    const size_t before = h.client.frames.size();
    parser->ParsePacket(&packet);
    for (size_t k = before; k < h.client.frames.size(); ++k) result.delivered_at.push_back(i);
  }
  result.frames = std::move(h.client.frames);
  EXPECT_EQ(h.factory.created, h.factory.released);
  EXPECT_EQ(h.factory.unknown_releases, 0);
  return result;
}

struct ProbeResult {
  std::string codec;
  uint32_t width = 0;
  uint32_t height = 0;
  size_t frames = 0;
  std::string decode_errors;
  std::string ffmpeg_errors;  // only when asked for
};

ProbeResult Probe(const Fixture& fixture, const std::vector<DeliveredFrame>& frames,
                  const std::string& tag, bool with_ffmpeg = false) {
  const char* format = fixture.codec == Codec::kH264   ? "h264"
                       : fixture.codec == Codec::kJpeg ? "mjpeg"
                                                       : "m4v";
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("tollivar_media_" + std::string(fixture.name) + "_" + tag + "." +
                             format)).string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& f : frames) {
      out.write(reinterpret_cast<const char*>(f.data.data()),
                static_cast<std::streamsize>(f.data.size()));
    }
  }
  // -count_frames decodes every frame; -v error reports each decoding error on stderr.
  const std::string errors_path = path + ".errors";
  const std::string fields = RunCommand(
      std::string(kFfprobe) + " -v error -f " + format +
      " -count_frames -select_streams v:0 -show_entries "
      "stream=codec_name,width,height,nb_read_frames -of default=noprint_wrappers=1 '" + path +
      "' 2>'" + errors_path + "'");
  ProbeResult probe;
  for (const std::string key : {"codec_name=", "width=", "height=", "nb_read_frames="}) {
    const size_t at = fields.find(key);
    if (at == std::string::npos) continue;
    const std::string value = fields.substr(at + key.size(), fields.find('\n', at) - at - key.size());
    if (key == "codec_name=") probe.codec = value;
    if (key == "width=") probe.width = static_cast<uint32_t>(std::stoul(value));
    if (key == "height=") probe.height = static_cast<uint32_t>(std::stoul(value));
    if (key == "nb_read_frames=") probe.frames = std::stoul(value);
  }
  probe.decode_errors = testing::ReadTextFile(errors_path);
  if (with_ffmpeg && std::filesystem::exists(kFfmpeg)) {
    probe.ffmpeg_errors = RunCommand(std::string(kFfmpeg) + " -nostdin -v error -f " + format +
                                     " -i '" + path + "' -f null - 2>&1");
  }
  std::filesystem::remove(errors_path);
  std::filesystem::remove(path);
  return probe;
}

const char* ExpectedCodecName(Codec codec) {
  switch (codec) {
    case Codec::kH264: return "h264";
    case Codec::kJpeg: return "mjpeg";
    case Codec::kMpeg4: return "mpeg4";
  }
  return "";
}

size_t CountMarkers(const std::vector<std::vector<uint8_t>>& packets) {
  size_t markers = 0;
  for (const auto& p : packets) markers += (p.size() > 1 && (p[1] & 0x80)) ? 1 : 0;
  return markers;
}

// Key pictures the packetizer sent (frames end at the marker bit): H.264 frames with an IDR
// slice, MPEG-4 frames with an I-VOP, every JPEG picture.
size_t CountKeyPictures(Codec codec, const std::vector<std::vector<uint8_t>>& packets) {
  size_t keys = 0;
  bool key = false;
  for (const auto& p : packets) {
    const std::span<const uint8_t> payload(p.data() + 12, p.size() - 12);
    if (codec == Codec::kH264 && !payload.empty()) {
      const uint8_t type = payload[0] & 0x1F;
      if (type == 5 || (type == 28 && payload.size() > 1 && (payload[1] & 0x1F) == 5)) key = true;
      if (type == 24) {
        for (size_t i = 1; i + 2 < payload.size();) {
          const size_t n = (size_t{payload[i]} << 8) | payload[i + 1];
          if ((payload[i + 2] & 0x1F) == 5) key = true;
          i += 2 + n;
        }
      }
    }
    if (codec == Codec::kMpeg4) {
      for (size_t i = 0; i + 4 < payload.size(); ++i) {
        if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1 &&
            payload[i + 3] == 0xB6 && (payload[i + 4] >> 6) == 0) {
          key = true;
        }
      }
    }
    if (codec == Codec::kJpeg) key = true;
    if (p[1] & 0x80) {
      keys += key ? 1 : 0;
      key = false;
    }
  }
  return keys;
}

class FixtureDecodeTest : public ::testing::TestWithParam<Fixture> {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kFfprobe)) {
      GTEST_SKIP() << "ffprobe not installed";
    }
    packets_ = testing::ReadFixture(std::string(GetParam().name) + ".rtp");
    if (GetParam().sprop_from_sdp) packets_ = WithoutInBandParameterSets(packets_);
    if (GetParam().restart_interval != 0) {
      packets_ = AsRestartType(packets_, GetParam().restart_interval);
    }
    ASSERT_GT(packets_.size(), 20u) << "fixture missing: " << GetParam().name;
  }
  std::vector<std::vector<uint8_t>> packets_;
};

TEST_P(FixtureDecodeTest, EveryFrameDecodesCleanly) {
  const Fixture& fixture = GetParam();
  const RunResult run = Depacketize(fixture, packets_);
  const size_t markers = CountMarkers(packets_);
  ASSERT_FALSE(run.frames.empty());
  // Only frames in front of the first key frame may be missing.
  EXPECT_GE(run.frames.size() + 2, markers);
  EXPECT_TRUE(IsKey(fixture, run.frames.front().fourcc));
  size_t keys = 0;
  for (const auto& f : run.frames) {
    keys += IsKey(fixture, f.fourcc) ? 1 : 0;
    switch (fixture.codec) {
      case Codec::kH264:
        EXPECT_TRUE(f.fourcc == ipcapture::kFourCCH264 || f.fourcc == ipcapture::kFourCCI264);
        break;
      case Codec::kJpeg: EXPECT_EQ(f.fourcc, ipcapture::kFourCCJpeg); break;
      case Codec::kMpeg4:
        EXPECT_TRUE(f.fourcc == ipcapture::kFourCCDivx || f.fourcc == ipcapture::kFourCCDivi);
        break;
    }
    EXPECT_EQ(f.width, fixture.width);
    EXPECT_EQ(f.height, fixture.height);
    EXPECT_EQ(f.size_class, CRTPMediaParser::SizeClass(fixture.width, fixture.height));
    EXPECT_EQ(f.data_size, f.data.size());
    EXPECT_LE(f.data_size, f.capacity);
    EXPECT_TRUE(f.time_set);
  }
  EXPECT_EQ(keys, CountKeyPictures(fixture.codec, packets_));
  const ProbeResult probe = Probe(fixture, run.frames, "clean", /*with_ffmpeg=*/true);
  EXPECT_EQ(probe.codec, ExpectedCodecName(fixture.codec));
  EXPECT_EQ(probe.width, fixture.width);
  EXPECT_EQ(probe.height, fixture.height);
  EXPECT_EQ(probe.frames, run.frames.size());
  EXPECT_EQ(probe.decode_errors, "");
  EXPECT_EQ(probe.ffmpeg_errors, "");
}

// A damaged copy of the fixture: each damage hits the packet at `index`.
enum class Damage { kDrop, kSwap, kDuplicate };

std::vector<std::vector<uint8_t>> Apply(std::vector<std::vector<uint8_t>> packets, Damage damage,
                                        const std::vector<size_t>& at) {
  // From the back, so that earlier indexes stay valid.
  for (auto it = at.rbegin(); it != at.rend(); ++it) {
    const size_t i = *it;
    if (i + 1 >= packets.size()) continue;
    switch (damage) {
      case Damage::kDrop: packets.erase(packets.begin() + static_cast<std::ptrdiff_t>(i)); break;
      case Damage::kSwap: std::swap(packets[i], packets[i + 1]); break;
      case Damage::kDuplicate:
        packets.insert(packets.begin() + static_cast<std::ptrdiff_t>(i), packets[i]);
        break;
    }
  }
  return packets;
}

TEST_P(FixtureDecodeTest, DamagedStreamsNeverDeliverABrokenFrame) {
  const Fixture& fixture = GetParam();
  // Damage spread over the stream, away from its last third so delivery can resume.
  const size_t n = packets_.size();
  const std::vector<size_t> at = {n / 9, n / 4 + 1, n / 2 - 3};
  for (const Damage damage : {Damage::kDrop, Damage::kSwap, Damage::kDuplicate}) {
    SCOPED_TRACE(::testing::Message() << "damage " << static_cast<int>(damage));
    const auto damaged = Apply(packets_, damage, at);
    const RunResult run = Depacketize(fixture, damaged);
    ASSERT_FALSE(run.frames.empty());
    // Delivery goes on after the last damage, and the first frame after it is a key frame
    // (for JPEG: a whole picture; every JPEG is one).
    const size_t last_damage = at.back() + 2;
    size_t after = 0;
    bool first_after = true;
    for (size_t k = 0; k < run.frames.size(); ++k) {
      if (run.delivered_at[k] <= last_damage) continue;
      ++after;
      if (first_after) {
        EXPECT_TRUE(IsKey(fixture, run.frames[k].fourcc));
      }
      first_after = false;
    }
    EXPECT_GT(after, 0u);
    // Fewer frames than the clean stream: the damaged ones were held back.
    EXPECT_LT(run.frames.size(), CountMarkers(packets_));
    const ProbeResult probe = Probe(fixture, run.frames, "damaged");
    EXPECT_EQ(probe.frames, run.frames.size());
    EXPECT_EQ(probe.decode_errors, "");
    EXPECT_EQ(probe.width, fixture.width);
    EXPECT_EQ(probe.height, fixture.height);
  }
}

INSTANTIATE_TEST_SUITE_P(Packetizers, FixtureDecodeTest, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvane
