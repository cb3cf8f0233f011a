// The preset file as a crash or a disk fault can leave it: the input is the file's content, read
// by the preset reader (XML settings document) and loaded into a channel's preset list.
//
// Beyond memory safety: the open never fails for a file that is there (an unreadable one is set
// aside and a new one made), the list holds at most its maximum, and every position it counts
// has a name.
//
// Every input is loaded from memory (CXMLPrepositionReader::OpenContent: the parse OpenStorage
// does after reading the file) into the list. The driver's path through the file system (the
// content written as the preset file of the stand-in host folder, OpenStorage with its set-aside
// of a file that does not parse) runs for the first input of a process and every 64th after it,
// and must give the list that the load from memory gave; a finding on that path reproduces when
// its input is run alone.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "camera/testing/temp_folder.h"
#include "ptz/preposition_list.h"

namespace {

constexpr char kFile[] = "CNB_fuzz.preset";
constexpr std::uint32_t kMaximum = 255;
constexpr unsigned kFileEvery = 64;

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

// Loads channel 0's list from `reader` and checks it; returns its names in order.
std::vector<std::string> LoadList(korvane::TSmartPtr<CXMLPrepositionReader> reader, CountingComm& comm) {
  using namespace korvane;
  CPrepositionList list(0);
  list.SetComm(&comm, kMaximum);
  Require(list.SetStorage(reader));
  const std::int32_t count = list.GetCount();
  Require(count >= 0 && static_cast<std::uint32_t>(count) <= kMaximum);
  std::vector<std::string> names;
  std::string name;
  for (std::int32_t i = 0; i < count; ++i) {
    Require(list.GetNameAt(static_cast<std::uint32_t>(i), name) && !name.empty());
    names.push_back(name);
  }
  Require(!list.GetNameAt(static_cast<std::uint32_t>(count), name));
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  // The folder stands in for the host's folder for the whole run; each file round empties it.
  static testing::TempHostFolder folder;
  static CountingComm comm;
  static unsigned executions = 0;
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  comm.requests = 0;
  std::vector<std::string> names;
  {
    TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB", &comm));
    const bool loaded = reader->OpenContent(content);
    names = LoadList(reader, comm);
    if (!loaded) Require(names.empty());
    Require(!reader->IsSaveEnabled());
  }
  if (executions++ % kFileEvery == 0) {
    folder.Write(kFile, std::string(content));
    {
      TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("CNB", &comm));
      Require(reader->OpenStorage(kFile));
      // A file that does not parse was replaced by an empty one: an empty list, as from memory.
      Require(LoadList(reader, comm) == names);
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path(), ignored)) {
      std::filesystem::remove(entry.path(), ignored);
    }
  }
  Require(comm.requests == 0);  // loading asks nothing of the camera
  return 0;
}
