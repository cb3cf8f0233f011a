#include "ptz/preposition_list.h"

#include <algorithm>
#include <utility>

namespace korvane {

CPrepositionList::CPrepositionList(std::int32_t channel) : channel_(channel) {}

CPrepositionList::~CPrepositionList() = default;

void CPrepositionList::SetComm(IPrepositionComm* comm, std::uint32_t maximum) {
  CAutoLock guard(lock_);
  comm_ = comm;
  maximum_ = maximum;
}

std::uint32_t CPrepositionList::GetMaximum() {
  CAutoLock guard(lock_);
  return maximum_;
}

bool CPrepositionList::IsValidName(const std::string& name) {
  return !name.empty() && name.find_first_of(kForbiddenNameCharacters) == std::string::npos;
}

bool CPrepositionList::SetStorage(TSmartPtr<CXMLPrepositionReader> reader) {
  CAutoLock guard(lock_);
  reader_ = std::move(reader);
  if (!reader_) return false;
  LoadFromStorage();
  return true;
}

std::int32_t CPrepositionList::GetCount() {
  CAutoLock guard(lock_);
  return static_cast<std::int32_t>(order_.size());
}

bool CPrepositionList::GetNameAt(std::uint32_t position, std::string& name) {
  name.clear();
  CAutoLock guard(lock_);
  if (position >= order_.size()) return false;
  const auto it = names_.find(order_[position]);
  if (it == names_.end()) return false;
  name = it->second;
  return true;
}

bool CPrepositionList::GetCurrentName(std::string& name) {
  name.clear();
  CAutoLock guard(lock_);
  if (current_ < 0 || static_cast<std::size_t>(current_) >= order_.size()) return false;
  const auto it = names_.find(order_[static_cast<std::size_t>(current_)]);
  if (it == names_.end()) return false;
  name = it->second;
  return true;
}

void CPrepositionList::ForgetCurrent() {
  CAutoLock guard(lock_);
  current_ = -1;
}

bool CPrepositionList::FindFreeSlotLocked(std::uint32_t& slot) const {
  for (std::uint32_t s = 0; s < maximum_; ++s) {
    if (names_.find(s) == names_.end()) {
      slot = s;
      return true;
    }
  }
  return false;
}

bool CPrepositionList::FindByNameLocked(const std::string& name, std::uint32_t& slot,
                                        std::size_t& position) const {
  const auto named = std::find_if(names_.begin(), names_.end(),
                                  [&](const auto& entry) { return entry.second == name; });
  if (named == names_.end()) return false;
  const auto at = std::find(order_.begin(), order_.end(), named->first);
  if (at == order_.end()) return false;
  slot = named->first;
  position = static_cast<std::size_t>(at - order_.begin());
  return true;
}

std::int32_t CPrepositionList::AddPreposition(const std::string& name) {
  IPrepositionComm* comm = nullptr;
  {
    CAutoLock guard(lock_);
    comm = comm_;
  }
  if (comm == nullptr) return kPtzFailed;
  if (!IsValidName(name)) {
    // The name is the host's text: it goes in as an argument, never as the format.
    comm->DebugMessage(kLogError, "%s: A preposition \"%s\" cannot be added - the name is invalid.",
                       "korvane::CPrepositionList::AddPreposition", name.c_str());
    return kPtzInvalidArgument;
  }
  CAutoLock guard(lock_);
  if (current_ != -1) return RenameCurrentPrepositionLocked(name);
  if (order_.size() >= maximum_) {
    comm_->DebugMessage(kLogError,
                        "%s: A preposition \"%s\" cannot be added. Camera supports saving not "
                        "more than %u prepositions.",
                        "korvane::CPrepositionList::AddPreposition", name.c_str(), maximum_);
    return kPtzPresetListFull;
  }
  std::uint32_t slot = 0;
  if (!FindFreeSlotLocked(slot)) return kPtzPresetListFull;
  if (!comm_->SetPreposition(slot, name)) return kPtzFailed;
  names_[slot] = name;
  order_.push_back(slot);
  current_ = static_cast<std::int32_t>(order_.size() - 1);
  return WritePrepositionAt(static_cast<std::uint32_t>(current_), slot, name) ? kPtzOk
                                                                             : kPtzFailed;
}

std::int32_t CPrepositionList::RenameCurrentPrepositionLocked(const std::string& name) {
  if (current_ == -1) return kPtzFailed;
  if (current_ < 0 || static_cast<std::size_t>(current_) >= order_.size()) {
    return kPtzInvalidArgument;
  }
  const std::uint32_t slot = order_[static_cast<std::size_t>(current_)];
  const auto it = names_.find(slot);
  if (it == names_.end() ||
      !WritePrepositionAt(static_cast<std::uint32_t>(current_), slot, name)) {
    return kPtzFailed;
  }
  if (comm_ != nullptr) {
    comm_->DebugMessage(kLogInfo, "%s: A preposition with index %d was renamed from \"%s\" to \"%s\".",
                        "korvane::CPrepositionList::RenameCurrentPreposition", current_,
                        it->second.c_str(), name.c_str());
  }
  it->second = name;
  return kPtzOk;
}

bool CPrepositionList::RecallByName(const std::string& name, std::int32_t value) {
  if (name.empty()) return false;
  CAutoLock guard(lock_);
  std::uint32_t slot = 0;
  std::size_t position = 0;
  if (!FindByNameLocked(name, slot, position)) return false;
  if (static_cast<std::int32_t>(position) == current_) return true;
  if (comm_ == nullptr || !comm_->GoToPreposition(slot, name, value)) return false;
  current_ = static_cast<std::int32_t>(position);
  return true;
}

bool CPrepositionList::RemoveByName(const std::string& name) {
  if (name.empty()) return false;
  CAutoLock guard(lock_);
  std::uint32_t slot = 0;
  std::size_t position = 0;
  if (!FindByNameLocked(name, slot, position) || comm_ == nullptr) return false;
  // A camera that refused keeps its preset: the list and the file keep it too, and the host
  // hears of the failure.
  if (!comm_->ClearPreposition(slot, name)) return false;
  names_.erase(slot);
  order_.erase(std::remove(order_.begin(), order_.end(), slot), order_.end());
  current_ = -1;
  return RewriteStorage();
}

bool CPrepositionList::WritePrepositionAt(std::uint32_t position, std::uint32_t slot,
                                          const std::string& name) {
  if (!reader_) return false;
  return reader_->WritePreposition(static_cast<std::uint32_t>(channel_), position,
                                   PrepositionRecord{name, slot});
}

bool CPrepositionList::RewriteStorage() {
  if (!reader_) return false;
  const auto channel = static_cast<std::uint32_t>(channel_);
  reader_->SetSaveEnabled(false);
  reader_->DeleteChannel(channel);
  bool all_written = true;
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const auto it = names_.find(order_[i]);
    if (it == names_.end() ||
        !reader_->WritePreposition(channel, static_cast<std::uint32_t>(i),
                                   PrepositionRecord{it->second, it->first})) {
      all_written = false;
      break;
    }
  }
  // The one save of the batch: a failed save is a failed rewrite.
  const bool saved = reader_->SetSaveEnabled(true);
  return all_written && saved;
}

