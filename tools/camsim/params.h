// The camera's parameter store behind /cgi-bin/Param.cgi: list, update and the encoder settings
// that the RTSP side reads when it builds a new stream.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "options.h"

namespace camsim {

struct PictureSize {
  int width = 0;
  int height = 0;
  bool operator==(const PictureSize&) const = default;
};

// The camera's video.resolution index for a size, 0 when it has none.
int ResolutionIndexOf(PictureSize size);
// The size an index selects; indexes 1 and 3 depend on the video standard.
std::optional<PictureSize> SizeOfResolutionIndex(int index, bool ntsc);

// "a=1&b=%20x" -> {{"a","1"},{"b"," x"}}, in order. Pieces without '=' get an empty value.
std::vector<std::pair<std::string, std::string>> SplitQuery(std::string_view query);
std::string PercentDecode(std::string_view text);

struct VideoConfig {
  Codec codec = Codec::kH264;
  PictureSize size;
  int fps = 25;
  int bitrate = 4;
  int quality = 7;
  bool dual_enabled = false;
  PictureSize dual_size;
  int dual_quality = 5;
  bool operator==(const VideoConfig&) const = default;
};

struct UpdateResult {
  bool applied = false;   // every pair was valid and is now in effect
  bool video_changed = false;
  std::string body;       // "Success\r\n" or one "Error: ..." line
};

class ParamStore {
 public:
  ParamStore(const Options& options, uint16_t rtsp_port, uint16_t http_port);

  // The reply of action=list: "key = value" lines separated by CR LF.
  std::string ListText() const;
  // Applies the pairs of an action=update query (the "action" pair itself is skipped).
  // All or nothing: one bad pair leaves the store unchanged.
  UpdateResult Update(std::string_view query);
  std::optional<std::string> Get(const std::string& key) const;
  VideoConfig Video() const;

 private:
  void SetLocked(const std::string& key, const std::string& value) REQUIRES(lock_);
  std::optional<std::string> CheckPairLocked(const std::string& key, const std::string& value) const
      REQUIRES(lock_);
  // The number a video key holds (every video key is set from the start).
  int NumberLocked(const char* key) const REQUIRES(lock_);

  const bool ntsc_;
  const int max_width_;
  mutable korvane::CMutex lock_;
  std::vector<std::pair<std::string, std::string>> entries_ GUARDED_BY(lock_);  // list order
  std::map<std::string, size_t> index_ GUARDED_BY(lock_);  // key -> entries_ slot
  PictureSize main_size_ GUARDED_BY(lock_);  // may be a size without an index
  PictureSize dual_size_ GUARDED_BY(lock_);
};

}  // namespace camsim
