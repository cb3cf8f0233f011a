#include "camera/xml_parser.h"

#include <pugixml.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>

#include "base/file_util.h"

namespace korvane {
namespace {

// Far above any configuration an administrator writes by hand.
constexpr uintmax_t kMaxFileBytes = 16u << 20;

}  // namespace

CXMLParser::CXMLParser() = default;

CXMLParser::~CXMLParser() { Close(); }

std::string CXMLParser::MakeFullPath(const std::string& name) {
  if (name.empty()) return {};
  try {
    CMutexLock guard(lock_);
    if (directory_.empty()) {
      directory_ = GetHostExecutableFolder();
      if (directory_.empty()) return {};
    }
    std::string path = directory_;
    if (path.back() != '/') path += '/';
    return path + name;
  } catch (const std::exception&) {
    return {};
  }
}

bool CXMLParser::Open(const std::string& name) {
  const std::string path = MakeFullPath(name);
  if (path.empty() || !FileExists(path)) return false;
  CMutexLock guard(lock_);
  if (loaded_) return false;
  try {
    // Read the file ourselves: only a regular file of bounded size is parsed (a directory or
    // a device under that name would otherwise make the parser ask for absurd buffers).
    std::error_code error;
    const std::filesystem::path file_path = PathFromUtf8(path);
    if (!std::filesystem::is_regular_file(file_path, error)) return false;
    const uintmax_t size = std::filesystem::file_size(file_path, error);
    if (error || size > kMaxFileBytes) return false;
    std::ifstream file(file_path, std::ios::binary);
    if (!file) return false;
    std::string content(static_cast<size_t>(size), '\0');
    if (!file.read(content.data(), static_cast<std::streamsize>(content.size()))) return false;
    return LoadLocked(content, path);
  } catch (const std::exception&) {
    return false;
  }
}

bool CXMLParser::OpenContent(std::string_view content) {
  CMutexLock guard(lock_);
  if (loaded_) return false;
  try {
    return LoadLocked(content, std::string());
  } catch (const std::exception&) {
    return false;
  }
}

bool CXMLParser::LoadLocked(std::string_view content, const std::string& path) {
  auto document = std::make_unique<pugi::xml_document>();
  const pugi::xml_parse_result parsed = document->load_buffer(
      content.data(), content.size(), pugi::parse_default | pugi::parse_ws_pcdata);
  if (!parsed) return false;
  document_ = std::move(document);
  loaded_ = true;
  filePath_ = path;
  return true;
}

bool CXMLParser::NodeExists(const std::string& xpath) const {
  CMutexLock guard(lock_);
  if (!loaded_) return false;
  try {
    return static_cast<bool>(document_->select_node(xpath.c_str()));
  } catch (const std::exception&) {
    return false;  // an XPath that does not compile selects nothing
  }
}

std::string CXMLParser::GetNodeText(const std::string& xpath) const {
  CMutexLock guard(lock_);
  if (!loaded_) return {};
  try {
    const pugi::xpath_node found = document_->select_node(xpath.c_str());
    if (!found) return {};
    const pugi::xml_node node = found.node();
    if (!node) return found.attribute().value();  // an attribute's value is its text child
    const pugi::xml_node child = node.first_child();
    if (!child) return {};
    return child.value();
  } catch (const std::exception&) {
    return {};
  }
}

void CXMLParser::Close() {
  CMutexLock guard(lock_);
  if (!loaded_) return;
  document_.reset();
  loaded_ = false;
  filePath_.clear();
}

bool CXMLParser::IsLoaded() const {
  CMutexLock guard(lock_);
  return loaded_;
}

std::string CXMLParser::FilePath() const {
  CMutexLock guard(lock_);
  return filePath_;
}

}  // namespace korvane
