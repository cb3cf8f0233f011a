#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/debug_message.h"
#include "base/lock.h"
#include "ptz/xml_settings_api.h"

// One preset as the file keeps it: the host's name (UTF-8) and the 0-based camera slot.
struct PrepositionRecord {
  std::string name;
  std::uint32_t slot = 0;
};

// The preset file shared by every PTZ control of a driver:
//   <root>/PtzChannel<channel + 1, 2 digits>/Preposition<position, 3 digits>/{Name,Slot}
// with each datum in a "value" attribute. Every operation takes the reader's lock.
class CXMLPrepositionReader {
 public:
  // Result of ReadPreposition beyond its boolean: why an entry was not read.
  enum class ReadStatus { kRead, kNoName, kBadSlot };

  // logger may be null; it is not owned and must outlive this object.
  explicit CXMLPrepositionReader(std::string root_name, korvane::IDebugMessage* logger = nullptr);
  virtual ~CXMLPrepositionReader();
  CXMLPrepositionReader(const CXMLPrepositionReader&) = delete;
  CXMLPrepositionReader& operator=(const CXMLPrepositionReader&) = delete;

  // Loads the file from the executable's folder, making a new empty one when it is missing or
  // empty. A file that exists but does not parse is kept under a ".bad-<UTC time>" name (and
  // logged) before the new one is made, so its content is never lost. Returns whether the file
  // is open; saving after each change is enabled exactly then.
  bool OpenStorage(const std::string& file_name);
  // Loads the document from `content` as OpenStorage loads the file's content, without the file:
  // nothing is set aside or made anew, and saving stays off (there is nowhere to save). Returns
  // whether the content was loaded.
  bool OpenContent(std::string_view content);
  // False when the entry has no name or its slot is not a whole decimal number; `status` (when
  // given) says which, and `slot_text` receives the slot text as found.
  bool ReadPreposition(std::uint32_t channel, std::uint32_t position, PrepositionRecord& record,
                       ReadStatus* status = nullptr, std::string* slot_text = nullptr);
  // The positions below `maximum` that have an entry element in the channel's element, in
  // ascending order: ReadPreposition finds no name at any other position. Lets a reader of the
  // whole list visit the entries the file has instead of every position.
  std::vector<std::uint32_t> StoredPositions(std::uint32_t channel, std::uint32_t maximum);
  // Writes Name and Slot of one entry; then saves the file when saving is enabled.
  bool WritePreposition(std::uint32_t channel, std::uint32_t position,
                        const PrepositionRecord& record);
  // Removes the channel's element (and saves when saving is enabled).
  bool DeleteChannel(std::uint32_t channel);
  // Turning saving on saves the document once; returns that save's result (true otherwise).
  bool SetSaveEnabled(bool enabled);
  bool IsSaveEnabled();

  const std::string& RootName() const { return root_name_; }

  static std::string ChannelPath(const std::string& root, std::uint32_t channel);
  static std::string EntryPath(const std::string& root, std::uint32_t channel,
                               std::uint32_t position, const char* leaf);

 private:
  const std::string root_name_;
  korvane::IDebugMessage* const logger_;
  korvane::CLock lock_;
  CXMLSettingsAPI document_ GUARDED_BY(lock_);
  bool save_enabled_ GUARDED_BY(lock_) = false;
};
