#include "ptz/xml_preposition_reader.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "base/file_util.h"
#include "text/text_helpers.h"

namespace {

// "20261208T093000Z": the UTC time a bad file was set aside.
std::string UtcStamp() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  char text[32];
  std::snprintf(text, sizeof(text), "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

// A whole decimal number of at most 32 bits, digits only: a sign, blanks or trailing text would
// make the entry address another camera preset than the one it was saved as.
bool ParseSlot(const std::string& text, std::uint32_t& slot) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > std::numeric_limits<std::uint32_t>::max()) return false;
  slot = static_cast<std::uint32_t>(value);
  return true;
}

// Replaces every byte sequence that is not UTF-8 with U+FFFD, as a conversion to UTF-16 would:
// the file must stay readable as UTF-8 XML whatever bytes a host hands over.
std::string ToValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    std::size_t length = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      min = 0x10000;
    }
    bool valid = length > 0 && i + length <= n;
    std::uint32_t code = length > 0 ? (c & (0x7F >> length)) : 0;
    for (std::size_t k = 1; valid && k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (p[i + k] & 0x3F);
    }
    if (valid && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

}  // namespace

CXMLPrepositionReader::CXMLPrepositionReader(std::string root_name,
                                             korvane::IDebugMessage* logger)
    : root_name_(std::move(root_name)), logger_(logger) {}

CXMLPrepositionReader::~CXMLPrepositionReader() {
  korvane::CAutoLock guard(lock_);
  document_.CloseDocument();
}

std::string CXMLPrepositionReader::ChannelPath(const std::string& root, std::uint32_t channel) {
  return root + korvane::FormatString("/%s%.2u", "PtzChannel", channel + 1);
}

std::string CXMLPrepositionReader::EntryPath(const std::string& root, std::uint32_t channel,
                                             std::uint32_t position, const char* leaf) {
  return ChannelPath(root, channel) + korvane::FormatString("/%s%.3u", "Preposition", position) +
         "/" + leaf;
}

bool CXMLPrepositionReader::OpenStorage(const std::string& file_name) {
  korvane::CAutoLock guard(lock_);
  // A host killed while it saved left its temporary file beside the intact preset file; nothing
  // else will ever take it away. Only at the first open: saves of this reader hold its lock.
  const std::string full_path = CXMLSettingsAPI::FullPath(file_name);
  const int leftovers = full_path.empty() || file_name.empty() || document_.IsOpen()
                            ? 0
                            : korvane::RemoveLeftoverTemporaryFiles(full_path);
  if (leftovers > 0 && logger_ != nullptr) {
    logger_->DebugMessage(korvane::kLogInfo,
                          "%s: removed %d temporary file(s) of an unfinished save of \"%s\"",
                          "CXMLPrepositionReader::OpenStorage", leftovers, full_path.c_str());
  }
  std::int32_t result = document_.LoadDocument(file_name);
  if (result != CXMLSettingsAPI::kOk && !document_.IsOpen()) {
    const auto failure = document_.LastLoadFailure();
    bool may_create = failure == CXMLSettingsAPI::LoadFailure::kMissing;
    if (failure == CXMLSettingsAPI::LoadFailure::kNotParsable) {
      // Set the unreadable file aside: it may be repaired by hand, and it is not ours to lose.
      const std::string path = CXMLSettingsAPI::FullPath(file_name);
      std::string aside = path + ".bad-" + UtcStamp();
      for (int n = 2; korvane::FileExists(aside) && n < 100; ++n) {
        aside = path + ".bad-" + UtcStamp() + "-" + std::to_string(n);
      }
      may_create = korvane::RenameFile(path, aside);
      if (logger_ != nullptr) {
        if (may_create) {
          logger_->DebugMessage(korvane::kLogWarning,
                                "%s: preset file \"%s\" cannot be parsed; it was kept as \"%s\" "
                                "and a new empty one is made",
                                "CXMLPrepositionReader::OpenStorage", path.c_str(),
                                aside.c_str());
        } else {
          logger_->DebugMessage(korvane::kLogError,
                                "%s: preset file \"%s\" cannot be parsed and cannot be moved "
                                "aside; it is left as it is",
                                "CXMLPrepositionReader::OpenStorage", path.c_str());
        }
      }
    }
    // A file that is there but cannot be read is never replaced: only a missing, empty or
    // set-aside one is made anew.
    if (may_create && document_.CreateDocumentFile(root_name_, file_name, true) == 1) {
      result = document_.LoadDocument(file_name);
    }
  }
  save_enabled_ = result == CXMLSettingsAPI::kOk;
  return save_enabled_;
}

