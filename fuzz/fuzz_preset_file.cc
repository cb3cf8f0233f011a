// The preset file as a crash or a disk fault can leave it: the input is the file's content, read
// by the preset reader (XML settings document) and loaded into a channel's preset list.
//
// Beyond memory safety: the open never fails for a file that is there (an unreadable one is set
// aside and a new one made), the list holds at most its maximum, and every position it counts
// has a name.
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "camera/testing/temp_folder.h"
#include "ptz/preposition_list.h"

namespace {

constexpr char kFile[] = "CNB_fuzz.preset";
constexpr std::uint32_t kMaximum = 255;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Counts the camera requests (loading the file must make none); log lines are dropped.
class CountingComm : public korvane::IPrepositionComm {
 public:
  bool SetPreposition(std::uint32_t, const std::string&) override { return ++requests, true; }
  bool GoToPreposition(std::uint32_t, const std::string&, std::int32_t) override {
    return ++requests, true;
  }
  bool ClearPreposition(std::uint32_t, const std::string&) override { return ++requests, true; }
  void DebugMessage(int, const char*, ...) override {}
  int requests = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  // The folder stands in for the host's folder for the whole run; each input empties it.
  static testing::TempHostFolder folder;
  static CountingComm comm;
  folder.Write(kFile, std::string(reinterpret_cast<const char*>(data), size));
  comm.requests = 0;
  {
    TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB", &comm));
    Require(reader->OpenStorage(kFile));
    CPrepositionList list(0);
    list.SetComm(&comm, kMaximum);
    Require(list.SetStorage(reader));
    const std::int32_t count = list.GetCount();
    Require(count >= 0 && static_cast<std::uint32_t>(count) <= kMaximum);
    std::string name;
    for (std::int32_t i = 0; i < count; ++i) {
      Require(list.GetNameAt(static_cast<std::uint32_t>(i), name) && !name.empty());
    }
    Require(!list.GetNameAt(static_cast<std::uint32_t>(count), name));
    Require(comm.requests == 0);  // loading asks nothing of the camera
  }
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path(), ignored)) {
    std::filesystem::remove(entry.path(), ignored);
  }
  return 0;
}
