#include "ptz/xml_settings_api.h"

#include <pugixml.hpp>

#include <filesystem>
#include <new>
#include <sstream>
#include <string_view>

#include "base/file_util.h"

namespace {

constexpr char kValueAttribute[] = "value";

// Keeps whitespace between elements as it was, so that a hand-edited file keeps its layout.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_ws_pcdata;

// An element name this store creates: no empty step, nothing that would make the step a
// condition or another kind of path ("[", "=", quotes), no markup characters or whitespace.
bool IsPlainStep(std::string_view step) {
  if (step.empty()) return false;
  for (const char c : step) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || c == '[' || c == ']' || c == '=' || c == '"' || c == '\'' || c == '<' ||
        c == '>' || c == '&' || c == '/' || c == '@' || u == 0x7F) {
      return false;
    }
  }
  return !(step[0] >= '0' && step[0] <= '9') && step[0] != '-' && step[0] != '.';
}

std::string Serialize(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, "", pugi::format_raw, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

COlmerFileBase::~COlmerFileBase() { Close(); }

bool COlmerFileBase::OpenForRead(const std::string& file_name) {
  Close();
  if (file_name.empty()) return false;
  file_name_ = file_name;
  std::error_code error;
  if (!std::filesystem::is_regular_file(korvane::PathFromUtf8(file_name), error)) return false;
  file_.open(korvane::PathFromUtf8(file_name), std::ios::binary);
  return file_.is_open();
}

std::int64_t COlmerFileBase::GetSize() const {
  if (!file_.is_open()) return -1;
  std::error_code error;
  const auto size = std::filesystem::file_size(korvane::PathFromUtf8(file_name_), error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

bool COlmerFileBase::ReadAll(std::string& content, std::size_t max_bytes) {
  content.clear();
  if (!file_.is_open()) return false;
  char buffer[8192];
  while (true) {
    file_.read(buffer, sizeof(buffer));
    const auto n = static_cast<std::size_t>(file_.gcount());
    if (n > 0) {
      if (content.size() + n > max_bytes) return false;
      content.append(buffer, n);
    }
    if (n < sizeof(buffer)) return file_.eof() && !file_.bad();
  }
}

void COlmerFileBase::Close() {
  if (file_.is_open()) file_.close();
  file_.clear();
}

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
  CloseDocument();
  korvane::CAutoLock open_guard(open_lock_);
  korvane::CAutoLock node_guard(node_lock_);
  document_.reset();
}

std::string CXMLSettingsAPI::FullPath(const std::string& file_name) {
  const std::string folder = korvane::GetHostExecutableFolder();
  if (folder.empty()) return {};
  return folder + file_name;
}

std::int32_t CXMLSettingsAPI::LoadDocument(const std::string& file_name) {
  korvane::CAutoLock guard(open_lock_);
  if (open_count_ > 0) {
    ++open_count_;
    return kOk;
  }
  try {
    const std::string path = FullPath(file_name);
    if (path.empty() || file_name.empty()) {
      last_failure_ = LoadFailure::kNoFolder;
      return kFail;
    }
    std::error_code error;
    const bool exists = std::filesystem::exists(korvane::PathFromUtf8(path), error);
    COlmerFileBase file;
    if (!file.OpenForRead(path)) {
      last_failure_ = exists || (error && error != std::errc::no_such_file_or_directory)
                          ? LoadFailure::kUnreadable
                          : LoadFailure::kMissing;
      return kFail;
    }
    if (file.GetSize() == 0) {
      last_failure_ = LoadFailure::kMissing;
      return kFail;
    }
    std::string content;
    if (!file.ReadAll(content, kMaxFileBytes)) {
      last_failure_ = LoadFailure::kUnreadable;
      return kFail;
    }
    file.Close();
    return ParseLocked(content, path);
  } catch (...) {
    last_failure_ = LoadFailure::kUnreadable;
    return kFail;
  }
}

std::int32_t CXMLSettingsAPI::LoadDocumentContent(std::string_view content) {
  korvane::CAutoLock guard(open_lock_);
  if (open_count_ > 0) {
    ++open_count_;
    return kOk;
  }
  try {
    return ParseLocked(content, std::string());
  } catch (...) {
    last_failure_ = LoadFailure::kUnreadable;
    return kFail;
  }
}

std::int32_t CXMLSettingsAPI::ParseLocked(std::string_view content, const std::string& path) {
  if (content.empty()) {
    last_failure_ = LoadFailure::kMissing;
    return kFail;
  }
  auto document = std::make_unique<pugi::xml_document>();
  if (!document->load_buffer(content.data(), content.size(), kParseOptions,
                             pugi::encoding_utf8)) {
    last_failure_ = LoadFailure::kNotParsable;
    return kFail;
  }
  korvane::CAutoLock node_guard(node_lock_);
  document_ = std::move(document);
  path_ = path;
  open_count_ = 1;
  last_failure_ = LoadFailure::kNone;
  return kOk;
}

std::uint32_t CXMLSettingsAPI::CloseDocument() {
  korvane::CAutoLock guard(open_lock_);
  if (open_count_ > 0 && --open_count_ == 0) {
    korvane::CAutoLock node_guard(node_lock_);
    document_.reset();
  }
  return open_count_;
}

std::int32_t CXMLSettingsAPI::CreateDocumentFile(const std::string& root_name,
                                                 const std::string& file_name, bool) {
  try {
    if (!IsPlainStep(root_name)) return 0;
    const std::string path = FullPath(file_name);
    if (path.empty() || file_name.empty()) return 0;
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    document.append_child(root_name.c_str());
    return korvane::WriteFileAtomically(path, Serialize(document)) ? 1 : 0;
  } catch (...) {
    return -1;
  }
}

bool CXMLSettingsAPI::IsOpen() {
  korvane::CAutoLock guard(open_lock_);
  return open_count_ > 0;
}

std::uint32_t CXMLSettingsAPI::OpenCount() {
  korvane::CAutoLock guard(open_lock_);
  return open_count_;
}

CXMLSettingsAPI::LoadFailure CXMLSettingsAPI::LastLoadFailure() {
  korvane::CAutoLock guard(open_lock_);
  return last_failure_;
}

pugi::xml_node CXMLSettingsAPI::SelectLocked(const std::string& path) {
  if (!document_ || path.empty() || path.size() > kMaxPathLength) return {};
  pugi::xml_node node = *document_;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string step =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!IsPlainStep(step)) return {};
    node = node.child(step.c_str());
    if (!node) return {};
    if (slash == std::string::npos) return node;
    start = slash + 1;
  }
}

