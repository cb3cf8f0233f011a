#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/lock.h"
#include "ptz/ptz_item.h"
#include "ptz/xml_preposition_reader.h"
#include "rtp/smart_ptr.h"

namespace korvane {

// The named presets of one PTZ channel. A preset is a camera preset slot (the camera keeps the
// position as preset slot + 1), a name, and a place in the list the host sees. The list also
// knows the preset the camera stands at (the current one): saving while the camera still stands
// there renames that preset instead of using another slot.
//
// Every public operation holds the list's lock, camera requests included, so preset operations of
// one channel are strictly one at a time. Lock order: list, reader, document.
class CPrepositionList {
 protected:
  // Called with the lock held. (Declared first: they open the virtual table.)
  virtual bool WritePrepositionAt(std::uint32_t position, std::uint32_t slot,
                                  const std::string& name) REQUIRES(lock_);
  virtual bool RewriteStorage() REQUIRES(lock_);
  virtual void LoadFromStorage() REQUIRES(lock_);

 public:
  // Characters a preset name must not contain.
  static constexpr char kForbiddenNameCharacters[] = "&!<>'\"";

  explicit CPrepositionList(std::int32_t channel);
  virtual ~CPrepositionList();
  CPrepositionList(const CPrepositionList&) = delete;
  CPrepositionList& operator=(const CPrepositionList&) = delete;

  // Set by the PTZ control before SetStorage. comm is not owned and must outlive the list's use.
  void SetComm(IPrepositionComm* comm, std::uint32_t maximum);

  // Shares the reader and loads the channel's presets from it. Returns whether it holds one.
  virtual bool SetStorage(TSmartPtr<CXMLPrepositionReader> reader);
  virtual std::int32_t GetCount();
  virtual bool GetNameAt(std::uint32_t position, std::string& name);
  // Moves the camera to the preset of that name (nothing is sent when it stands there already).
  virtual bool RecallByName(const std::string& name, std::int32_t value);
  // 1 added or renamed, -3 invalid name, -18 camera or file failed, -26 list full.
  virtual std::int32_t AddPreposition(const std::string& name);
  // Removes the preset from the camera, the list and the file. False (and nothing changed) when
  // the name is unknown or the camera refused; otherwise whether the file was rewritten.
  virtual bool RemoveByName(const std::string& name);
  virtual bool GetCurrentName(std::string& name);

  // The camera moved: no preset is current any more.
  void ForgetCurrent();
  std::uint32_t GetMaximum();

  static bool IsValidName(const std::string& name);

 private:
  std::int32_t RenameCurrentPrepositionLocked(const std::string& name) REQUIRES(lock_);
  // The smallest slot below the maximum without a name; false when all are in use.
  bool FindFreeSlotLocked(std::uint32_t& slot) const REQUIRES(lock_);
  // The first slot (ascending) named exactly `name`, and its first position in the order.
  bool FindByNameLocked(const std::string& name, std::uint32_t& slot,
                        std::size_t& position) const REQUIRES(lock_);

  const std::int32_t channel_;
  IPrepositionComm* comm_ GUARDED_BY(lock_) = nullptr;
  std::uint32_t maximum_ GUARDED_BY(lock_) = 0;
  TSmartPtr<CXMLPrepositionReader> reader_ GUARDED_BY(lock_);
  CLock lock_;
  std::map<std::uint32_t, std::string> names_ GUARDED_BY(lock_);
  std::vector<std::uint32_t> order_ GUARDED_BY(lock_);
  std::int32_t current_ GUARDED_BY(lock_) = -1;
};

}  // namespace korvane
