#include "ptz/ptz_handler.h"

#include <new>
#include <utility>

#include "text/text_helpers.h"

namespace korvane {

CBasePTZHandler::CBasePTZHandler(IDriver* owner, std::string device_type)
    : owner_(owner), device_type_(std::move(device_type)) {}

CBasePTZHandler::~CBasePTZHandler() {
  ReleaseControls();
  std::lock_guard<std::mutex> guard(mutex_);
  reader_.Release();
}

void CBasePTZHandler::ReleaseControls() {
  std::map<std::uint32_t, std::unique_ptr<CBasePTZControl>> controls;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    controls.swap(controls_);
  }
  controls.clear();  // each control stops its command thread
}

IIPPTZApiEx* CBasePTZHandler::GetPTZApiEx(std::uint32_t channel) {
  if (channel >= kChannelCount) return nullptr;
  try {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = controls_.find(channel);
    if (found != controls_.end()) return found->second.get();
    if (device_type_.empty()) return nullptr;
    if (!reader_ && !InitializeXMLStorage()) return nullptr;
    std::unique_ptr<CBasePTZControl> control = CreatePTZControl(channel);
    if (!control || !control->Initialize(reader_)) return nullptr;
    CBasePTZControl* result = control.get();
    controls_.emplace(channel, std::move(control));
    return result;
  } catch (...) {
    return nullptr;
  }
}

bool CBasePTZHandler::InitializeXMLStorage() {
  const std::string name = GetXMLStorageFileName();
  if (name.empty()) {
    owner_->DebugMessage(kLogError,
                         "%s: PTZ module cannot be initialized! Name of file for preset storing "
                         "was not defined",
                         "korvane::CBasePTZHandler::InitializeXMLStorage");
    return false;
  }
  reader_.Take(new (std::nothrow) CXMLPrepositionReader(device_type_, owner_));
  if (!reader_) {
    owner_->DebugMessage(kLogError, "%s: not enough memory for creating CXMLPrepositionReader object",
                         "korvane::CBasePTZHandler::InitializeXMLStorage");
    return false;
  }
  if (reader_->OpenStorage(name)) return true;
  owner_->DebugMessage(kLogError,
                       "%s: cannot initialize CXMLPrepositionReader object with parameter \"%s\"",
                       "korvane::CBasePTZHandler::InitializeXMLStorage", name.c_str());
  // A reader whose file could not be opened would take presets it can never save: drop it, so
  // that the next request for a control tries the file again.
  reader_.Release();
  return false;
}

bool IsSafeFileNamePart(const std::string& text) {
  if (text.find("..") != std::string::npos) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

CPTZHandler::CPTZHandler(IDriver* owner) : CBasePTZHandler(owner, kDeviceType) {}

CPTZHandler::~CPTZHandler() {
  // The controls' threads must end while the derived part that made them exists.
  ReleaseControls();
}

std::string CPTZHandler::GetXMLStorageFileName() {
  const std::string part = Owner()->GetCustomParameter(kParamPresetName);
  const DEVICE_INFO* device = Owner()->GetDeviceInfo();
  const char* address = device != nullptr ? device->address.c_str() : "";
  if (part.empty()) {
    Owner()->DebugMessage(kLogError,
                          "%s: PTZ handler for %s device cannot be initialized. Required custom "
                          "parameter was not defined!",
                          "korvane::CPTZHandler::GetXMLStorageFileName", address);
    return {};
  }
  if (!IsSafeFileNamePart(part)) {
    Owner()->DebugMessage(kLogError,
                          "%s: PTZ handler for %s device cannot be initialized. Required custom "
                          "parameter cannot be part of a file name!",
                          "korvane::CPTZHandler::GetXMLStorageFileName", address);
    return {};
  }
  return FormatString("%s_%s.preset", kDeviceType, part.c_str());
}

std::unique_ptr<CBasePTZControl> CPTZHandler::CreatePTZControl(std::uint32_t channel) {
  return std::unique_ptr<CBasePTZControl>(
      new (std::nothrow) CPTZControl(Owner(), static_cast<std::int32_t>(channel)));
}

}  // namespace korvane
