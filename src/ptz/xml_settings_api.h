#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/lock.h"

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

// A minimal read handle: tells whether a file exists, can be read and is not empty before a
// document is loaded from it.
class COlmerFileBase {
 public:
  COlmerFileBase() = default;
  virtual ~COlmerFileBase();
  COlmerFileBase(const COlmerFileBase&) = delete;
  COlmerFileBase& operator=(const COlmerFileBase&) = delete;

  // Opens an existing regular file for reading. False for an empty name, a missing file, or
  // something that is not a regular file.
  bool OpenForRead(const std::string& file_name);
  // Size of the open file in bytes; -1 when none is open.
  std::int64_t GetSize() const;
  // Reads the whole open file (at most max_bytes); false when it is larger or a read fails.
  bool ReadAll(std::string& content, std::size_t max_bytes);
  void Close();
  bool IsOpen() const { return file_.is_open(); }

 private:
  std::string file_name_;
  std::ifstream file_;
};

// A small settings store over one XML file in the host executable's folder. Every value is the
// "value" attribute of the element at a slash-separated path from the root element
// ("CNB/PtzChannel01/Preposition000/Name"); writes create the elements they need. The document
// stays in memory while anyone holds it open (LoadDocument .. CloseDocument); changes reach the
// file only through SaveDocument, which replaces the file atomically.
class CXMLSettingsAPI {
 public:
  static constexpr std::int32_t kOk = 0;
  static constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
  // Longest element path accepted.
  static constexpr std::size_t kMaxPathLength = 1023;
  // A preset file is a few kilobytes; anything far beyond is not one.
  static constexpr std::size_t kMaxFileBytes = 16u << 20;

  // Why the last LoadDocument failed.
  enum class LoadFailure {
    kNone,
    kNoFolder,      // the executable's folder is unknown
    kMissing,       // no file, or an empty one
    kUnreadable,    // present, but not a readable regular file of sane size
    kNotParsable,   // read, but not well-formed XML
  };

  CXMLSettingsAPI();
  virtual ~CXMLSettingsAPI();
  CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
  CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

  // 0 on success (or when already open: the count goes up), kFail otherwise.
  std::int32_t LoadDocument(const std::string& file_name);
  // As LoadDocument, from `content` instead of a file's content (LoadDocument reads the file and
  // parses it here): empty content is kMissing, content that does not parse kNotParsable. The
  // document has no file: SaveDocument fails on it.
  std::int32_t LoadDocumentContent(std::string_view content);
  // Returns the open count left; the document is dropped unsaved at 0.
  std::uint32_t CloseDocument();
  // Writes a new file holding the XML declaration and an empty root element. 1 written, 0 not
  // written. `own_setup` is accepted for symmetry with platforms that must set up an XML
  // service per thread; here there is nothing to set up.
  std::int32_t CreateDocumentFile(const std::string& root_name, const std::string& file_name,
                                  bool own_setup);

  // The "value" attribute of the element at `path`; empty when either is missing.
  std::string GetValue(const std::string& path);
  // Sets the "value" attribute, creating missing elements as last children. 1 success, 0 not.
  std::int32_t SetValue(const std::string& path, const std::string& text);
  bool NodeExists(const std::string& path);
  // The names of the children of the element at `path`, in document order (a name once for
  // every child that has it); empty when the element is missing.
  std::vector<std::string> ChildNames(const std::string& path);
  bool DeleteNode(const std::string& path);
  bool SaveDocument();

  bool IsOpen();
  std::uint32_t OpenCount();
  LoadFailure LastLoadFailure();
  // The executable's folder followed by file_name; empty when the folder is unknown.
  static std::string FullPath(const std::string& file_name);

 private:
  std::int32_t ParseLocked(std::string_view content, const std::string& path)
      REQUIRES(open_lock_);
  pugi::xml_node SelectLocked(const std::string& path) REQUIRES(node_lock_);
  bool EnsurePathLocked(const std::string& path, int depth) REQUIRES(node_lock_);

  korvane::CLock open_lock_;
  std::uint32_t open_count_ GUARDED_BY(open_lock_) = 0;
  LoadFailure last_failure_ GUARDED_BY(open_lock_) = LoadFailure::kNone;
  // Written under both locks (the open lock first), read under the node lock.
  std::unique_ptr<pugi::xml_document> document_ GUARDED_BY(node_lock_) PT_GUARDED_BY(node_lock_);
  std::string path_ GUARDED_BY(node_lock_);
  korvane::CLock node_lock_;
};