bool CXMLPrepositionReader::OpenContent(std::string_view content) {
  korvane::CAutoLock guard(lock_);
  save_enabled_ = false;
  return document_.LoadDocumentContent(content) == CXMLSettingsAPI::kOk;
}

std::vector<std::uint32_t> CXMLPrepositionReader::StoredPositions(std::uint32_t channel,
                                                                  std::uint32_t maximum) {
  // EntryPath names position p "Preposition" followed by p in at least three digits ("%.3u"):
  // exactly the digit strings of three digits, or of more with no leading zero.
  constexpr std::string_view kPrefix = "Preposition";
  std::vector<std::uint32_t> positions;
  std::vector<std::string> names;
  {
    korvane::CAutoLock guard(lock_);
    names = document_.ChildNames(ChannelPath(root_name_, channel));
  }
  for (const std::string& name : names) {
    const std::string_view view(name);
    if (view.size() < kPrefix.size() + 3 || view.substr(0, kPrefix.size()) != kPrefix) continue;
    const std::string_view digits = view.substr(kPrefix.size());
    if (digits.size() > 10 || (digits.size() > 3 && digits[0] == '0')) continue;
    std::uint64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);  // digits alone
    if (error == std::errc() && stop == end && value < maximum) {
      positions.push_back(static_cast<std::uint32_t>(value));
    }
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return positions;
}

bool CXMLPrepositionReader::ReadPreposition(std::uint32_t channel, std::uint32_t position,
                                            PrepositionRecord& record, ReadStatus* status,
                                            std::string* slot_text) {
  korvane::CAutoLock guard(lock_);
  const std::string name = document_.GetValue(EntryPath(root_name_, channel, position, "Name"));
  if (name.empty()) {
    if (status != nullptr) *status = ReadStatus::kNoName;
    return false;
  }
  const std::string slot = document_.GetValue(EntryPath(root_name_, channel, position, "Slot"));
  if (slot_text != nullptr) *slot_text = slot;
  std::uint32_t value = 0;
  if (!ParseSlot(slot, value)) {
    if (status != nullptr) *status = ReadStatus::kBadSlot;
    return false;
  }
  record.name = name;
  record.slot = value;
  if (status != nullptr) *status = ReadStatus::kRead;
  return true;
}

bool CXMLPrepositionReader::WritePreposition(std::uint32_t channel, std::uint32_t position,
                                             const PrepositionRecord& record) {
  korvane::CAutoLock guard(lock_);
  const bool written =
      document_.SetValue(EntryPath(root_name_, channel, position, "Name"),
                         ToValidUtf8(record.name)) == 1 &&
      document_.SetValue(EntryPath(root_name_, channel, position, "Slot"),
                         korvane::FormatString("%u", record.slot)) == 1;
  if (!written) return false;
  return save_enabled_ ? document_.SaveDocument() : true;
}

bool CXMLPrepositionReader::DeleteChannel(std::uint32_t channel) {
  korvane::CAutoLock guard(lock_);
  const std::string path = ChannelPath(root_name_, channel);
  if (!document_.NodeExists(path) || !document_.DeleteNode(path)) return false;
  return save_enabled_ ? document_.SaveDocument() : true;
}

bool CXMLPrepositionReader::SetSaveEnabled(bool enabled) {
  korvane::CAutoLock guard(lock_);
  if (enabled == save_enabled_) return true;
  save_enabled_ = enabled;
  return enabled ? document_.SaveDocument() : true;
}

bool CXMLPrepositionReader::IsSaveEnabled() {
  korvane::CAutoLock guard(lock_);
  return save_enabled_;
}
