#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/mutex.h"

namespace pugi {
class xml_document;
}

namespace korvane {

// Loads one XML file from the host executable's folder and answers XPath 1.0 questions about
// it. Whitespace-only text is kept as text, so an element's first child is exactly what the
// file has there.
class CXMLParser {
 public:
  CXMLParser();
  virtual ~CXMLParser();
  CXMLParser(const CXMLParser&) = delete;
  CXMLParser& operator=(const CXMLParser&) = delete;

  // The host executable's folder followed by `name`; empty for an empty name, or when the
  // folder is unknown.
  std::string MakeFullPath(const std::string& name);
  // Loads the file `name` of the host executable's folder. False when it does not exist, is
  // not well-formed XML, or a document is already loaded.
  bool Open(const std::string& name);
  // Loads a document from `content`, parsed exactly as Open parses a file's content (Open reads
  // the file and comes here). False when it is not well-formed XML or a document is already
  // loaded. FilePath() stays empty.
  bool OpenContent(std::string_view content);
  // True when the XPath selects a node. False when nothing is loaded or the XPath is invalid.
  bool NodeExists(const std::string& xpath) const;
  // The value of the first child of the first node that the XPath selects (an element's
  // text); empty when there is none, nothing is loaded or the XPath is invalid.
  std::string GetNodeText(const std::string& xpath) const;
  // Drops the loaded document.
  void Close();

  bool IsLoaded() const;
  std::string FilePath() const;

 private:
  bool LoadLocked(std::string_view content, const std::string& path) REQUIRES(lock_);

  mutable CMutex lock_;
  std::unique_ptr<pugi::xml_document> document_ GUARDED_BY(lock_) PT_GUARDED_BY(lock_);
  bool loaded_ GUARDED_BY(lock_) = false;
  std::string directory_ GUARDED_BY(lock_);
  std::string filePath_ GUARDED_BY(lock_);
};

}  // namespace korvane