void CPrepositionList::LoadFromStorage() {
  names_.clear();
  order_.clear();
  current_ = -1;
  if (!reader_) return;
  const auto channel = static_cast<std::uint32_t>(channel_);
  // Only the positions the file has an entry at can hold a preset; asking the reader for each
  // of the others would find no name there.
  for (const std::uint32_t position : reader_->StoredPositions(channel, maximum_)) {
    PrepositionRecord record;
    auto status = CXMLPrepositionReader::ReadStatus::kNoName;
    std::string slot_text;
    const bool read = reader_->ReadPreposition(channel, position, record, &status, &slot_text);
    if (!read && status != CXMLPrepositionReader::ReadStatus::kBadSlot) continue;
    // A slot that is no whole number below the maximum would address another camera preset
    // than the one saved under this name.
    if (!read || record.slot >= maximum_) {
      if (comm_ != nullptr) {
        comm_->DebugMessage(kLogWarning,
                            "%s: preset entry %u of channel %u is skipped: its slot \"%s\" is "
                            "not a whole number below %u",
                            "korvane::CPrepositionList::LoadFromStorage", position,
                            channel + 1, slot_text.c_str(), maximum_);
      }
      continue;
    }
    names_[record.slot] = record.name;
    order_.push_back(record.slot);
  }
}

}  // namespace korvane
