#include "params.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

namespace camsim {
namespace {

struct IndexRow {
  int index;
  PictureSize size;
};

// video.resolution indexes that name one size whatever the video standard.
constexpr std::array<IndexRow, 6> kFixedSizes = {{
    {2, {640, 480}},
    {4, {1024, 768}},
    {5, {1280, 960}},
    {6, {1280, 720}},
    {7, {1920, 1080}},
    {9, {1280, 1024}},
}};

const std::set<std::string>& VideoKeys() {
  static const std::set<std::string> keys = {
      "video.codec",        "video.resolution",    "video.framerate", "video.bitrate",
      "video.quality",      "video.dualcodecflag", "video.dualcodec", "video.dualresolution",
      "video.dualquality"};
  return keys;
}

std::optional<int> ToInt(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

bool ValidKey(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
  });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int ResolutionIndexOf(PictureSize size) {
  if (size.width == 352) return 1;
  if (size.width == 720) return 3;
  if (size == PictureSize{320, 240}) return 1;
  for (const auto& row : kFixedSizes) {
    if (row.size == size) return row.index;
  }
  return 0;
}

std::optional<PictureSize> SizeOfResolutionIndex(int index, bool ntsc) {
  if (index == 1) return PictureSize{352, ntsc ? 240 : 288};
  if (index == 3) return PictureSize{720, ntsc ? 480 : 576};
  for (const auto& row : kFixedSizes) {
    if (row.index == index) return row.size;
  }
  return std::nullopt;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else if (text[i] == '+') {
      out.push_back(' ');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> SplitQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    const auto eq = piece.find('=');
    if (eq == std::string_view::npos) {
      pairs.emplace_back(PercentDecode(piece), std::string());
    } else {
      pairs.emplace_back(PercentDecode(piece.substr(0, eq)), PercentDecode(piece.substr(eq + 1)));
    }
  }
  return pairs;
}

ParamStore::ParamStore(const Options& o, uint16_t rtsp_port, uint16_t http_port)
    : ntsc_(o.ntsc), max_width_(o.max_width), main_size_{o.width, o.height},
      dual_size_(*SizeOfResolutionIndex(1, o.ntsc)) {
  const std::string standard = o.ntsc ? "1" : "0";
  const std::vector<std::pair<std::string, std::string>> initial = {
      {"sysinfo.modelname", o.model},
      {"sysinfo.platform", o.platform},
      {"sysinfo.serialno", "CS0001729"},
      {"firmware.boot", "1.02"},
      {"firmware.kern", "2.6.18"},
      {"firmware.root", "3.1.7"},
      {"firmware.locl", "3.1.7-sim"},
      {"firmware.view", "1.4.0"},
      {"network.ethaddress", o.mac},
      {"network.ipaddress", o.address},
      {"network.httpport", std::to_string(http_port)},
      {"rtp.rtspport", std::to_string(rtsp_port)},
      {"condition.outputformat", standard},
      {"condition.inputformat", standard},
      {"ptzcfg.cameraid", o.ptz ? "1" : ""},
      {"video.codec", std::to_string(static_cast<int>(o.codec))},
      {"video.resolution", std::to_string(ResolutionIndexOf(main_size_))},
      {"video.framerate", std::to_string(o.fps)},
      {"video.bitrate", std::to_string(o.bitrate)},
      {"video.quality", std::to_string(o.quality)},
      {"video.dualcodecflag", "0"},
      {"video.dualcodec", "1"},
      {"video.dualresolution", "1"},
      {"video.dualquality", "5"},
      {"alarm.inputcount", "1"},
      {"alarm.outputcount", "1"},
      {"alarm.control", "0"},
      {"alarm.signaltype", "1"},
  };
  korvane::CMutexLock guard(lock_);
  for (const auto& [key, value] : initial) SetLocked(key, value);
  if (!o.ctype.empty()) SetLocked("ctype", o.ctype);
}

void ParamStore::SetLocked(const std::string& key, const std::string& value) {
  auto it = index_.find(key);
  if (it == index_.end()) {
    index_.emplace(key, entries_.size());
    entries_.emplace_back(key, value);
  } else {
    entries_[it->second].second = value;
  }
}

std::string ParamStore::ListText() const {
  korvane::CMutexLock guard(lock_);
  std::string text;
  for (const auto& [key, value] : entries_) text += key + " = " + value + "\r\n";
  return text;
}

std::optional<std::string> ParamStore::Get(const std::string& key) const {
  korvane::CMutexLock guard(lock_);
  auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].second;
}

std::optional<std::string> ParamStore::CheckPairLocked(const std::string& key,
                                                       const std::string& value) const {
  if (!ValidKey(key)) return "bad key";
  // A line break would forge keys in the line-based list reply.
  if (value.find_first_of("\r\n") != std::string::npos) return "bad value";
  if (key.starts_with("sysinfo.") || key.starts_with("firmware.")) return "read only";
  if (!VideoKeys().contains(key)) return std::nullopt;
  const auto n = ToInt(value);
  if (!n) return "not a number";
  auto range = [&](int lo, int hi, const char* why) -> std::optional<std::string> {
    if (*n >= lo && *n <= hi) return std::nullopt;
    return why;
  };
  if (key == "video.codec" || key == "video.dualcodec") return range(1, 3, "no such codec");
  if (key == "video.framerate") return range(1, 60, "frame rate out of range");
  if (key == "video.bitrate") return range(1, 100, "bitrate out of range");
  if (key == "video.quality" || key == "video.dualquality") return range(1, 10, "quality out of range");
  if (key == "video.dualcodecflag") return range(0, 1, "flag out of range");
  // video.resolution, video.dualresolution
  const auto size = SizeOfResolutionIndex(*n, ntsc_);
  if (!size || size->width > max_width_) return "resolution not supported";
  return std::nullopt;
}

UpdateResult ParamStore::Update(std::string_view query) {
  UpdateResult result;
  auto pairs = SplitQuery(query);
  std::erase_if(pairs, [](const auto& p) { return p.first == "action"; });
  korvane::CMutexLock guard(lock_);
  for (const auto& [key, value] : pairs) {
    if (auto why = CheckPairLocked(key, value)) {
      result.body = "Error: " + key + " " + *why + "\r\n";
      return result;
    }
  }
  if (pairs.empty()) {
    result.body = "Error: nothing to update\r\n";
    return result;
  }
  for (const auto& [key, value] : pairs) {
    if (VideoKeys().contains(key)) {
      result.video_changed = true;
      const int n = *ToInt(value);
      if (key == "video.resolution") main_size_ = *SizeOfResolutionIndex(n, ntsc_);
      if (key == "video.dualresolution") dual_size_ = *SizeOfResolutionIndex(n, ntsc_);
      SetLocked(key, std::to_string(n));  // canonical form: "05" reads back as "5"
    } else {
      SetLocked(key, value);
    }
  }
  result.applied = true;
  result.body = "Success\r\n";
  return result;
}

int ParamStore::NumberLocked(const char* key) const {
  return *ToInt(entries_[index_.at(key)].second);
}

VideoConfig ParamStore::Video() const {
  korvane::CMutexLock guard(lock_);
  VideoConfig v;
  v.codec = static_cast<Codec>(NumberLocked("video.codec"));
  v.size = main_size_;
  v.fps = NumberLocked("video.framerate");
  v.bitrate = NumberLocked("video.bitrate");
  v.quality = NumberLocked("video.quality");
  v.dual_enabled = NumberLocked("video.dualcodecflag") != 0;
  v.dual_size = dual_size_;
  v.dual_quality = NumberLocked("video.dualquality");
  return v;
}

}  // namespace camsim