bool CXMLSettingsAPI::EnsurePathLocked(const std::string& path, int depth) {
  // A path has far fewer steps than characters: the depth bound only guards the recursion.
  if (depth > static_cast<int>(kMaxPathLength)) return false;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;  // the root element is never created here
  const std::string parent_path = path.substr(0, slash);
  const std::string step = path.substr(slash + 1);
  if (!IsPlainStep(step)) return false;
  pugi::xml_node parent = SelectLocked(parent_path);
  if (!parent) {
    if (!EnsurePathLocked(parent_path, depth + 1)) return false;
    parent = SelectLocked(parent_path);
    if (!parent) return false;
  }
  return static_cast<bool>(parent.append_child(step.c_str()));
}

std::vector<std::string> CXMLSettingsAPI::ChildNames(const std::string& path) {
  korvane::CAutoLock guard(node_lock_);
  std::vector<std::string> names;
  try {
    const pugi::xml_node node = SelectLocked(path);
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
      if (*child.name() != '\0') names.emplace_back(child.name());
    }
  } catch (...) {
    names.clear();
  }
  return names;
}

std::string CXMLSettingsAPI::GetValue(const std::string& path) {
  korvane::CAutoLock guard(node_lock_);
  try {
    const pugi::xml_node node = SelectLocked(path);
    if (!node) return {};
    return node.attribute(kValueAttribute).value();
  } catch (...) {
    return {};
  }
}

std::int32_t CXMLSettingsAPI::SetValue(const std::string& path, const std::string& text) {
  korvane::CAutoLock guard(node_lock_);
  try {
    if (!document_) return 0;
    pugi::xml_node node = SelectLocked(path);
    if (!node) {
      if (!EnsurePathLocked(path, 0)) return 0;
      node = SelectLocked(path);
      if (!node) return 0;
    }
    pugi::xml_attribute attribute = node.attribute(kValueAttribute);
    if (!attribute) attribute = node.append_attribute(kValueAttribute);
    return attribute && attribute.set_value(text.c_str()) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

bool CXMLSettingsAPI::NodeExists(const std::string& path) {
  korvane::CAutoLock guard(node_lock_);
  try {
    return static_cast<bool>(SelectLocked(path));
  } catch (...) {
    return false;
  }
}

bool CXMLSettingsAPI::DeleteNode(const std::string& path) {
  korvane::CAutoLock guard(node_lock_);
  try {
    pugi::xml_node node = SelectLocked(path);
    if (!node) return false;
    pugi::xml_node parent = node.parent();
    return parent && parent.remove_child(node);
  } catch (...) {
    return false;
  }
}

bool CXMLSettingsAPI::SaveDocument() {
  korvane::CAutoLock guard(node_lock_);
  try {
    if (!document_ || path_.empty()) return false;
    return korvane::WriteFileAtomically(path_, Serialize(*document_));
  } catch (...) {
    return false;
  }
}
